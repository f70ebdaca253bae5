#!/usr/bin/env bash
# Builds tovrel (and tovrel-client) and starts the server on the given port (default 5000).
# The build dependencies (scripts/build-deps.sh) are installed first when run
# as root; otherwise the apt-get line that installs them is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
port="${1:-5000}"

. scripts/build-deps.sh
require_packages "${build_deps[@]}"

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTOVREL_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2 --target tovrel tovrel-client >/dev/null
exec ./build/tovrel "$port"
