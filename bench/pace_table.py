#!/usr/bin/env python3
"""Prints bench/pace.sh's results as Markdown: per scenario and server, the
median over the rounds of p50 and p99 latency (ms) and server CPU per 1000
deliveries (ms), each with its spread, and what was delivered; then idle CPU
with 5000 idle clients in both paces.
    bench/pace_table.py RESULTS_DIR"""
import os
import statistics
import sys
from collections import OrderedDict


def cell(values, digits=2):
    med = statistics.median(values)
    return f"{med:.{digits}f} ({min(values):.{digits}f}–{max(values):.{digits}f})"


def main(results):
    rows = OrderedDict()
    with open(os.path.join(results, "pace.tsv")) as f:
        for line in f:
            c = line.rstrip("\n").split("\t")
            if c[0] != "fanout":
                continue
            key = (int(c[2]), int(c[3]), int(c[4]), c[1])
            rows.setdefault(key, []).append(c)
    print("| scenario | server | p50 ms | p99 ms | CPU ms / 1000 deliveries | delivered |")
    print("|---|---|---:|---:|---:|---:|")
    for (n, size, rate, label) in sorted(rows, key=lambda k: (k[0], k[1], k[2])):
        runs = rows[(n, size, rate, label)]
        p50 = [float(r[10]) for r in runs]
        p99 = [float(r[11]) for r in runs]
        cpu = [float(r[16]) for r in runs]
        delivered = sum(int(r[8]) for r in runs)
        expected = sum(int(r[7]) for r in runs)
        print(f"| {n} × {size} B × {rate}/s | {label} | {cell(p50)} | {cell(p99)} | "
              f"{cell(cpu)} | {delivered}/{expected} |")
    print()
    print("| pace | idle CPU ms/s with 5000 idle clients |")
    print("|---|---:|")
    for pace in ("default", "low-latency"):
        path = os.path.join(results, f"pace-idle-{pace}.tsv")
        if not os.path.exists(path):
            continue
        with open(path) as f:
            for line in f:
                c = line.rstrip("\n").split("\t")
                if c[0] == "idle":
                    print(f"| {pace} | {float(c[6]) / float(c[3]):.2f} |")


if __name__ == "__main__":
    main(sys.argv[1])
