#!/usr/bin/env bash
# Turns the tab-separated results of bench/run.sh into docs/benchmarks.md and
# two gnuplot charts.
#   bench/report.sh RESULTS DOCS STARTED LOAD_BEFORE LOAD_AFTER
set -euo pipefail
results="$1"
docs="$2"
started="$3"
load_before="$4"
load_after="$5"
out="$docs/benchmarks.md"
mkdir -p "$docs"

fanout="$results/fanout.tsv"
idle="$results/idle.tsv"
throughput="$results/throughput.tsv"
touch "$fanout" "$idle" "$throughput"

# --- charts ------------------------------------------------------------------
latency_plot=""
for size in 64 4096; do
    curves=""
    for kind in tovrel ncat; do
        dash=1; [ "$kind" = ncat ] && dash=2
        for f in $(ls "$results"/latency-"$kind"-*-"$size"-*.tsv 2>/dev/null | sort -t- -k3,3n); do
            [ -s "$f" ] || continue
            name="$(basename "$f" .tsv)"
            IFS=- read -r _ _ n _ rate <<<"$name"
            curves+="${curves:+, }'$f' using 1:2 with lines dt $dash lw 2 title '$kind, $n clients, $rate/s'"
        done
    done
    [ -n "$curves" ] || continue
    latency_plot+="set title 'Fan-out latency, $size-byte frames'; plot $curves;"$'\n'
done
gnuplot <<GP
set terminal pngcairo size 1100,450 font 'sans,9'
set output '$docs/bench-latency.png'
set multiplot layout 1,2
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

awk -F'\t' '$1=="fanout" && $4==64 {print $2, $3, $15 > "'"$results"'/cpu-fanout-" $2 "-" $5 ".dat"}
            $1=="idle" {print $2, $3, $6 > "'"$results"'/cpu-idle-" $2 ".dat"}' "$fanout" "$idle"
for f in cpu-fanout-tovrel-200 cpu-fanout-ncat-200 cpu-fanout-tovrel-20 cpu-fanout-ncat-20 \
         cpu-idle-tovrel cpu-idle-ncat; do
    touch "$results/$f.dat"
done
gnuplot <<GP
set terminal pngcairo size 1100,450 font 'sans,9'
set output '$docs/bench-cpu.png'
set multiplot layout 1,2
set logscale x
set xlabel 'clients'
set grid
set key top left
set title 'Fan-out, 64-byte frames: server CPU per 1000 delivered frames'
set ylabel 'CPU ms'
plot '$results/cpu-fanout-tovrel-200.dat' using 2:3 with linespoints lw 2 lc 1 title 'tovrel, 200 frames/s', \
     '$results/cpu-fanout-ncat-200.dat' using 2:3 with linespoints lw 2 lc 1 dt 2 title 'ncat --broker, 200 frames/s', \
     '$results/cpu-fanout-tovrel-20.dat' using 2:3 with points pt 7 ps 1.5 lc 2 title 'tovrel, 20 frames/s', \
     '$results/cpu-fanout-ncat-20.dat' using 2:3 with points pt 6 ps 1.5 lc 2 title 'ncat --broker, 20 frames/s'
set title 'Idle clients: server CPU'
set ylabel '% of one core'
plot '$results/cpu-idle-tovrel.dat' using 2:3 with linespoints lw 2 title 'tovrel', \
     '$results/cpu-idle-ncat.dat' using 2:3 with linespoints lw 2 dt 2 title 'ncat --broker'
unset multiplot
GP

# --- tables ------------------------------------------------------------------
fanout_table() {
    awk -F'\t' '
    $1=="fanout" {k=$3 SUBSEP $4 SUBSEP $5; row[$2,k]=$0; if (!(k in seen)) {seen[k]=1; keys[++n]=k}}
    END {
        print "| clients | frame | frames/s | relay | delivered / expected | p50 ms | p99 ms | max ms | CPU ms | CPU ms per 1000 delivered | tovrel / ncat | RSS KiB | passes/s | waited for a CPU ms |"
        print "|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
        for (i = 1; i <= n; i++) {
            k = keys[i]
            split(row["ncat",k], c, "\t")
            for (s = 1; s <= 2; s++) {
                kind = s == 1 ? "tovrel" : "ncat"
                if (!((kind,k) in row)) continue
                split(row[kind,k], f, "\t")
                ratio = ""
                if (kind == "tovrel" && c[15] > 0) ratio = sprintf("%.2f", f[15] / c[15])
                passes = kind == "tovrel" ? sprintf("%.1f", f[19]) : ""
                printf "| %s | %s B | %s | %s | %s / %s | %.1f | %.1f | %.1f | %s | %.2f | %s | %s | %s | %s |\n",
                    f[3], f[4], f[5], kind, f[9], f[8], f[11], f[12], f[13], f[14], f[15], ratio, f[18], passes, f[20]
            }
        }
    }' "$fanout"
}

idle_table() {
    awk -F'\t' '
    $1=="idle" {row[$2,$3]=$0; if (!($3 in seen)) {seen[$3]=1; keys[++n]=$3}}
    $1=="connect" && $5=="failed" {failed[$2,$4]=$6}
    END {
        print "| clients | relay | CPU ms in 10 s | % of one core | tovrel / ncat | RSS KiB | RSS with no client KiB | bytes per client | all still connected |"
        print "|---:|---|---:|---:|---:|---:|---:|---:|---|"
        for (i = 1; i <= n; i++) {
            k = keys[i]
            split(row["ncat",k], c, "\t")
            for (s = 1; s <= 2; s++) {
                kind = s == 1 ? "tovrel" : "ncat"
                if ((kind,k) in failed) {
                    printf "| %s | %s | - | - | - | - | - | - | no: only %s accepted |\n", k, kind, failed[kind,k]
                    continue
                }
                if (!((kind,k) in row)) continue
                split(row[kind,k], f, "\t")
                ratio = ""
                if (kind == "tovrel" && (("ncat",k) in row)) ratio = c[5] > 0 ? sprintf("%.2f", f[5] / c[5]) : "n/a (ncat 0)"
                printf "| %s | %s | %s | %.2f | %s | %s | %s | %s | %s |\n", f[3], kind, f[5], f[6], ratio, f[8], f[9], f[10], f[11]
            }
        }
        for (key in failed) {
            split(key, p, SUBSEP)
            if (!((p[1],p[2]) in row) && !(p[2] in seen))
                printf "| %s | %s | - | - | - | - | - | - | no: only %s accepted |\n", p[2], p[1], failed[key]
        }
    }' "$idle"
}

connect_table() {
    awk -F'\t' '
    $1=="connect" && $5!="failed" {
        if (!h) {print "| relay | clients | added | seconds for these | accepted per second | seconds since the first |"; print "|---|---:|---:|---:|---:|---:|"; h=1}
        printf "| %s | %s | %d | %.2f | %.1f | %.2f |\n", $2, $4, $4-$3, $5, $6, $7
    }' "$idle"
}

throughput_table() {
    awk -F'\t' '
    $1=="throughput" {
        if (!h) {print "| direction | bytes measured | seconds | passes | passes per second | bytes per second | bytes per pass | design ceiling per pass | of ceiling | server CPU ms |"; print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"; h=1}
        printf "| %s | %s | %.2f | %s | %.1f | %s | %.0f | %s | %.1f %% | %s |\n", ($2=="reader" ? "one reader draining a backlog" : "one writer"), $3, $4, $5, $6, $7, $8, $9, $10, $11
    }' "$throughput"
}

targets_table() {
    awk -F'\t' '
    function verdict(ok) { return ok ? "met" : "**missed**" }
    FILENAME ~ /fanout/ && $1=="fanout" {k=$3 SUBSEP $4 SUBSEP $5; row[$2,k]=$0; if ($2=="tovrel" && ($3==100 || $3==1000)) keys[++n]=k}
    FILENAME ~ /idle/ && $1=="idle" && $2=="tovrel" {idle[$3]=$0}
    FILENAME ~ /idle/ && $1=="limits" && $2=="tovrel" {limits=$3}
    FILENAME ~ /idle/ && $1=="connect" && $2=="tovrel" && $5=="failed" {failedAt=$4; got=$6}
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
                if (c[15] > 0)
                    printf "| fan-out, %s: CPU per 1000 frames at most 1/4 of ncat | %.2f / %.2f ms = %.2f | %s |\n", run, f[15], c[15], f[15]/c[15], verdict(f[15] <= c[15]/4)
            }
        }
        if (1000 in idle) {
            split(idle[1000], f, "\t")
            printf "| 1000 idle clients: at most 1%% of one core | %.2f %% | %s |\n", f[6], verdict(f[6] <= 1)
            printf "| 1000 idle clients: at most 1 KiB each | %s bytes | %s |\n", f[10], verdict(f[10] <= 1024)
        }
        if (reader != "")
            printf "| one reader: at least 90%% of 65536 bytes per pass | %.1f %% | %s |\n", reader, verdict(reader >= 90)
        if (5000 in idle) {
            split(idle[5000], f, "\t")
            printf "| 5000 clients fit | all connected: %s; open-file limit (soft/hard) %s | %s |\n", f[11], limits, verdict(f[11]=="yes")
        } else if (failedAt != "")
            printf "| %d clients fit | %s accepted; open-file limit (soft/hard) %s | **missed** |\n", failedAt, got, limits
    }' "$fanout" "$idle" "$throughput"
}

cpu_model="$(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
{
cat <<MD
# Benchmarks

Written by \`bench/run.sh\`, which builds tovrel and \`tovrel-bench\` and runs
every scenario below against tovrel and against \`ncat --broker\` (Debian's
ncat, a relay that forwards each client's bytes to all the others), one
after the other on the same machine, over 127.0.0.1 only. Re-run it to
replace this page:

\`\`\`sh
bench/run.sh            # a few minutes; needs cmake, g++, gnuplot-nox and ncat
\`\`\`

## Machine and run

- Run started: $started
- CPU: $cpu_model, $(nproc) cores; $(uname -srm)
- $(ncat --version 2>&1 | head -1)
- Load before the run: \`${load_before}\`
- Load after the run: \`${load_after}\`
- The bench tool, one process with one epoll set, shares the machine with the
  server it measures. Server CPU is utime+stime from \`/proc/PID/stat\`
  (10 ms ticks) over each measured window; memory is VmRSS from
  \`/proc/PID/status\`.

## Targets

$(targets_table)

## 1. Fan-out

N clients; senders take turns (client k mod N sends frame k) at a fixed rate
for 3 s. Each frame carries its sender, a per-sender sequence number and its
send time; every receiver checks that it gets every frame of every sender
once and in order, and the latency is taken when the frame is parsed. tovrel
relays every frame to all N clients, the sender included; ncat forwards to
the N-1 others, so the expected counts differ. CPU is compared per 1000
delivered frames.

$(fanout_table)

Command: \`tovrel-bench fanout --server tovrel|ncat --exe ... --runs 10:64:200,10:4096:200,100:64:200,100:4096:200,1000:64:20,1000:4096:20,1000:64:200 --seconds 3\`
(clients:frame bytes:frames per second). "passes/s" counts tovrel's 20 ms
sleeps; below 50, each pass took longer than its sleep. "waited for a CPU"
is the time the server was ready to run but had no CPU (second field of
\`/proc/PID/schedstat\`), over the run.

How to read the misses. A frame is read in the first pass whose readiness
look sees it, up to one pass after it arrives; clients ticked before its
sender in that pass get it one pass later still. So tovrel's latency is about
two pass periods, and a pass period is 20 ms plus the pass's own work plus
any time the server waits for a CPU (the last two columns). ncat forwards at
once. On CPU, both relays pay one kernel send per receiver per batch, and
that send is nearly all of tovrel's CPU (a perf profile of tovrel at 1000
clients and 200 frames/s, taken while this bench was written, had 91 % of its
samples under send()); tovrel's batch is what arrived in
one pass (frames per second divided by passes per second), ncat's is what it
read in one go, one frame while it keeps up. Below one frame per pass there
is nothing for tovrel to batch.

![Latency distribution](bench-latency.png)

![Server CPU against clients](bench-cpu.png)

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

Clients are added in steps up to 100, 1000 and 5000; then nobody sends
anything for 10 s while the server's CPU is read. tovrel drops a client that
has been silent for 15 s, so just before each quiet window every client sends
one empty frame, which tovrel relays to nobody. Memory per client is the RSS
growth over the server with no client, divided by the clients. tovrel is
started with an open-file soft limit of 1024, the usual default, and must
raise it itself to hold 5000 clients; ncat inherits the bench's limit (soft
raised to hard).

$(idle_table)

Command: \`tovrel-bench idle --server tovrel|ncat --exe ... --clients 100,1000,5000 --seconds 10\`

## 4. Connection rate

The same runs as scenario 3, timed while the clients were added. tovrel
listens with a backlog of 5 and accepts one connection per pass, ncat with a
backlog of 10; for both the bench keeps at most 4 connections not yet
accepted, and counts accepts from the server's own lines ("New client
connected", or ncat -v's "Ncat: Connection from").

$(connect_table)
MD
} > "$out"
