#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   0. the sources follow .clang-format
#   1. Linux build with warnings as errors: unit, black-box, client, soak, bench smoke
#   2. the same suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   3. the Windows build (MinGW) with its unit and black-box tests under Wine
#   4. the .deb and the Windows .zip: built, installed, run, removed (tests/package/check.sh)
#   5. each fuzz target for a bounded time
#   6. a brand-new Debian 12 root: the README's serve and package commands
#      work there from a clean clone (tests/fresh/check.sh; TOVREL_SKIP_FRESH=1 skips it)
set -Eeuo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
jobs=2

# A stage that stops the run is named, with the command that ended it (once:
# in this shell, not again in each subshell it stopped in).
stage="Debian packages (scripts/install-deps.sh)"
# shellcheck disable=SC2154 # set in the trap itself
trap 'stop_status=$? stop_line=$LINENO; [ "$BASHPID" != $$ ] ||
    printf "\n==== FAILED: %s: line %s: \"%s\" ended with status %s\n" "$stage" "$stop_line" "$BASH_COMMAND" "$stop_status" >&2' ERR
step() {
    stage="$*"
    printf '\n==== %s\n' "$*"
}

"$root/scripts/install-deps.sh"

step "Formatting (.clang-format)"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

step "Linux build (-Werror)"
cmake -S . -B build-ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVREL_WERROR=ON >/dev/null
cmake --build build-ci -j"$jobs"
(cd build-ci && ctest -j"$jobs" --output-on-failure)

step "AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-ci-asan -DCMAKE_BUILD_TYPE=Debug -DTOVREL_WERROR=ON -DTOVREL_SANITIZE=ON >/dev/null
cmake --build build-ci-asan -j"$jobs"
(cd build-ci-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest -j"$jobs" --output-on-failure -LE slow)

win_build="$root/build-pkg-win"
if [ -x tests/windows/run-windows-tests.sh ]; then
    step "Windows build under Wine"
    tests/windows/run-windows-tests.sh "$root/build-ci-win"
    win_build="$root/build-ci-win"  # the .zip is packed from this build
fi

step "Packages: .deb and Windows .zip"
tests/package/check.sh "$win_build"

if [ -x fuzz/run.sh ]; then
    step "Fuzzing (${TOVREL_FUZZ_SECONDS:-60} s per target)"
    fuzz/run.sh "${TOVREL_FUZZ_SECONDS:-60}" "$root/build-ci-fuzz"
fi

if [ "${TOVREL_SKIP_FRESH:-}" = 1 ]; then
    step "Fresh Debian 12 machine: SKIPPED (TOVREL_SKIP_FRESH=1)"
else
    step "Fresh Debian 12 machine: serve.sh and package.sh deb from a clean clone"
    tests/fresh/check.sh
fi

step "All test stages passed"
