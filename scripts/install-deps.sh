#!/usr/bin/env bash
# Installs the Debian packages that building and testing tovrel need.
# As root it runs apt-get; otherwise it prints the exact line to run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/build-deps.sh"

# Building the server, the .deb and the Windows .zip (scripts/build-deps.sh)
packages=("${build_deps[@]}" "${deb_deps[@]}" "${win_deps[@]}")
# Linux tests
packages+=(libgtest-dev python3 python3-pytest clang-format git)
# Windows tests, run under Wine
packages+=(wine64)
# Rooms across instances: the tests start Debian's redis-server
packages+=(redis-server)
# The rolling-restart drill (tests/drill): Debian's haproxy in front of the instances
packages+=(haproxy)
# TLS: the tests make certificates and talk TLS with the openssl program
packages+=(openssl)
# The metrics endpoint: the tests start Debian's prometheus and run promtool
packages+=(prometheus)
# WebSocket clients: a client library no one here wrote, and the chat page
# in a real headless browser
packages+=(python3-websockets chromium chromium-driver python3-selenium)
# Fuzzing, memory checks, benchmarks
packages+=(clang libclang-rt-14-dev valgrind ncat gnuplot-nox procps)
# Benchmark peers and the profiler (bench/run.sh, bench/profile.sh)
packages+=(nats-server linux-perf)
# Checking the .deb and the .zip, the systemd unit
packages+=(lintian groff man-db systemd unzip)
# The fresh-machine check (tests/fresh/check.sh) builds a new Debian root
packages+=(debootstrap)

require_packages "${packages[@]}"
