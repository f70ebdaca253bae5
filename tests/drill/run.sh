#!/usr/bin/env bash
# The rolling-restart drill in one command, with a line for every client:
#   tests/drill/run.sh [BUILD_DIR]      (default: build; built when missing)
# Needs redis-server, haproxy and python3-websockets (scripts/install-deps.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
if [ ! -x "$build/tovrel" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target tovrel
fi
python=python3
if ! "$python" -c "import websockets" 2>/dev/null && [ -x /usr/bin/python3 ]; then
    python=/usr/bin/python3
fi
exec "$python" "$root/tests/drill/drill.py" --exe "$build/tovrel" --table
