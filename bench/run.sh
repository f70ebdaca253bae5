#!/usr/bin/env bash
# Builds tovrel, tovrel-bench and the floor relay, runs the fan-out scenarios
# against tovrel and its peers (the floor relay, ncat --broker, nats-server,
# redis-server), the other scenarios against tovrel and ncat, all on
# 127.0.0.1, and writes docs/benchmarks.md with its charts. About twelve minutes;
# every run inside is bounded in time.
#   bench/run.sh [build-dir]      (default: build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${1:-build-bench}"
results="$build/bench-results"
docs="$root/docs"

PATH="$PATH:/usr/sbin"  # where Debian puts nats-server
for tool in cmake gnuplot ncat nats-server redis-server; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (apt-get install cmake gnuplot-nox ncat nats-server redis-server)" >&2; exit 1; }
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVREL_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target tovrel tovrel-bench tovrel-floor >/dev/null
bench="$build/bench/tovrel-bench"
tovrel="$build/tovrel"
floor="$build/bench/tovrel-floor"
rm -rf "$results"
mkdir -p "$results"

load_before="$(uptime)"
started="$(date -u '+%Y-%m-%d %H:%M UTC')"
start_s="$(date +%s)"
fail=0
run() {
    echo "== $*" >&2
    "$bench" "$@" || { echo "run.sh: a delivery check failed: $*" >&2; fail=1; }
}

# Fan-out runs as clients:frame bytes:frames per second. 200 frames/s puts
# about 4 frames in each 20 ms pass; 1000 clients also run at 20 frames/s,
# less than one frame per pass, as in the probe of ncat the work started from.
# 100 x 64 B x 2000/s is many small frames; 1000 x 4096 B x 200/s is 800 MB/s
# of fan-out.
fan=(--runs 10:64:200,10:4096:200,100:64:200,100:4096:200,100:64:2000,1000:64:20,1000:4096:20,1000:64:200,1000:4096:200
     --seconds 3 --cdf-dir "$results")
idle=(--clients 100,1000,5000 --seconds 10)
thr=(--writers 4 --mib 3)
if [ "${TOVREL_BENCH_QUICK:-0}" = 1 ]; then  # a check of the script itself, not a measurement
    fan=(--runs 10:64:200,50:4096:200,50:64:2000 --seconds 1 --cdf-dir "$results")
    idle=(--clients 20,60 --seconds 2)
    thr=(--writers 4 --mib 3)
fi
# The floor and tovrel, whose ratio is a goal, run three times each,
# alternating, and the report takes each one's median run.
rounds=3
[ "${TOVREL_BENCH_QUICK:-0}" = 1 ] && rounds=1
for _ in $(seq "$rounds"); do
    run fanout --server floor --exe "$floor" "${fan[@]}" --out "$results/fanout.tsv"
    run fanout --server tovrel --exe "$tovrel" "${fan[@]}" --out "$results/fanout.tsv"
done
run fanout --server ncat --exe ncat "${fan[@]}" --out "$results/fanout.tsv"
run fanout --server nats --exe "$(command -v nats-server)" "${fan[@]}" --out "$results/fanout.tsv"
run fanout --server redis --exe "$(command -v redis-server)" "${fan[@]}" --out "$results/fanout.tsv"
run throughput --server tovrel --exe "$tovrel" "${thr[@]}" --out "$results/throughput.tsv"
run idle --server tovrel --exe "$tovrel" "${idle[@]}" --out "$results/idle.tsv"
# ncat may not hold every step; the table then says how many it accepted.
"$bench" idle --server ncat --exe ncat "${idle[@]}" --out "$results/idle.tsv" || true
load_after="$(uptime)"
took="$(( $(date +%s) - start_s ))"

bench/report.sh "$results" "$docs" "$started" "$load_before" "$load_after" "$took"
echo "run.sh: wrote docs/benchmarks.md" >&2
exit "$fail"
