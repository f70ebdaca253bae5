#!/usr/bin/env bash
# Builds tovrel (and tovrel-client) and starts the server on the given port (default 5000).
set -euo pipefail
cd "$(dirname "$0")/.."
port="${1:-5000}"

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
    else
        echo "Run as root first: apt-get update && apt-get install -y ${need[*]}" >&2
        exit 1
    fi
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTOVREL_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2 --target tovrel tovrel-client >/dev/null
exec ./build/tovrel "$port"
