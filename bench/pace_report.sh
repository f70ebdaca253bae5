#!/usr/bin/env bash
# The low-latency pace section of docs/benchmarks.md, between its marker
# comments, and its chart DOCS/bench-pace.png, from the results of
# bench/run.sh's pace part (pace.tsv, pace-idle-*.tsv, pace-run.tsv).
#   bench/pace_report.sh RESULTS DOCS            prints the section (for bench/report.sh)
#   bench/pace_report.sh --splice RESULTS DOCS   replaces it in DOCS/benchmarks.md in place
# A pace-only run splices, so the rest of the page, from a full run that
# takes most of an hour, stays as it was.
set -euo pipefail
here="$(dirname "$0")"
splice=0
if [ "$1" = --splice ]; then
    splice=1
    shift
fi
results="$1"
docs="$2"
begin='<!-- pace:begin -->'
end='<!-- pace:end -->'

# One field of pace-run.tsv ("started", "rounds", "took", ...).
run_field() {
    awk -F'\t' -v key="$1" '$1 == key {sub(/^ +/, "", $2); print $2}' "$results/pace-run.tsv" 2>/dev/null
}

# One point per server and scenario: CPU per delivery against p50, and
# against p99; each server its own marker and colour, each point labelled.
chart() {
    local p50="" p99="" i=0 file title
    local colours=('#1f5fbf' '#d62728' '#2a9d2a' '#8e44ad' '#b8860b' '#444444')
    while IFS=$'\t' read -r file title; do
        local colour="${colours[i % ${#colours[@]}]}"
        i=$((i + 1))
        local style="with points pt $((3 + 2 * i)) ps 1.6 lc rgb '$colour' title '$title'"
        local label="with labels offset char 0.8,0.6 left font ',7' tc rgb '$colour' notitle"
        p50+="${p50:+, }'$file' using 1:2 $style, '' using 1:2:4 $label"
        p99+="${p99:+, }'$file' using 1:3 $style, '' using 1:3:4 $label"
    done < <(python3 "$here/pace_table.py" --points "$results")
    gnuplot <<GP
set terminal pngcairo size 1500,620 font 'sans,9'
set output '$docs/bench-pace.png'
set multiplot layout 1,2
set logscale xy
set grid
set key outside top center horizontal
set xlabel 'server CPU ms per 1000 deliveries (log scale)'
set title 'p50 latency against CPU per delivery (labels: clients:bytes:frames/s)'
set ylabel 'p50 latency, ms (log scale)'
plot $p50
set title 'p99 latency against CPU per delivery (labels: clients:bytes:frames/s)'
set ylabel 'p99 latency, ms (log scale)'
plot $p99
unset multiplot
GP
}

section() {
    cat <<MD
$begin
## The low-latency pace

By default tovrel sleeps 20 ms after each pass, so a message waits for the
next pass to be read and, for the clients whose turn came before its
sender's, for one more to go out. With \`--low-latency\` a pass starts
as soon as a socket has something to do (passes at least 250 µs apart, so
under load a client still gets one send per pass), and a message goes to
every client in the pass that reads it. Choose it when a person waits for
each answer: games, shared cursors, live auctions. It costs more wake-ups
when traffic is light; the table says what it costs per delivery.

MD
    if [ ! -s "$results/pace.tsv" ]; then
        echo 'Run `bench/run.sh build-bench pace` to fill this section.'
        echo "$end"
        return
    fi
    chart
    if [ "$(run_field quick)" = 1 ]; then
        echo "**A check of the script with tiny numbers (TOVREL_BENCH_QUICK=1), not a measurement.**"
        echo
    fi
    cat <<MD
Fan-out as in section 1 (clients × frame bytes × frames per second) to
tovrel in both paces, redis-server pub/sub, nats-server and the floor, in
$(run_field rounds) alternating rounds; both tovrel paces take 50 connections a pass
while the clients connect (\`--accepts-per-pass 50\`). Each figure is the
median of the rounds, with the least and the most in brackets; "delivered /
expected" adds up every round. Then idle CPU in both paces, one run each,
while nobody sends.

$(python3 "$here/pace_table.py" "$results")

![Latency against server CPU per delivery](bench-pace.png)

Run started $(run_field started) and took $(run_field took) s. Load before:
\`$(run_field "load before")\`; after: \`$(run_field "load after")\`.
Command: \`bench/run.sh build-bench pace\`, which runs
\`tovrel-bench fanout --server tovrel|redis|nats|floor --exe ... $(run_field fanout)\`
(tovrel also with \`--server-arg --low-latency\`) and
\`tovrel-bench idle --server tovrel --exe ... $(run_field idle)\` in both paces.
$end
MD
}

if [ "$splice" = 0 ]; then
    section
    exit 0
fi
page="$docs/benchmarks.md"
mkdir -p "$docs"
new="$(mktemp)"
part="$(mktemp)"
trap 'rm -f "$new" "$part"' EXIT
section >"$part"
if [ -f "$page" ] && grep -qF "$begin" "$page" && grep -qF "$end" "$page"; then
    awk -v begin="$begin" -v end="$end" -v file="$part" '
        $0 == begin { while ((getline line < file) > 0) print line; skip = 1; next }
        $0 == end { skip = 0; next }
        !skip' "$page" >"$new"
else
    # A page from before the section existed: it goes at the end.
    if [ -f "$page" ]; then cat "$page"; else echo "# Benchmarks"; fi >"$new"
    { echo; cat "$part"; } >>"$new"
fi
cat "$new" >"$page"
