#!/usr/bin/env bash
# Profiles tovrel in one fan-out scenario (default 1000 clients x 4096 B x
# 200/s) with Linux perf, attached by tovrel-bench to the server it started
# for exactly the measured window, and writes docs/profile-LABEL.md: the
# run's figures, perf stat counts, and where the samples fell (self and
# inclusive). Without a working perf it falls back to valgrind's callgrind,
# which counts instructions instead of sampling time.
#   bench/profile.sh LABEL [build-dir] [clients:bytes:rate] [seconds]
#   e.g. bench/profile.sh before; bench/profile.sh after
# TOVREL_PROFILE_REUSE=1 rewrites the page from the data of the last run.
set -euo pipefail
cd "$(dirname "$0")/.."
label="${1:?usage: bench/profile.sh LABEL [build-dir] [clients:bytes:rate] [seconds]}"
build="${2:-build-bench}"
run="${3:-1000:4096:200}"
seconds="${4:-3}"
out="docs/profile-$label.md"
dir="$build/profile-$label"

IFS=: read -r n size rate <<<"$run"
name="tovrel-$n-$size-$rate"
# Sampling needs only the cpu-clock software event; many virtual machines
# offer no hardware counters (perf stat -e instructions says <not supported>).
tool=callgrind
perf stat -e task-clock true >/dev/null 2>&1 && tool=perf

# Builds, runs the scenario under the profiler and notes when and on what.
measure() {
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVREL_WERROR=ON >/dev/null
    cmake --build "$build" -j2 --target tovrel tovrel-bench >/dev/null
    rm -rf "$dir"
    mkdir -p "$dir"
    local bench="$build/bench/tovrel-bench"
    local tovrel
    tovrel="$(cd "$build" && pwd)/tovrel"
    started="$(date -u '+%Y-%m-%d %H:%M UTC')"
    load_before="$(uptime)"
    commit="$(git rev-parse --short HEAD)"
    if [ "$tool" = perf ]; then
        "$bench" fanout --server tovrel --exe "$tovrel" --runs "$run" --seconds "$seconds" \
            --perf-dir "$dir" --out "$dir/fanout.tsv" || true
    else
        local wrapper="$dir/tovrel-under-callgrind"
        printf '#!/bin/sh\nexec valgrind --tool=callgrind --callgrind-out-file=%s/callgrind.out "%s" "$@"\n' \
            "$(cd "$dir" && pwd)" "$tovrel" >"$wrapper"
        chmod +x "$wrapper"
        "$bench" fanout --server tovrel --exe "$wrapper" --runs "$run" --seconds "$seconds" \
            --out "$dir/fanout.tsv" || true
    fi
    load_after="$(uptime)"
    declare -p started load_before load_after commit >"$dir/when"
}

if [ "${TOVREL_PROFILE_REUSE:-0}" = 1 ] && [ -s "$dir/when" ]; then
    . "$dir/when"
else
    measure
fi

# "  12.34%  [k] symbol" lines of perf report as table rows.
# awk reads to the end (no head): a closed pipe would fail the script.
perf_rows() {
    awk -v most="$1" '/^ +[0-9.]+%/ && shown++ < most {
        pct=$1; rest=""
        for (i = 2; i <= NF; i++) rest = rest (i > 2 ? " " : "") $i
        gsub(/\|/, "\\|", rest)
        printf "| %s | `%s` |\n", pct, rest
    }'
}
perf_children_rows() {
    awk -v most="$1" '/^ +[0-9.]+% +[0-9.]+%/ && shown++ < most {
        rest=""
        for (i = 3; i <= NF; i++) rest = rest (i > 3 ? " " : "") $i
        gsub(/\|/, "\\|", rest)
        printf "| %s | %s | `%s` |\n", $1, $2, rest
    }'
}

{
    echo "### Profile \"$label\": tovrel, $n clients x $size B x $rate/s"
    echo
    echo "Taken by \`bench/profile.sh $label\` ($tool) at $started on $commit"
    echo "($(git log -1 --format=%s "$commit" | cut -c1-80)). Load before: \`$load_before\`; after: \`$load_after\`."
    echo "The profiler's own work slows the server, so these runs' figures are not the benchmark's."
    echo
    awk -F'\t' '$1=="fanout" {
        printf "Run: %s of %s delivered (%.1f %%), p50 %.1f ms, p99 %.1f ms, server CPU %.0f ms (%.2f ms per 1000), RSS at the end %d KiB, %.1f passes/s.\n",
            $9, $8, 100*$9/$8, $11, $12, $16, $17, $18, $19 }' "$dir/fanout.tsv"
    echo
    if [ "$tool" = perf ]; then
        data="$dir/perf-$name.data"
        echo '```'
        grep -E '^ +[0-9]' "$dir/perf-$name.stat.txt" | sed 's/  */ /g'
        echo '```'
        echo
        echo "Self time by shared object:"
        echo
        echo "| samples | object |"
        echo "|---:|---|"
        perf report -i "$data" --stdio --no-children --sort dso 2>/dev/null | perf_rows 8
        echo
        echo "Self time by function (top 25):"
        echo
        echo "| samples | function |"
        echo "|---:|---|"
        perf report -i "$data" --stdio --no-children --sort sym -g none 2>/dev/null | perf_rows 25
        echo
        echo "Inclusive time (callers included, top 30):"
        echo
        echo "| with callees | self | function |"
        echo "|---:|---:|---|"
        perf report -i "$data" --stdio --children --sort sym -g none 2>/dev/null |
            perf_children_rows 30
    else
        echo '```'
        callgrind_annotate --inclusive=yes "$dir/callgrind.out" 2>/dev/null | awk 'NR <= 40'
        echo '```'
    fi
} >"$out"
echo "profile.sh: wrote $out (raw data in $dir)" >&2
