#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan + UBSan + libFuzzer) and runs each
# one for a bounded time, one after the other on one core.
#   fuzz/run.sh [SECONDS] [BUILD_DIR]          defaults: 60, build-fuzz
# More libFuzzer flags can come in TOVREL_FUZZ_FLAGS, e.g. "-runs=10000000"
# (then SECONDS is only the upper bound). New inputs are kept in
# BUILD_DIR/fuzz/corpus/<target>; the seeds in fuzz/corpus/ stay untouched.
set -euo pipefail
seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${2:-$root/build-fuzz}"
targets=(fuzz_relay fuzz_memory_stream fuzz_metrics_endpoint)

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOVREL_FUZZ=ON -DTOVREL_BUILD_TESTS=OFF -DTOVREL_WERROR=ON >/dev/null
# The WebSocket decoder, in a build that has WebSocket support.
if cmake --build "$build" --target help | grep -c '\bfuzz_websocket\b' >/dev/null; then
    targets+=(fuzz_websocket)
fi
cmake --build "$build" -j2 --target "${targets[@]}"

for target in "${targets[@]}"; do
    corpus="$build/fuzz/corpus/$target"
    artifacts="$build/fuzz/artifacts/$target/"
    log="$build/fuzz/$target.log"
    mkdir -p "$corpus" "$artifacts"
    echo "== $target: up to ${seconds} s, log in $log"
    # shellcheck disable=SC2086  # the extra flags are meant to split
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts" -rss_limit_mb=2048 ${TOVREL_FUZZ_FLAGS:-} \
        "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "$target FAILED; the input that failed is in $artifacts" >&2
        exit 1
    fi
    grep -E '^(Done|stat::)' "$log"
done
