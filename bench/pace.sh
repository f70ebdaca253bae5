#!/usr/bin/env bash
# The low-latency pace beside the default one and the peers: fan-out at five
# scenarios for tovrel (default and --low-latency), redis-server pub/sub,
# nats-server and the eager floor (one write per client per wake-up), in
# three alternating rounds; then idle CPU with 5000 idle clients in both
# paces. Rows go to BUILD/bench-results/pace.tsv and pace-idle-*.tsv, and
# bench/pace_table.py prints the medians as a table.
#   bench/pace.sh [build-dir]   (default: build-bench; about ten minutes)
# Both tovrel paces take 50 connections a pass while clients connect, so
# 5000 connect in seconds; the measured runs do not accept.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-bench}"
PATH="$PATH:/usr/sbin"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVREL_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target tovrel tovrel-bench tovrel-floor >/dev/null
bench="$build/bench/tovrel-bench"
results="$build/bench-results"
mkdir -p "$results"
rm -f "$results"/pace.tsv "$results"/pace-idle-*.tsv
runs=(--runs 100:64:200,100:64:2000,1000:64:200,1000:4096:200,5000:64:20 --seconds 3)
rounds="${TOVREL_PACE_ROUNDS:-3}"
accepts=(--server-arg --accepts-per-pass --server-arg 50)
fail=0
run() {
    echo "== $*" >&2
    "$bench" "$@" || { echo "pace.sh: a check failed: $*" >&2; fail=1; }
}
for _ in $(seq "$rounds"); do
    run fanout --server tovrel --exe "$build/tovrel" "${accepts[@]}" "${runs[@]}" --out "$results/pace.tsv"
    run fanout --server tovrel --exe "$build/tovrel" "${accepts[@]}" --server-arg --low-latency \
        "${runs[@]}" --out "$results/pace.tsv"
    run fanout --server redis --exe "$(command -v redis-server)" "${runs[@]}" --out "$results/pace.tsv"
    run fanout --server nats --exe "$(command -v nats-server)" "${runs[@]}" --out "$results/pace.tsv"
    run fanout --server floor --exe "$build/bench/tovrel-floor" "${runs[@]}" --out "$results/pace.tsv"
done
run idle --server tovrel --exe "$build/tovrel" "${accepts[@]}" --clients 5000 --seconds 10 \
    --out "$results/pace-idle-default.tsv"
run idle --server tovrel --exe "$build/tovrel" "${accepts[@]}" --server-arg --low-latency \
    --clients 5000 --seconds 10 --out "$results/pace-idle-low-latency.tsv"
python3 bench/pace_table.py "$results"
exit "$fail"
