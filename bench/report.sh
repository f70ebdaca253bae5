#!/usr/bin/env bash
# Turns the tab-separated results of bench/run.sh into docs/benchmarks.md and
# its gnuplot charts; includes the profiles bench/profile.sh wrote, and the
# pace section that bench/pace_report.sh writes (and replaces alone).
#   bench/report.sh RESULTS DOCS STARTED LOAD_BEFORE LOAD_AFTER [SECONDS_TAKEN]
set -euo pipefail
results="$1"
docs="$2"
started="$3"
load_before="$4"
load_after="$5"
took="${6:-?}"
out="$docs/benchmarks.md"
mkdir -p "$docs"

fanout="$results/fanout.tsv"
idle="$results/idle.tsv"
throughput="$results/throughput.tsv"
ws_fanout="$results/fanout-ws.tsv"
touch "$fanout" "$idle" "$throughput" "$ws_fanout"

# --- charts ------------------------------------------------------------------
relays="floor tovrel ncat nats redis"
# Server CPU per 1000 deliveries of a fan-out row: schedstat (all threads,
# nanoseconds) where the kernel has it, else clock ticks.
awk_cpu='function cpu(f) { return f[16] > 0 ? f[17] : f[15] }'

# A relay that ran a scenario more than once (run.sh repeats the floor and
# tovrel, whose ratio is a goal, and every relay of the scale part) is
# represented by one row whose every figure is the median of that figure
# over its runs; a field that is not a number ("yes"/"no") is the least of
# its values, so "no" when any run said no. The number of runs is appended.
#   median_rows FILE [ROW-TYPE] [KEY-FIELDS]   (fanout, 4: relay and scenario)
median_rows() {
    awk -F'\t' -v OFS='\t' -v type="${2:-fanout}" -v keyFields="${3:-4}" '
        $1 != type { next }
        type == "connect" && $5 == "failed" { next }
        {
            k = $2; for (c = 3; c <= keyFields + 1; ++c) k = k SUBSEP $c
            if (!(k in n)) {
                order[++keys] = k; head[k] = $1
                for (c = 2; c <= keyFields + 1; ++c) head[k] = head[k] OFS $c
            }
            ++n[k]
            if (NF > width) { width = NF }
            for (c = keyFields + 2; c <= NF; ++c) {
                text[k, c] = text[k, c] || $c !~ /^-?[0-9.]+$/
                v[k, c, n[k]] = $c
            }
        }
        END {
            for (i = 1; i <= keys; ++i) {
                k = order[i]
                line = head[k]
                for (c = keyFields + 2; c <= width; ++c) {
                    m = n[k]
                    if (text[k, c]) {
                        least = v[k, c, 1]
                        for (a = 2; a <= m; ++a) if (v[k, c, a] < least) least = v[k, c, a]
                        line = line OFS least
                        continue
                    }
                    for (a = 1; a <= m; ++a) { s[a] = v[k, c, a] + 0 }
                    for (a = 2; a <= m; ++a) {  # insertion sort: a handful of runs
                        x = s[a]
                        for (b = a - 1; b >= 1 && s[b] > x; --b) { s[b + 1] = s[b] }
                        s[b + 1] = x
                    }
                    line = line OFS s[int((m + 1) / 2)]
                }
                print line OFS n[k]
            }
        }' "$1"
}
median_rows "$fanout" >"$results/fanout-median.tsv"
median_rows "$ws_fanout" >"$results/fanout-ws-median.tsv"
# WebSocket fan-out: one row per relay and scenario, medians over the rounds.
ws_table() {
    local rows="$results/fanout-ws-median.tsv"
    if [ ! -s "$rows" ]; then
        echo "_Not run._"
        return
    fi
    echo "| relay | clients | bytes | frames/s | delivered | p50 ms | p99 ms | server CPU per 1000 deliveries (ms) |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|"
    awk -F'\t' "$awk_cpu"'
        { split($0, f, "\t"); printf "| %s | %s | %s | %s | %s / %s | %s | %s | %s |\n", $2, $3, $4, $5, $9, $8, $11, $12, cpu(f) }' "$rows"
}
runs_per_scenario="$(awk -F'\t' '$1 == "fanout" && $2 == "tovrel" {c[$3 "-" $4 "-" $5]++} END {m = 0; for (k in c) if (c[k] > m) m = c[k]; print m + 0}' "$fanout")"
runs_text="$runs_per_scenario times"
[ "$runs_per_scenario" = 1 ] && runs_text="once"
fanout="$results/fanout-median.tsv"
# TLS fan-out (run.sh's tls part), with its own medians.
tls_fanout="$results/fanout-tls-median.tsv"
if [ -s "$results/fanout-tls.tsv" ]; then
    median_rows "$results/fanout-tls.tsv" >"$tls_fanout"
else
    : >"$tls_fanout"
fi
idle_raw="$idle"
median_rows "$idle_raw" idle 2 >"$results/idle-median.tsv"
median_rows "$idle_raw" connect 3 >"$results/connect-median.tsv"
idle="$results/idle-median.tsv"
connect="$results/connect-median.tsv"
# The fan-out scenarios of the scale part (run.sh passes its own in quick mode).
scale_runs="${TOVREL_BENCH_SCALE_RUNS:-5000:64:20,10000:64:20}"

# The three heaviest scenarios of a full run, or else the last three that ran.
scenarios=""
for scenario in 100-64-2000 1000-64-200 1000-4096-200; do
    ls "$results"/latency-*-"$scenario".tsv >/dev/null 2>&1 && scenarios+=" $scenario"
done
if [ -z "$scenarios" ]; then
    scenarios="$(awk -F'\t' '$1=="fanout" {k=$3 "-" $4 "-" $5; if (!(k in s)) {s[k]=1; print k}}' "$fanout" | tail -3)"
fi
latency_plot=""
for scenario in $scenarios; do
    curves=""
    for kind in $relays; do
        f="$results/latency-$kind-$scenario.tsv"
        [ -s "$f" ] || continue
        curves+="${curves:+, }'$f' using 1:2 with lines lw 2 title '$kind'"
    done
    [ -n "$curves" ] || continue
    IFS=- read -r n size rate <<<"$scenario"
    latency_plot+="set title 'Fan-out latency: $n clients, $size-byte frames, $rate/s'; plot $curves;"$'\n'
done
gnuplot <<GP
set terminal pngcairo size 1500,450 font 'sans,9'
set output '$docs/bench-latency.png'
set multiplot layout 1,3
set xlabel 'latency (ms)'
set ylabel 'frames delivered within (%)'
set logscale x
set xrange [0.05:*]
set yrange [0:100]
set key bottom right
set grid
$latency_plot
unset multiplot
GP

# One line per fan-out scenario, one column per relay: CPU ms per 1000 deliveries.
awk -F'\t' -v relays="$relays" "$awk_cpu"'
    $1=="fanout" {k=$3 ":" $4 ":" $5; split($0, f, "\t"); v[$2,k]=cpu(f); if (!(k in seen)) {seen[k]=1; keys[++n]=k}}
    END {
        m = split(relays, r, " ")
        for (i = 1; i <= n; i++) {
            line = "\"" keys[i] "\""
            for (j = 1; j <= m; j++) line = line " " (((r[j],keys[i]) in v) && v[r[j],keys[i]] > 0 ? v[r[j],keys[i]] : "NaN")
            print line
        }
    }' "$fanout" >"$results/cpu-fanout.dat"
# A relay without a fan-out figure (ncat in a scale-only run) is left out:
# gnuplot refuses a histogram column with no valid point.
fanout_plot=""
column=2
for kind in $relays; do
    if awk -v c="$column" '$c != "NaN" {found = 1} END {exit !found}' "$results/cpu-fanout.dat"; then
        fanout_plot+="${fanout_plot:+, }'$results/cpu-fanout.dat' using $column:xtic(1) title '$kind'"
    fi
    column=$((column + 1))
done
[ -n "$fanout_plot" ] || fanout_plot="[0:1] 1 title 'no fan-out run'"
# Idle CPU as % of one core: schedstat where the kernel has it, else ticks.
awk_idle_cpu='function idle_cpu(f) { return (f[7] > 0 ? f[7] : f[5]) / f[4] }'
idle_plot=""
for kind in $relays; do
    awk -F'\t' -v kind="$kind" "$awk_idle_cpu"'$1=="idle" && $2==kind {split($0, f, "\t"); print $3, idle_cpu(f) / 10}' \
        "$idle" >"$results/cpu-idle-$kind.dat"
    [ -s "$results/cpu-idle-$kind.dat" ] || continue
    title="$kind"
    [ "$kind" = ncat ] && title="ncat --broker"
    idle_plot+="${idle_plot:+, }'$results/cpu-idle-$kind.dat' using 1:2 with linespoints lw 2 title '$title'"
done
[ -n "$idle_plot" ] || idle_plot="[1:10000] 0 title 'no idle run'"
gnuplot <<GP
set terminal pngcairo size 1500,450 font 'sans,9'
set output '$docs/bench-cpu.png'
set multiplot layout 1,2
set grid y
set key top left
set title 'Fan-out: server CPU per 1000 deliveries (clients:bytes:frames/s)'
set ylabel 'CPU ms (log scale)'
set logscale y
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set xtics rotate by -30
plot $fanout_plot
unset logscale y
unset style
set style data linespoints
set xtics norotate
set logscale x
set xlabel 'clients'
set title 'Idle clients: server CPU'
set ylabel '% of one core'
plot $idle_plot
unset multiplot
GP

# --- tables ------------------------------------------------------------------
# Scenario keys in the order they ran; relays in the order of $relays.
fanout_awk_head='
    BEGIN { m = split(relays, r, " ") }
    $1=="fanout" {k=$3 SUBSEP $4 SUBSEP $5; row[$2,k]=$0; if (!(k in seen)) {seen[k]=1; keys[++n]=k}}
    function scenario(k,   p) { split(k, p, SUBSEP); return sprintf("| %s | %s B | %s ", p[1], p[2], p[3]) }
    function value(kind, k,   f) { if (!((kind,k) in row)) return -1; split(row[kind,k], f, "\t"); return cpu(f) }
    function ratio(a, b) { return a >= 0 && b > 0 ? sprintf("%.2f", a / b) : "-" }
'

cpu_matrix() {
    awk -F'\t' -v relays="$relays" "$awk_cpu$fanout_awk_head"'
    END {
        head = "| clients | frame | frames/s "; rule = "|---:|---:|---:"
        for (j = 1; j <= m; j++) { head = head "| " r[j] " "; rule = rule "|---:" }
        for (j = 1; j <= m; j++) if (r[j] != "tovrel") { head = head "| tovrel / " r[j] " "; rule = rule "|---:" }
        print head "|"; print rule "|"
        for (i = 1; i <= n; i++) {
            k = keys[i]; line = scenario(k); t = value("tovrel", k)
            for (j = 1; j <= m; j++) { x = value(r[j], k); line = line "| " (x >= 0 ? sprintf("%.2f", x) : "-") " " }
            for (j = 1; j <= m; j++) if (r[j] != "tovrel") line = line "| " ratio(t, value(r[j], k)) " "
            print line "|"
        }
    }' "$fanout"
}

latency_matrix() {
    awk -F'\t' -v relays="$relays" "$awk_cpu$fanout_awk_head"'
    END {
        head = "| clients | frame | frames/s "; rule = "|---:|---:|---:"
        for (j = 1; j <= m; j++) { head = head "| " r[j] " "; rule = rule "|---:" }
        print head "|"; print rule "|"
        for (i = 1; i <= n; i++) {
            k = keys[i]; line = scenario(k)
            for (j = 1; j <= m; j++) {
                if (!((r[j],k) in row)) { line = line "| - "; continue }
                split(row[r[j],k], f, "\t")
                line = line sprintf("| %.1f / %.1f; %.1f %%, %.1f %% in 1 s ", f[11], f[12], f[8] > 0 ? 100 * f[9] / f[8] : 0, f[8] > 0 ? 100 * f[26] / f[8] : 0)
            }
            print line "|"
        }
    }' "$fanout"
}

fanout_table() {
    awk -F'\t' -v relays="$relays" "$awk_cpu$fanout_awk_head"'
    END {
        print "| clients | frame | frames/s | relay | threads | delivered / expected | delivered | within 1 s | out of order | p50 ms | p99 ms | max ms | server CPU ms | CPU ms per 1000 | / floor | RSS KiB | passes/s | server waited for a CPU ms | bench CPU, % of a core | bench waited for a CPU ms | readers dropped |"
        print "|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
        for (i = 1; i <= n; i++) {
            k = keys[i]; fl = value("floor", k)
            for (j = 1; j <= m; j++) {
                if (!((r[j],k) in row)) continue
                split(row[r[j],k], f, "\t")
                passes = (r[j] == "tovrel" || r[j] == "floor") ? sprintf("%.1f", f[19]) : ""
                printf "%s| %s | %s | %s / %s | %.1f %% | %.1f %% | %s | %.1f | %.1f | %.1f | %.0f | %.2f | %s | %s | %s | %s | %.1f | %s | %s |\n",
                    scenario(k), r[j], f[24], f[9], f[8], (f[8] > 0 ? 100 * f[9] / f[8] : 0), (f[8] > 0 ? 100 * f[26] / f[8] : 0), f[10], f[11], f[12], f[13],
                    (f[16] > 0 ? f[16] : f[14]), cpu(f), ratio(cpu(f), fl), f[18], passes, f[20], f[22], f[23], f[25]
            }
        }
    }' "$fanout"
}

idle_table() {
    awk -F'\t' -v relays="$relays" "$awk_idle_cpu"'
    BEGIN { m = split(relays, r, " ") }
    FILENAME == ARGV[1] && $1=="idle" {row[$2,$3]=$0; if (!($3 in seen)) {seen[$3]=1; keys[++n]=$3}}
    FILENAME == ARGV[2] && $1=="connect" && $5=="failed" {failed[$2,$4]=$6}
    function kernel(f, c) { return f[c] == "" || f[c - 2] < 0 ? "-" : sprintf("%.0f", f[c]) }
    END {
        print "| clients | relay | runs | CPU ms per s | % of one core | RSS KiB | RSS with no client KiB | RSS bytes per client | TCP sockets added (machine) | kernel TCP buffer bytes per client | kernel socket-object bytes per client | all still connected |"
        print "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
        for (i = 1; i <= n; i++) {
            k = keys[i]
            for (j = 1; j <= m; j++) {
                kind = r[j]
                if (!((kind,k) in row)) {
                    if ((kind,k) in failed) printf "| %s | %s | - | - | - | - | - | - | - | - | - | no: only %s accepted |\n", k, kind, failed[kind,k]
                    continue
                }
                split(row[kind,k], f, "\t")
                printf "| %s | %s | %s | %.2f | %.2f | %s | %s | %s | %s | %s | %s | %s |\n", f[3], kind, (f[20] != "" ? f[20] : 1),
                    idle_cpu(f), idle_cpu(f) / 10, f[8], f[9], f[10], (f[15] != "" ? f[15] - f[14] : "-"), kernel(f, 16), kernel(f, 19), f[11]
            }
        }
        for (key in failed) {
            split(key, p, SUBSEP)
            if (!(p[2] in seen))
                printf "| %s | %s | - | - | - | - | - | - | - | - | - | no: only %s accepted |\n", p[2], p[1], failed[key]
        }
    }' "$idle" "$idle_raw"
}

connect_table() {
    awk -F'\t' '
    $1=="connect" {
        if (!h) {print "| relay | clients | added | runs | seconds for these | accepted per second | seconds since the first |"; print "|---|---:|---:|---:|---:|---:|---:|"; h=1}
        printf "| %s | %s | %d | %s | %.2f | %.1f | %.2f |\n", $2, $4, $4-$3, $8, $5, $6, $7
    }' "$connect"
}

# --- the scale part: 1000 to 10000 clients ---------------------------------------
# Idle CPU per relay (columns: the idle steps), median of the runs.
idle_cpu_matrix() {
    awk -F'\t' -v relays="$relays" "$awk_idle_cpu"'
    BEGIN { m = split(relays, r, " ") }
    $1=="idle" {row[$2,$3]=$0; if (!($3 in seen)) {seen[$3]=1; keys[++n]=$3}}
    END {
        if (n == 0) { print "No idle run."; exit }
        head = "| relay "; rule = "|---"
        for (i = 1; i <= n; i++) { head = head "| " keys[i] " clients "; rule = rule "|---:" }
        print head "| tovrel / relay at " keys[n] " |"; print rule "|---:|"
        split(row["tovrel",keys[n]], t, "\t")
        for (j = 1; j <= m; j++) {
            line = "| " r[j] " "; any = 0
            for (i = 1; i <= n; i++) {
                if (!((r[j],keys[i]) in row)) { line = line "| - "; continue }
                split(row[r[j],keys[i]], f, "\t"); any = 1
                line = line sprintf("| %.2f ms/s%s ", idle_cpu(f), f[11] == "yes" ? "" : " (a client lost)")
            }
            ratio = "-"
            if (((r[j],keys[n]) in row) && (("tovrel",keys[n]) in row)) {
                split(row[r[j],keys[n]], f, "\t")
                ratio = idle_cpu(f) > 0 ? sprintf("%.2f", idle_cpu(t) / idle_cpu(f)) : "n/a (0)"
            }
            if (any) print line "| " ratio " |"
        }
    }' "$idle"
}

# Memory per idle client: the server's RSS growth, and the machine's kernel TCP memory growth.
idle_memory_table() {
    awk -F'\t' -v relays="$relays" '
    BEGIN { m = split(relays, r, " ") }
    $1=="idle" {row[$2,$3]=$0; if (!($3 in seen)) {seen[$3]=1; keys[++n]=$3}}
    function kernel(f, c) { return f[c] == "" || f[c - 2] < 0 ? "-" : sprintf("%.0f", f[c]) }
    END {
        if (n == 0) { print "No idle run."; exit }
        print "| relay | clients | server RSS bytes per client | kernel TCP buffers, bytes per client (both ends) | kernel TCP socket objects, bytes per client (both ends) | TCP sockets added on the machine |"
        print "|---|---:|---:|---:|---:|---:|"
        for (j = 1; j <= m; j++)
            for (i = 1; i <= n; i++) {
                if (!((r[j],keys[i]) in row)) continue
                split(row[r[j],keys[i]], f, "\t")
                printf "| %s | %s | %s | %s | %s | %s |\n", r[j], f[3], f[10], kernel(f, 16), kernel(f, 19), (f[15] != "" ? f[15] - f[14] : "-")
            }
    }' "$idle"
}

# Fan-out of the scale part: CPU per delivery against the floor's.
scale_fanout_table() {
    awk -F'\t' -v relays="$relays" -v runs="$scale_runs" "$awk_cpu"'
    BEGIN {
        m = split(relays, r, " ")
        ns = split(runs, sr, ",")
        for (i = 1; i <= ns; i++) { split(sr[i], p, ":"); keys[i] = p[1] SUBSEP p[2] SUBSEP p[3] }
    }
    $1=="fanout" {row[$2,$3 SUBSEP $4 SUBSEP $5]=$0}
    END {
        print "| clients | frame | frames/s | relay | runs | delivered / expected | out of order | p50 ms | p99 ms | server CPU µs per delivery (ms per 1000) | x floor |"
        print "|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|"
        for (i = 1; i <= ns; i++) {
            k = keys[i]; split(k, p, SUBSEP)
            fl = -1
            if (("floor",k) in row) { split(row["floor",k], g, "\t"); fl = cpu(g) }
            for (j = 1; j <= m; j++) {
                if (!((r[j],k) in row)) continue
                split(row[r[j],k], f, "\t")
                printf "| %s | %s B | %s | %s | %s | %s / %s | %s | %.1f | %.1f | %.2f | %s |\n", p[1], p[2], p[3], r[j], f[27], f[9], f[8], f[10], f[11], f[12],
                    cpu(f), (fl > 0 ? sprintf("%.2f", cpu(f) / fl) : "-")
            }
        }
    }' "$fanout"
}

# Time to connect every client of the idle runs: the sum of the steps'
# connecting times, without the quiet windows between them; one figure per
# run (a "limits" row opens each), then the median.
connect_time_table() {
    awk -F'\t' -v relays="$relays" '
    BEGIN { m = split(relays, r, " ") }
    $1=="limits" { kind = $2; run = ++runs[kind]; total[kind,run] = 0; reached[kind,run] = 0 }
    $1=="connect" && $5 != "failed" { total[kind,run] += $5; reached[kind,run] = $4 }
    $1=="connect" && $5 == "failed" { broken[kind,run] = 1 }
    END {
        print "| relay | clients | runs that connected them all | seconds (median) | accepted per second | each run, seconds |"
        print "|---|---:|---:|---:|---:|---|"
        for (j = 1; j <= m; j++) {
            kind = r[j]; most = 0
            for (a = 1; a <= runs[kind]; a++) if (reached[kind,a] > most) most = reached[kind,a]
            c = 0; each = ""
            for (a = 1; a <= runs[kind]; a++) {
                if (reached[kind,a] != most || broken[kind,a]) { each = each (each == "" ? "" : ", ") "stopped at " reached[kind,a]; continue }
                s[++c] = total[kind,a]; each = each (each == "" ? "" : ", ") sprintf("%.1f", total[kind,a])
            }
            if (c == 0) continue
            for (a = 2; a <= c; a++) { x = s[a]; for (b = a - 1; b >= 1 && s[b] > x; --b) s[b + 1] = s[b]; s[b + 1] = x }
            med = s[int((c + 1) / 2)]
            printf "| %s | %d | %d | %.1f | %.1f | %s |\n", kind, most, c, med, (med > 0 ? most / med : 0), each
        }
    }' "$idle_raw"
}

throughput_table() {
    awk -F'\t' '
    $1=="throughput" {
        if (!h) {print "| direction | bytes measured | seconds | passes | passes per second | bytes per second | bytes per pass | design ceiling per pass | of ceiling | server CPU ms |"; print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"; h=1}
        printf "| %s | %s | %.2f | %s | %.1f | %s | %.0f | %s | %.1f %% | %s |\n", ($2=="reader" ? "one reader draining a backlog" : "one writer"), $3, $4, $5, $6, $7, $8, $9, $10, $11
    }' "$throughput"
}

targets_table() {
    awk -F'\t' "$awk_cpu$awk_idle_cpu"'
    function verdict(ok) { return ok ? "met" : "**missed**" }
    FILENAME ~ /fanout/ && $1=="fanout" {k=$3 SUBSEP $4 SUBSEP $5; row[$2,k]=$0; if ($2=="tovrel") {all[++na]=k; if ($3==100 || $3==1000) keys[++n]=k}}
    FILENAME ~ /idle-median/ && $1=="idle" && $2=="tovrel" {idle[$3]=$0}
    FILENAME ~ /idle.tsv$/ && $1=="limits" && $2=="tovrel" {limits=$3}
    FILENAME ~ /idle.tsv$/ && $1=="connect" && $2=="tovrel" && $5=="failed" {failedAt=$4; got=$6}
    FILENAME ~ /throughput/ && $1=="throughput" && $2=="reader" {reader=$10}
    END {
        print "| target | measured | verdict |"
        print "|---|---|---|"
        for (i = 1; i <= n; i++) {
            split(row["tovrel",keys[i]], f, "\t")
            run = sprintf("%d clients, %d B, %d/s", f[3], f[4], f[5])
            printf "| fan-out, %s: every frame delivered | %s / %s | %s |\n", run, f[9], f[8], verdict(f[9]==f[8] && f[10]==0)
            printf "| fan-out, %s: p99 within 45 ms | %.1f ms | %s |\n", run, f[12], verdict(f[12] <= 45)
            if (("ncat",keys[i]) in row) {
                split(row["ncat",keys[i]], c, "\t")
                if (cpu(c) > 0)
                    printf "| fan-out, %s: CPU per 1000 frames at most 1/4 of ncat | %.2f / %.2f ms = %.2f | %s |\n", run, cpu(f), cpu(c), cpu(f)/cpu(c), verdict(cpu(f) <= cpu(c)/4)
            }
        }
        # Near the floor, in every fan-out scenario; no collapse at 800 MB/s.
        for (i = 1; i <= na; i++) {
            if (!(("floor",all[i]) in row)) continue
            split(row["tovrel",all[i]], f, "\t"); split(row["floor",all[i]], g, "\t")
            run = sprintf("%d clients, %d B, %d/s", f[3], f[4], f[5])
            if (cpu(g) > 0)
                printf "| fan-out, %s: CPU per delivery within 1.2 times the floor relay'"'"'s | %.2f / %.2f ms = %.2f | %s |\n", run, cpu(f), cpu(g), cpu(f)/cpu(g), verdict(cpu(f) <= 1.2*cpu(g))
            if (f[3]==1000 && f[4]==4096 && f[5]==200) {
                printf "| fan-out, %s: delivered in full | %s / %s, %s within 1 s | %s |\n", run, f[9], f[8], f[26], verdict(f[9]==f[8] && f[10]==0)
                printf "| fan-out, %s: p99 within twice the floor relay'"'"'s | %.1f / %.1f ms = %.2f | %s |\n", run, f[12], g[12], (g[12] > 0 ? f[12]/g[12] : 0), verdict(f[12] <= 2*g[12])
            }
        }
        if (1000 in idle) {
            split(idle[1000], f, "\t")
            printf "| 1000 idle clients: at most 1%% of one core | %.2f %% | %s |\n", idle_cpu(f) / 10, verdict(idle_cpu(f) / 10 <= 1)
            printf "| 1000 idle clients: at most 1 KiB each | %s bytes | %s |\n", f[10], verdict(f[10] <= 1024)
        }
        if (reader != "")
            printf "| one reader: at least 90%% of 65536 bytes per pass | %.1f %% | %s |\n", reader, verdict(reader >= 90)
        if (5000 in idle) {
            split(idle[5000], f, "\t")
            printf "| 5000 clients fit | all connected: %s; open-file limit (soft/hard) %s | %s |\n", f[11], limits, verdict(f[11]=="yes")
        } else if (failedAt != "")
            printf "| %d clients fit | %s accepted; open-file limit (soft/hard) %s | **missed** |\n", failedAt, got, limits
    }' "$fanout" "$idle" "$idle_raw" "$throughput"
}

bench_peak() {
    awk -F'\t' '$1=="fanout" && $22+0 > most {most=$22+0; at=sprintf("%s, %d clients x %d B x %d/s", $2, $3, $4, $5)}
        END {printf "The bench'"'"'s own CPU peaked at %.0f %% of one core (%s). It\nreads with one epoll set and 256 KiB receives, and cuts messages where they\nlie, copying only a partial one.\n", most, at}' "$fanout"
}

cpu_model="$(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
{
profiles() {
    local found=0
    for f in "$docs"/profile-before.md "$docs"/profile-after.md; do
        [ -s "$f" ] || continue
        found=1
        echo
        cat "$f"
    done
    [ "$found" = 1 ] || echo "No profile has been taken: \`bench/profile.sh before\`."
}

# TLS fan-out: CPU per 1000 deliveries of each relay with TLS, its ratio to
# the same scenario in plaintext (section 1), and tovrel's to nats-server's.
tls_table() {
    if [ ! -s "$tls_fanout" ]; then
        echo 'No TLS run in this report: `bench/run.sh build-bench tls`.'
        return
    fi
    awk -F'\t' "$awk_cpu"'
    function scenario(k,   p) { split(k, p, SUBSEP); return sprintf("| %s | %s B | %s ", p[1], p[2], p[3]) }
    function show(x) { return x >= 0 ? sprintf("%.2f", x) : "-" }
    function ratio(a, b) { return a >= 0 && b > 0 ? sprintf("%.2f", a / b) : "-" }
    function cpuof(key,   f) { if (!(key in row)) return -1; split(row[key], f, "\t"); return cpu(f) }
    $1 == "fanout" {
        k = $3 SUBSEP $4 SUBSEP $5
        row[$2 SUBSEP k] = $0
        if (FILENAME ~ /tls/ && !(k in seen)) { seen[k] = 1; keys[++n] = k }
    }
    END {
        print "| clients | frame | frames/s | tovrel-tls | nats-tls | redis-tls | tovrel TLS / plain | nats TLS / plain | redis TLS / plain | tovrel-tls / nats-tls | delivered (tovrel-tls) |"
        print "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
        for (i = 1; i <= n; i++) {
            k = keys[i]; line = scenario(k)
            split("tovrel nats redis", r, " ")
            for (j = 1; j <= 3; j++) line = line "| " show(cpuof(r[j] "-tls" SUBSEP k)) " "
            for (j = 1; j <= 3; j++) line = line "| " ratio(cpuof(r[j] "-tls" SUBSEP k), cpuof(r[j] SUBSEP k)) " "
            line = line "| " ratio(cpuof("tovrel-tls" SUBSEP k), cpuof("nats-tls" SUBSEP k)) " "
            d = "-"
            if (("tovrel-tls" SUBSEP k) in row) { split(row["tovrel-tls" SUBSEP k], f, "\t"); d = f[9] " / " f[8] }
            print line "| " d " |"
        }
    }' "$tls_fanout" "$fanout"
}

cat <<MD
# Benchmarks

Written by \`bench/run.sh\`, which builds tovrel, \`tovrel-bench\` and
\`tovrel-floor\` and runs every scenario below, one relay after the other on
the same machine, over 127.0.0.1 only. The fan-out runs go to tovrel and four
peers, the idle runs to tovrel, the floor, nats-server and redis-server (and
\`ncat --broker\` once), the throughput runs to tovrel. Re-run it to replace
this page:

\`\`\`sh
bench/run.sh            # about 50 minutes; needs cmake, g++, gnuplot-nox, ncat, nats-server, redis-server
bench/run.sh build-bench base    # only sections 1 and 2, about five minutes
bench/run.sh build-bench scale   # only sections 3 to 5 (1000 to 10000 clients), about 32 minutes
bench/run.sh build-bench pace    # only the low-latency pace, about ten minutes; replaces that section here
bench/profile.sh after  # perf profile of tovrel at 1000 clients x 4096 B x 200/s -> docs/profile-after.md
\`\`\`

## Machine and run

- Run started: $started; the scenarios took $took s (the build before them not counted).
- CPU: $cpu_model, $(nproc) cores; $(uname -srm)
- $(ncat --version 2>&1 | head -1); nats-server $(nats-server --version 2>&1 | awk '{print $NF}'); $(redis-server --version | awk '{print $1, $2, $3}')
- Load before the run: \`${load_before}\`
- Load after the run: \`${load_after}\`
- The bench is meant to run with nothing else on the machine; the load
  lines above say what it was doing. Single runs still differ by a fifth or
  more, so the goals use medians of alternating runs, and a relay that waited
  for a CPU (the "waited for a CPU" columns) was slowed by something else,
  not by its own work.
- The bench tool, one process with one epoll set, shares the machine with the
  server it measures; its own CPU is in the tables. Server CPU is the time on
  a CPU of all the server's threads from \`/proc/PID/task/*/schedstat\` over
  each measured window (utime+stime ticks where that is missing); memory is
  VmRSS from \`/proc/PID/status\`.

## Targets

$(targets_table)

## 1. Fan-out

N clients; senders take turns (client k mod N sends frame k) at a fixed rate
for 3 s. Each frame carries its sender, a per-sender sequence number and its
send time; every receiver checks that it gets every frame of every sender
once and in order, and the latency is taken when the frame is parsed. The
payload is the same text for every relay; only its wrapping differs.

The relays:

- **tovrel**, the relay under test.
- **floor** (\`bench/floor_relay.cpp\`): the least work a relay of tovrel's
  design allows, as a yardstick. One thread, non-blocking sockets, a 20 ms
  pass; each pass it accepts, gives every readable client one receive (at
  most 32 KiB), copies the complete frames into one pass buffer, and gives
  every client one send (at most 64 KiB, gathered with \`sendmsg\` from the
  kept pass buffers). Nothing is copied or allocated per receiver: a client
  is only a position in the stream of passes. It knows the framing and
  nothing else: no history, commands or time-outs.
- **ncat** (\`ncat --broker\`, Debian's): forwards each client's bytes to
  all the *others*, so a sender does not get its own frames and the expected
  counts are N-1 per frame.
- **nats** (Debian's nats-server): core publish/subscribe, every client
  subscribes to one subject and publishes on it (NATS text protocol, verbose
  off, echo on, so the sender gets its own messages).
- **redis** (Debian's redis-server, started on a free loopback port with
  \`--save '' --appendonly no\`): each client has a subscriber connection
  (SUBSCRIBE to one channel) and a publisher connection (PUBLISH), since a
  subscribed RESP2 connection may not publish; every subscriber, the
  sender's included, gets every message.

How the peers differ. tovrel and the floor echo to the sender, batch whatever
arrived during one 20 ms pass into one send per receiver, and run one thread;
so their latency is set by the pass, not by their work (the floor sends in the
pass that received, tovrel ticks each client's send before its receive, so
clients ticked before the sender wait one pass more). ncat --broker does not
echo, runs one thread, and forwards at once: each read from a sender becomes
one write to every other client, so it batches only what one read brought.
nats-server echoes (echo on), runs in Go on several threads (the "threads"
column), queues each message for each subscriber and leaves the writing to
the connection's own writer, which sends at once what has queued up, so it
batches more as the load grows. redis-server does all client work on its one
main thread (the other threads are background helpers: file closing, fsync,
lazy freeing, the allocator); PUBLISH appends the message to every
subscriber's reply buffer and the buffers are written out before the event
loop sleeps again, one write per subscriber for all the messages of that
loop turn; echo does not arise, since every client subscribes on its own
connection.

Server CPU per 1000 deliveries (ms), with tovrel's ratio to each peer:

$(cpu_matrix)

Latency p50 / p99 in ms; then the fraction of the expected frames delivered
(during the run and up to 10 s after its last frame was sent), and the
fraction delivered within 1 s of being sent:

$(latency_matrix)

All figures:

$(fanout_table)

$(bench_peak)

The floor and tovrel ran each scenario $runs_text, alternating; each of
their figures above is the median of that figure over the runs, since one
run's figure can differ from the next by a fifth or more. The latency charts
show each relay's last run.

Command: \`tovrel-bench fanout --server floor|tovrel|ncat|nats|redis --exe ... --runs 10:64:200,10:4096:200,100:64:200,100:4096:200,100:64:2000,1000:64:20,1000:4096:20,1000:64:200,1000:4096:200 --seconds 3\`
(clients:frame bytes:frames per second). "passes/s" counts the 20 ms sleeps of
tovrel and the floor; below 50, each pass took longer than its sleep.
"waited for a CPU" is the time the process was ready to run but had no CPU
(second field of schedstat), over the run; "readers dropped" counts what the
server reported dropping for falling behind (tovrel's "Output overflow",
nats-server's "Slow Consumer", redis-server's output buffer limit).

![Latency distribution](bench-latency.png)

![Server CPU](bench-cpu.png)

### WebSocket fan-out

The same fan-out with every client on WebSocket: tovrel's \`--ws-port\`
(one message per frame, each relayed message written once as a WebSocket
frame whatever the number of receivers) beside nats-server's WebSocket
listener (\`websocket { no_tls: true }\`, the NATS protocol inside the
frames). Clients mask with a zero key. Goal: at most NATS's CPU per delivery.

$(ws_table)

Command: \`tovrel-bench fanout --server tovrel-ws|nats-ws --exe ... --runs 100:64:200,1000:64:20,1000:64:200 --seconds 3\`.

## Where tovrel's time goes

Profiles of tovrel alone at 1000 clients x 4096 B x 200/s, taken with Linux
perf (\`cpu-clock\` sampling with DWARF call graphs; this machine has no
hardware counters) by \`bench/profile.sh\`, which attaches perf to the server
the bench started for exactly the measured window.

Before the send-path rewrite (profile "before" below), about nine tenths of
the samples are spent managing each client's output buffer, and only about
one tenth in the kernel's send, where the floor spends nearly all of its
time:

- **Appending** (\`Broadcast\` -> \`CClient::SendText\`, 61 % with callees):
  every frame grows every receiver's buffer through \`realloc\`. As buffers
  pass the allocator's mapping threshold, \`realloc\` becomes \`mremap\`
  (17 %), and the pages of each regrown buffer are fresh ones the kernel
  must fault in and zero (\`clear_page_erms\` 24 % self, page faults 36 % with
  callees, 0.55 million faults in 12 s).
- **Consuming** (\`ConsumeFront\`, 28.5 %): after each partial send, the whole
  rest of the backlog is moved to the front of the buffer
  (\`memmove\` 23 % of all samples from here alone), so a client that is
  behind costs in proportion to its backlog, every pass.
- **Sending** (\`CPosixPlatform::Send\` -> \`tcp_sendmsg\`, 10 %): the only
  part the design requires.

The passes slowed from 50 to 3.6 per second, so frames queued up for seconds
(p50 7.9 s) and the resident set grew to 140 MB.

After the rewrite (profile "after" below), 96 % of the samples are under
the send itself (\`CPosixPlatform::SendGather\` -> \`sendmsg\`), as with the
floor; tovrel's own code is under 3 %. Two changes did it:

- **Nothing is copied per receiver.** \`Broadcast\` writes each frame once,
  one behind the other, into a shared block (\`CSharedBlock\`), and each
  client's queue (\`COutputQueue\`) holds runs of that block: the frames of
  one pass are usually one run. The send gathers the runs straight from the
  block. The block is written from the front again once no queue holds any
  of it, and a drained queue keeps its ring, so a steady stream allocates
  nothing. The one copy left is the kernel's (\`_copy_from_iter\`, 20 %),
  reading a block that every receiver shares and so stays in the cache.
- **Consuming costs what was sent.** A send moves the front of the queue
  forward; no backlog is ever moved.

What remains is the loopback send: building and queuing the segments, and,
since loopback delivers in the sender's context, the receiving side's TCP
work and the wake-up of the reader (\`_raw_spin_unlock_irqrestore\`, 16 %).
No change that keeps one send per client per pass removes it.
$(profiles)

## 2. Throughput

A reader that stops reading while four writers queue frames of 131072
bytes for it, then drains its backlog; and one writer streaming such frames
in (its echo comes back at up to twice the rate it goes in, so the echo
follows the intake). Only the steady part is counted: from 20 % to 95 % of
the bytes, once what the kernel's socket buffers held has been read. A pass
is one 20 ms sleep of the server, counted as a voluntary context switch in
\`/proc/PID/status\`, since the server blocks nowhere else.

$(throughput_table)

Command: \`tovrel-bench throughput --exe ... --writers 4 --mib 3\`

## 3. Idle cost

Clients are added in steps up to 1000, 5000 and 10000; after each step and
1 s of settling, nobody sends anything for 10 s while the server's CPU is
read. tovrel drops a client that has been silent for 15 s, so just before
each settling second every tovrel client sends one empty frame, which tovrel
relays to nobody. The floor, nats-server and redis-server ran three rounds
with tovrel, alternating, and each figure is the median of the runs ("runs");
ncat ran once. An idle Redis client is one subscribed connection (it needs a
second one only to publish). Memory per client is the RSS growth over the
server with no client, divided by the clients; the kernel's columns are the
growth of the machine's TCP memory over the same span (see section 5).
tovrel is started with an open-file soft limit of 1024, the usual default,
and must raise it itself; the other relays inherit the bench's limit (soft
raised to hard, $(ulimit -Hn) here).

$(idle_table)

Command: \`tovrel-bench idle --server floor|tovrel|nats|redis|ncat --exe ... --clients 1000,5000,10000 --seconds 10\`

## 4. Connection rate

The same runs as scenario 3, timed while the clients were added (median of
the runs). tovrel listens with a backlog of 5 and accepts one connection per
pass, ncat with a backlog of 10; for both the bench keeps at most 4
connections not yet accepted, and counts accepts from the server's own lines
("New client connected", or ncat -v's "Ncat: Connection from"). For the
floor, nats-server and redis-server it keeps up to 64 waiting, and counts the
floor's "accept" lines and the subscription replies of the others.

$(connect_table)

## 5. Scale: 1000 to 10000 clients

From the same idle runs as section 3, and a fan-out of 5000 and then 10000
clients, each sending in turn, 64-byte frames, 20 frames a second in all,
for 5 s (\`--runs $scale_runs\`); every receiver checks that it gets every
frame once and in order. tovrel, the floor, nats-server and redis-server
ran in three rounds, one after the other within each round, and each figure
is the median of the runs. A Redis client publishes on a second connection;
only the clients that send in a run (client k sends frame k, so at most as
many as the run has frames, 100 at 20 frames/s for 5 s) open one, so 10000
clients fit in the descriptors.

Where the idle time goes, before and after a pass visited only the clients
that are due: [profile-idle.md](profile-idle.md).

Idle CPU, ms of server CPU per second of wall time while nobody sends:

$(idle_cpu_matrix)

Memory per idle client. The server's own: its RSS growth over the server
with no client. The kernel's: the growth of the machine's TCP memory from
before the first connection to the end of each step's quiet window, divided
by the clients: buffer pages from \`/proc/net/sockstat\` ("TCP: ... mem",
pages of 4 KiB), and the TCP socket objects and their inodes in use from
\`/proc/slabinfo\` (the "TCP" and "sock_inode_cache" caches). Both count the
whole machine, so they hold **both ends** of each loopback connection (the
bench's socket and the server's), and whatever else on the machine opened
or closed TCP sockets meanwhile (the last column shows how many sockets the
machine gained: about one per client per end). The bench's end is the same
for every relay, one connection per client, so a difference between the
relays is the server's. An idle socket with nothing queued holds no buffer
pages, so the buffer column is about zero unless something else on the
machine moved; the socket objects are what an idle connection costs the
kernel (one "TCP" object and one inode object per end; $(awk '$1 == "TCP" || $1 == "sock_inode_cache" {printf "%s%s of %d bytes", sep, $1, $4; sep = " and "}' /proc/slabinfo 2>/dev/null || true) on this machine).

$(idle_memory_table)

Fan-out at 5000 and 10000 clients, server CPU per delivery and its ratio to
the floor relay's:

$(scale_fanout_table)

Time to connect all the clients of an idle run, without the quiet windows
between its steps. tovrel takes one connection per 20 ms pass, so 10000
clients take about 200 s by design; the others take every waiting
connection at once.

$(connect_time_table)

Commands: \`tovrel-bench idle --server floor|tovrel|nats|redis --exe ... --clients 1000,5000,10000 --seconds 10\`
and \`tovrel-bench fanout --server floor|tovrel|nats|redis --exe ... --runs 5000:64:20,10000:64:20 --seconds 5\`.

## 6. TLS fan-out

The fan-out of section 1 with every client on TLS: tovrel's \`--tls-port\`,
nats-server's \`--tls\` and redis-server's \`tls-port\`, each with the same
self-signed P-256 certificate made by \`openssl\` for the run; TLS 1.3 with
OpenSSL's defaults on both ends. Server CPU ms per 1000 deliveries (median
of the runs), its ratio to the same scenario in plaintext, and tovrel's to
nats-server's (the goal: at most 1 in every scenario).

$(tls_table)

Commands: \`tovrel-bench fanout --server tovrel|nats|redis --exe ... --tls CERT:KEY --runs 100:64:200,100:4096:200,1000:64:200,1000:4096:200 --seconds 3\`.

## 7. A room through Redis, and a failover

\`bench/cluster.py\`: one room served by three instances through one
redis-server, beside one instance alone, with the same clients and load;
then the room through three Sentinels (redis-server in sentinel mode) with one
replica, its primary killed a third of the way through. Each run's rows
and failover line as the script printed them:

\`\`\`
$(cat "$results/cluster.txt" 2>/dev/null || echo "not run")
\`\`\`

$("$(dirname "$0")/pace_report.sh" "$results" "$docs")
MD
} > "$out"
