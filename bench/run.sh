#!/usr/bin/env bash
# Builds tovrel, tovrel-bench and the floor relay, runs the scenarios against
# tovrel and its peers (the floor relay, ncat --broker, nats-server,
# redis-server), all on 127.0.0.1, and writes docs/benchmarks.md with its
# charts. Every run inside is bounded in time.
#   bench/run.sh [build-dir] [all|base|scale|tls|cluster|pace]   (default: build-bench all)
# base: fan-out from 10 to 1000 clients, throughput, and WebSocket fan-out
# (tovrel and nats-server at 100 and 1000 clients), about six minutes.
# scale: idle cost, memory and connection time at 1000, 5000 and 10000
# clients, and fan-out at 5000 and 10000 clients, for tovrel, the floor,
# nats-server and redis-server in three alternating rounds: about 32 minutes,
# two thirds of it tovrel taking 10000 connections at one per 20 ms pass
# (about 200 s, twice a round). tls: fan-out at 100 and 1000 clients x 64
# and 4096 B with every client on TLS, for tovrel, nats-server and
# redis-server, tovrel three times alternating with nats-server. cluster:
# one room served by three instances through Redis, beside one instance
# alone, and through Sentinel with its primary killed (bench/cluster.py,
# three runs). pace: fan-out at five scenarios for tovrel in both paces
# (default and --low-latency), redis-server pub/sub, nats-server and the
# floor in three alternating rounds, then idle CPU with 5000 idle clients in
# both paces, about ten minutes; alone, it replaces only its own section of
# docs/benchmarks.md and bench-pace.png (bench/pace_report.sh).
# all: the five parts.
# TOVREL_BENCH_QUICK=1 checks the script itself with tiny numbers.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${1:-build-bench}"
parts="${2:-all}"
case "$parts" in all | base | scale | tls | cluster | pace) ;; *) echo "usage: bench/run.sh [build-dir] [all|base|scale|tls|cluster|pace]" >&2; exit 2 ;; esac
results="$build/bench-results"
# Only a run of every part replaces docs/benchmarks.md; a partial run
# writes its report beside its results, so the full one is not lost. The
# pace part alone replaces its own section of the page in place.
docs="$root/docs"
[ "$parts" = all ] || [ "$parts" = pace ] || docs="$build/bench-report"

PATH="$PATH:/usr/sbin"  # where Debian puts nats-server
for tool in cmake gnuplot ncat nats-server redis-server openssl; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (apt-get install cmake gnuplot-nox ncat nats-server redis-server openssl)" >&2; exit 1; }
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
    "$bench" "$@" || { echo "run.sh: a check failed (delivery, or a client lost): $*" >&2; fail=1; }
}

# Fan-out runs as clients:frame bytes:frames per second. 200 frames/s puts
# about 4 frames in each 20 ms pass; 1000 clients also run at 20 frames/s,
# less than one frame per pass, as in the probe of ncat the work started from.
# 100 x 64 B x 2000/s is many small frames; 1000 x 4096 B x 200/s is 800 MB/s
# of fan-out.
fan=(--runs 10:64:200,10:4096:200,100:64:200,100:4096:200,100:64:2000,1000:64:20,1000:4096:20,1000:64:200,1000:4096:200
     --seconds 3 --cdf-dir "$results")
thr=(--writers 4 --mib 3)
# WebSocket fan-out: tovrel's --ws-port beside nats-server's WebSocket
# listener (websocket { no_tls: true }), 100 and 1000 clients x 64 B.
ws_fan=(--runs 100:64:200,1000:64:20,1000:64:200 --seconds 3)
# Scale: many clients at 20 small frames a second, and idle steps; the quiet
# window (10 s, after 1 s of settling) stays under tovrel's 15 s idle drop.
big_fan=(--runs 5000:64:20,10000:64:20 --seconds 5 --cdf-dir "$results")
idle=(--clients 1000,5000,10000 --seconds 10)
# TLS: 100 and 1000 clients x 64 and 4096 B at the rates of section 1.
tls_fan=(--runs 100:64:200,100:4096:200,1000:64:200,1000:4096:200 --seconds 3 --cdf-dir "$results")
# The pace: fan-out where a pass every 20 ms sets the latency, up to 5000
# clients, and the idle cost of waking on readiness.
pace_fan=(--runs 100:64:200,100:64:2000,1000:64:200,1000:4096:200,5000:64:20 --seconds 3)
pace_idle=(--clients 5000 --seconds 10)
pace_rounds="${TOVREL_PACE_ROUNDS:-3}"
rounds=3
if [ "${TOVREL_BENCH_QUICK:-0}" = 1 ]; then  # a check of the script itself, not a measurement
    fan=(--runs 10:64:200,50:4096:200,50:64:2000 --seconds 1 --cdf-dir "$results")
    thr=(--writers 4 --mib 3)
    ws_fan=(--runs 20:64:200,50:64:200 --seconds 1)
    big_fan=(--runs 30:64:20,60:64:20 --seconds 1 --cdf-dir "$results")
    idle=(--clients 20,40,60 --seconds 2)
    tls_fan=(--runs 10:64:200,50:4096:200 --seconds 1 --cdf-dir "$results")
    pace_fan=(--runs 20:64:200,50:64:2000 --seconds 1)
    pace_idle=(--clients 40 --seconds 2)
    pace_rounds=2
    rounds=2
fi
export TOVREL_BENCH_SCALE_RUNS="${big_fan[1]}"  # for the report's scale tables
nats="$(command -v nats-server)"
redis="$(command -v redis-server)"

if [ "$parts" = all ] || [ "$parts" = base ]; then
    # The floor and tovrel, whose ratio is a goal, run three times each,
    # alternating, and the report takes each one's median run.
    base_rounds=3
    [ "${TOVREL_BENCH_QUICK:-0}" = 1 ] && base_rounds=1
    for _ in $(seq "$base_rounds"); do
        run fanout --server floor --exe "$floor" "${fan[@]}" --out "$results/fanout.tsv"
        run fanout --server tovrel --exe "$tovrel" "${fan[@]}" --out "$results/fanout.tsv"
    done
    run fanout --server ncat --exe ncat "${fan[@]}" --out "$results/fanout.tsv"
    run fanout --server nats --exe "$nats" "${fan[@]}" --out "$results/fanout.tsv"
    run fanout --server redis --exe "$redis" "${fan[@]}" --out "$results/fanout.tsv"
    run throughput --server tovrel --exe "$tovrel" "${thr[@]}" --out "$results/throughput.tsv"
    for _ in $(seq "$base_rounds"); do
        run fanout --server tovrel-ws --exe "$tovrel" "${ws_fan[@]}" --out "$results/fanout-ws.tsv"
        run fanout --server nats-ws --exe "$nats" "${ws_fan[@]}" --out "$results/fanout-ws.tsv"
    done
fi

if [ "$parts" = all ] || [ "$parts" = tls ]; then
    # One self-signed certificate for the run, made here and never kept.
    tls_dir="$results/tls"
    mkdir -p "$tls_dir"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
        -subj /CN=localhost -keyout "$tls_dir/key.pem" -out "$tls_dir/cert.pem" 2>/dev/null
    tls=(--tls "$tls_dir/cert.pem:$tls_dir/key.pem")
    tls_rounds=3
    [ "${TOVREL_BENCH_QUICK:-0}" = 1 ] && tls_rounds=1
    for _ in $(seq "$tls_rounds"); do
        run fanout --server tovrel --exe "$tovrel" "${tls_fan[@]}" "${tls[@]}" --out "$results/fanout-tls.tsv"
        run fanout --server nats --exe "$nats" "${tls_fan[@]}" "${tls[@]}" --out "$results/fanout-tls.tsv"
    done
    run fanout --server redis --exe "$redis" "${tls_fan[@]}" "${tls[@]}" --out "$results/fanout-tls.tsv"
fi

if [ "$parts" = all ] || [ "$parts" = cluster ]; then
    cluster_rounds=3
    [ "${TOVREL_BENCH_QUICK:-0}" = 1 ] && cluster_rounds=1
    # The Sentinels are redis-server in its sentinel mode.
    cluster_args=(--exe "$tovrel" --seconds 10 --failover)
    [ "${TOVREL_BENCH_QUICK:-0}" = 1 ] && cluster_args=(--exe "$tovrel" --seconds 2 --failover)
    for _ in $(seq "$cluster_rounds"); do
        echo "== bench/cluster.py ${cluster_args[*]}" >&2
        python3 bench/cluster.py "${cluster_args[@]}" >>"$results/cluster.txt" ||
            { echo "run.sh: a check failed: bench/cluster.py" >&2; fail=1; }
    done
fi

if [ "$parts" = all ] || [ "$parts" = scale ]; then
    # Three rounds; each runs the four relays one after the other, idle and
    # then fan-out, and the report takes the median of each figure. Every
    # round makes tovrel take 10000 connections twice at one per pass (about
    # 200 s each); the others take them in seconds.
    for _ in $(seq "$rounds"); do
        run idle --server floor --exe "$floor" "${idle[@]}" --out "$results/idle.tsv"
        run idle --server tovrel --exe "$tovrel" "${idle[@]}" --out "$results/idle.tsv"
        run idle --server nats --exe "$nats" "${idle[@]}" --out "$results/idle.tsv"
        run idle --server redis --exe "$redis" "${idle[@]}" --out "$results/idle.tsv"
        run fanout --server floor --exe "$floor" "${big_fan[@]}" --out "$results/fanout.tsv"
        run fanout --server tovrel --exe "$tovrel" "${big_fan[@]}" --out "$results/fanout.tsv"
        run fanout --server nats --exe "$nats" "${big_fan[@]}" --out "$results/fanout.tsv"
        run fanout --server redis --exe "$redis" "${big_fan[@]}" --out "$results/fanout.tsv"
    done
    # ncat may not hold every step; the table then says how many it accepted.
    "$bench" idle --server ncat --exe ncat "${idle[@]}" --out "$results/idle.tsv" || true
fi
if [ "$parts" = all ] || [ "$parts" = pace ]; then
    # Both tovrel paces take 50 connections a pass while clients connect, so
    # 5000 connect in seconds; the measured runs do not accept. The part's
    # own start, load and length go with its section, which a pace-only run
    # replaces alone.
    pace_start_s="$(date +%s)"
    pace_load_before="$(uptime)"
    pace_started="$(date -u '+%Y-%m-%d %H:%M UTC')"
    accepts=(--server-arg --accepts-per-pass --server-arg 50)
    low=(--server-arg --low-latency)
    for _ in $(seq "$pace_rounds"); do
        run fanout --server tovrel --exe "$tovrel" "${accepts[@]}" "${pace_fan[@]}" --out "$results/pace.tsv"
        run fanout --server tovrel --exe "$tovrel" "${accepts[@]}" "${low[@]}" "${pace_fan[@]}" --out "$results/pace.tsv"
        run fanout --server redis --exe "$redis" "${pace_fan[@]}" --out "$results/pace.tsv"
        run fanout --server nats --exe "$nats" "${pace_fan[@]}" --out "$results/pace.tsv"
        run fanout --server floor --exe "$floor" "${pace_fan[@]}" --out "$results/pace.tsv"
    done
    run idle --server tovrel --exe "$tovrel" "${accepts[@]}" "${pace_idle[@]}" --out "$results/pace-idle-default.tsv"
    run idle --server tovrel --exe "$tovrel" "${accepts[@]}" "${low[@]}" "${pace_idle[@]}" \
        --out "$results/pace-idle-low-latency.tsv"
    {
        printf 'started\t%s\n' "$pace_started"
        printf 'rounds\t%s\n' "$pace_rounds"
        printf 'fanout\t%s\n' "${pace_fan[*]}"
        printf 'idle\t%s\n' "${pace_idle[*]}"
        printf 'quick\t%s\n' "${TOVREL_BENCH_QUICK:-0}"
        printf 'load before\t%s\n' "$pace_load_before"
        printf 'load after\t%s\n' "$(uptime)"
        printf 'took\t%s\n' "$(( $(date +%s) - pace_start_s ))"
    } >"$results/pace-run.tsv"
fi
load_after="$(uptime)"
took="$(( $(date +%s) - start_s ))"

if [ "$parts" = pace ]; then
    bench/pace_report.sh --splice "$results" "$docs"
    echo "run.sh: wrote the pace section of $docs/benchmarks.md and $docs/bench-pace.png" >&2
    exit "$fail"
fi
bench/report.sh "$results" "$docs" "$started" "$load_before" "$load_after" "$took"
echo "run.sh: wrote $docs/benchmarks.md" >&2
exit "$fail"
