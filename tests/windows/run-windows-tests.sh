#!/usr/bin/env bash
# Cross-builds tovrel.exe and its tests with MinGW-w64 and runs them under
# Wine: the unit tests, the exclusive-port test and the black-box suite
# against the .exe. Installs nothing (scripts/install-deps.sh does that).
#   tests/windows/run-windows-tests.sh [build directory, default build-win]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(realpath -m "${1:-$root/build-win}")"
jobs=2

fail() {
    echo "run-windows-tests: $*" >&2
    exit 1
}

command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
    fail "MinGW-w64 missing: apt-get install g++-mingw-w64-x86-64-posix"
. "$root/tests/windows/find-wine.sh"
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver || true)"
[ -n "$wineserver" ] || fail "wineserver not found beside $wine"

# The black-box tests need a Python with pytest; the first python3 on PATH
# may be a private one without it.
python=""
for candidate in "$(command -v python3 || true)" /usr/bin/python3; do
    if [ -n "$candidate" ] && "$candidate" -m pytest --version >/dev/null 2>&1; then
        python="$candidate"
        break
    fi
done
[ -n "$python" ] || fail "pytest missing: apt-get install python3-pytest"

# One quiet Wine prefix inside the build tree, used by every program below
# (the toolchain file points the test emulator at the same one).
export WINEDEBUG=-all
export WINEPREFIX="$build/wineprefix"

start=$SECONDS
echo "== configure $build"
cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOVREL_WERROR=ON \
    -DPython3_EXECUTABLE="$python" \
    -DTOVREL_SERVER_COMMAND="$wine $build/tovrel.exe" >/dev/null

echo "== build"
cmake --build "$build" -j"$jobs"

if [ ! -d "$WINEPREFIX/drive_c/windows" ]; then
    echo "== create Wine prefix $WINEPREFIX"
    # The 64-bit-only loader cannot start the 32-bit helpers; the prefix is
    # created all the same.
    "$wine" wineboot --init >/dev/null 2>&1 || true
    [ -d "$WINEPREFIX/drive_c/windows" ] || fail "Wine could not create $WINEPREFIX"
fi

# Runs one group of tests; the full output goes to a log in the build tree,
# the pytest summaries (counts, skip reasons) and any failure to the console.
run_ctest() {
    local name="$1"
    shift
    local log="$build/$name.log"
    local rc=0
    (cd "$build" && ctest -j"$jobs" -V "$@") >"$log" 2>&1 || rc=1
    grep -E '^[0-9]+: (SKIPPED|FAILED|[0-9]+ (passed|failed))|tests passed|Total Test time' "$log" || true
    if [ $rc -ne 0 ]; then
        echo "-- failures (full log: $log)"
        local unstarted=0
        only_unstarted "$log" && unstarted=1
        if (cd "$build" && ctest --rerun-failed --output-on-failure) && [ $unstarted -eq 1 ]; then
            # Now and then Wine gives up on a program before the program runs
            # (docs/windows.md); such a test proved nothing, and its rerun passed.
            echo "-- every failed test ended within 20 ms printing nothing (Wine never ran it)" \
                "and passed on rerun"
        else
            status=1
        fi
    fi
}

# True when the ctest -V log names failed tests and each of them ended
# within 20 ms without a line of its own (only ctest's command, directory and
# time-out lines). No run that reaches the program's own code under Wine
# ends that fast, so such a test never ran.
only_unstarted() {
    local n seconds found=0
    for n in $(sed -n 's/^[[:space:]]*\([0-9][0-9]*\) - .*/\1/p' "$1"); do
        found=1
        if grep -E "^$n: " "$1" | grep -vqE "^$n: (Test command|Working Directory|Test timeout|Environment variables)"; then
            return 1
        fi
        seconds="$(sed -n "s/.*Test *#$n: .*\*\*\*Failed *\([0-9.]*\) sec.*/\1/p" "$1")"
        awk -v s="${seconds:-1}" 'BEGIN { exit !(s + 0 <= 0.02) }' || return 1
    done
    [ $found -eq 1 ]
}

# Keep one Wine server with its background services running for the whole
# run. Otherwise each test's first Wine program starts them, they inherit
# that test's output pipes and hold them open for seconds after it ends.
# A server still running for this prefix (prefix creation, an earlier run)
# is waited for first: only one can run per prefix.
timeout 60 "$wineserver" -w || fail "a Wine server for $WINEPREFIX is still busy"
"$wineserver" -p </dev/null >/dev/null 2>&1 || fail "cannot start a Wine server"
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
"$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1 || fail "Wine cannot start a program"

status=0
echo "== unit and Windows tests under Wine"
run_ctest windows-unit -E '^blackbox'

echo "== black-box suite against $build/tovrel.exe under Wine"
run_ctest windows-blackbox -R '^blackbox'

echo "== Windows tests: $([ $status -eq 0 ] && echo passed || echo FAILED)" \
    "in $((SECONDS - start)) s"
exit $status
