#!/usr/bin/env python3
"""The results of bench/run.sh's pace part as Markdown: per scenario and
server, the median over the rounds of p50 and p99 latency (ms) and server CPU
per 1000 deliveries (ms), each with its spread, and what was delivered; then
idle CPU in both paces.
    bench/pace_table.py RESULTS_DIR
With --points, writes the medians instead for the chart, one file per server
(RESULTS_DIR/pace-points-N.dat: CPU, p50, p99, "clients:bytes:frames/s"),
and prints one line per file: FILE, a tab, the server's title.
    bench/pace_table.py --points RESULTS_DIR"""
import os
import statistics
import sys
from collections import OrderedDict

PACES = ("default", "low-latency")


def server_title(label):
    # tovrel's label carries its extra arguments ("tovrel+accepts-per-pass+50
    # +low-latency"); only the pace tells its two rows apart.
    name, *args = label.split("+")
    if name != "tovrel":
        return label
    return "tovrel --low-latency" if "low-latency" in args else "tovrel (default)"


def cpu_per_1000(c):
    # schedstat (all threads) where the kernel has it, else clock ticks
    return float(c[16]) if float(c[15]) > 0 else float(c[14])


def cell(values, digits=2):
    med = statistics.median(values)
    return f"{med:.{digits}f} ({min(values):.{digits}f}–{max(values):.{digits}f})"


def fanout_runs(results):
    """(clients, bytes, rate) -> server title -> rows, in the order they ran."""
    runs = OrderedDict()
    with open(os.path.join(results, "pace.tsv")) as f:
        for line in f:
            c = line.rstrip("\n").split("\t")
            if c[0] != "fanout":
                continue
            scenario = (int(c[2]), int(c[3]), int(c[4]))
            runs.setdefault(scenario, OrderedDict()).setdefault(server_title(c[1]), []).append(c)
    return OrderedDict(sorted(runs.items()))


def print_table(results):
    print("| scenario | server | p50 ms | p99 ms | CPU ms / 1000 deliveries | delivered / expected |")
    print("|---|---|---:|---:|---:|---:|")
    for (n, size, rate), servers in fanout_runs(results).items():
        for title, rows in servers.items():
            p50 = [float(r[10]) for r in rows]
            p99 = [float(r[11]) for r in rows]
            cpu = [cpu_per_1000(r) for r in rows]
            delivered = sum(int(r[8]) for r in rows)
            expected = sum(int(r[7]) for r in rows)
            print(f"| {n} × {size} B × {rate}/s | {title} | {cell(p50)} | {cell(p99)} | "
                  f"{cell(cpu)} | {delivered} / {expected} |")
    idle = []
    for pace in PACES:
        path = os.path.join(results, f"pace-idle-{pace}.tsv")
        if os.path.exists(path):
            with open(path) as f:
                idle += [(pace, line.rstrip("\n").split("\t")) for line in f if line.startswith("idle\t")]
    if not idle:
        return
    print()
    print("| pace | idle clients | idle CPU ms/s | all still connected |")
    print("|---|---:|---:|---|")
    for pace, c in idle:
        ms = float(c[6]) if float(c[6]) > 0 else float(c[4])
        print(f"| {pace} | {c[2]} | {ms / float(c[3]):.2f} | {c[10]} |")


def write_points(results):
    files = OrderedDict()
    for (n, size, rate), servers in fanout_runs(results).items():
        for title, rows in servers.items():
            cpu = statistics.median(cpu_per_1000(r) for r in rows)
            p50 = statistics.median(float(r[10]) for r in rows)
            p99 = statistics.median(float(r[11]) for r in rows)
            files.setdefault(title, []).append(f'{cpu:.3f} {p50:.3f} {p99:.3f} "{n}:{size}:{rate}"\n')
    for i, (title, lines) in enumerate(files.items(), 1):
        path = os.path.join(results, f"pace-points-{i}.dat")
        with open(path, "w") as f:
            f.writelines(lines)
        print(f"{path}\t{title}")


if __name__ == "__main__":
    if sys.argv[1] == "--points":
        write_points(sys.argv[2])
    else:
        print_table(sys.argv[1])
