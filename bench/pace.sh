#!/usr/bin/env bash
# The pace part of bench/run.sh alone: tovrel in both paces beside
# redis-server, nats-server and the floor, then idle CPU in both paces;
# replaces the pace section of docs/benchmarks.md and docs/bench-pace.png.
#   bench/pace.sh [build-dir]   (default: build-bench; about ten minutes)
set -euo pipefail
cd "$(dirname "$0")/.."
exec bench/run.sh "${1:-build-bench}" pace
