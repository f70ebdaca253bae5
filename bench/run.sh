#!/usr/bin/env bash
# Builds tovrel and tovrel-bench, runs every scenario against tovrel and
# against ncat --broker on 127.0.0.1, and writes docs/benchmarks.md with its
# charts. Takes a few minutes; every run inside is bounded in time.
#   bench/run.sh [build-dir]      (default: build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${1:-build-bench}"
results="$build/bench-results"
docs="$root/docs"

for tool in cmake gnuplot ncat; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (apt-get install cmake gnuplot-nox ncat)" >&2; exit 1; }
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVREL_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target tovrel tovrel-bench >/dev/null
bench="$build/bench/tovrel-bench"
tovrel="$build/tovrel"
rm -rf "$results"
mkdir -p "$results"

load_before="$(uptime)"
started="$(date -u '+%Y-%m-%d %H:%M UTC')"
fail=0
run() {
    echo "== $*" >&2
    "$bench" "$@" || { echo "run.sh: a delivery check failed: $*" >&2; fail=1; }
}

# Fan-out runs as clients:frame bytes:frames per second. 200 frames/s puts
# about 4 frames in each 20 ms pass; 1000 clients also run at 20 frames/s,
# less than one frame per pass, as in the probe of ncat the work started from.
fan=(--runs 10:64:200,10:4096:200,100:64:200,100:4096:200,1000:64:20,1000:4096:20,1000:64:200
     --seconds 3 --cdf-dir "$results")
idle=(--clients 100,1000,5000 --seconds 10)
thr=(--writers 4 --mib 3)
if [ "${TOVREL_BENCH_QUICK:-0}" = 1 ]; then  # a check of the script itself, not a measurement
    fan=(--runs 10:64:200,50:4096:200 --seconds 1 --cdf-dir "$results")
    idle=(--clients 20,60 --seconds 2)
    thr=(--writers 4 --mib 3)
fi
run fanout --server tovrel --exe "$tovrel" "${fan[@]}" --out "$results/fanout.tsv"
run fanout --server ncat --exe ncat "${fan[@]}" --out "$results/fanout.tsv"
run throughput --server tovrel --exe "$tovrel" "${thr[@]}" --out "$results/throughput.tsv"
run idle --server tovrel --exe "$tovrel" "${idle[@]}" --out "$results/idle.tsv"
# ncat may not hold every step; the table then says how many it accepted.
"$bench" idle --server ncat --exe ncat "${idle[@]}" --out "$results/idle.tsv" || true
load_after="$(uptime)"

bench/report.sh "$results" "$docs" "$started" "$load_before" "$load_after"
echo "run.sh: wrote docs/benchmarks.md" >&2
exit "$fail"
