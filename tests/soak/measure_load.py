#!/usr/bin/env python3
"""Runs the attack cases of attacks.py at the sizes of docs/robustness.md
against one or more server binaries and prints one Markdown table row per
run. Loopback only; every case is bounded in time, and a case stops once the
server's RSS passes --rss-cap-mib (so an unbounded server cannot take the
machine).

  measure_load.py NAME=BINARY [NAME=BINARY ...] [--only CASE] [--repeat N]

Example: measure_load.py before=/tmp/old/tovrel after=build-rel/tovrel"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# (case, count, seconds): seconds is how long the load runs, or for the
# stalled history how long to wait after the last accept, or for the burst
# how long to wait for every answer.
RUNS = [("never-readers", k, 20) for k in (50, 200, 500, 1000)] + \
       [("full-rate", n, 20) for n in (2, 4, 8)] + \
       [("stalled-history", 1000, 25), ("burst", 1000, 60)]


def run(binary, case, count, seconds, cap):
    env = dict(os.environ, TOVREL_SERVER=binary)
    cmd = [sys.executable, os.path.join(HERE, "attacks.py"), case, "--count", str(count),
           "--seconds", str(seconds), "--rss-cap-mib", str(cap), "--report"]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        return {"case": case, "count": count, "error": out.stderr.strip().splitlines()[-1:]}
    return json.loads(out.stdout.strip().splitlines()[-1])


def row(name, r):
    drops = ", ".join(f"{k} {r[k]}" for k in ("Output overflow", "TIMEOUT",
                                               "Memory budget exceeded") if r.get(k))
    keys = [k for k in r if k not in ("case", "count", "Output overflow", "TIMEOUT",
                                      "Memory budget exceeded")]
    rest = ", ".join(f"{k} {r[k]}" for k in keys)
    return f"| {r['case']} | {r['count']} | {name} | {rest} | {drops or '-'} |"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("servers", nargs="+", help="NAME=BINARY")
    parser.add_argument("--only", help="run only this case")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--rss-cap-mib", type=int, default=3072)
    args = parser.parse_args()
    servers = [s.split("=", 1) for s in args.servers]
    print("| case | count | server | figures | drops |")
    print("|---|---|---|---|---|")
    for case, count, seconds in RUNS:
        if args.only and case != args.only:
            continue
        for _ in range(args.repeat):
            for name, binary in servers:
                print(row(name, run(binary, case, count, seconds, args.rss_cap_mib)), flush=True)


if __name__ == "__main__":
    main()
