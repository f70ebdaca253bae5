#!/usr/bin/env bash
# Installs the Debian packages that building and testing tovrel need.
# As root it runs apt-get; otherwise it prints the exact line to run.
set -euo pipefail

# Build and Linux tests
packages=(cmake g++ make libgtest-dev libcli11-dev libhiredis-dev python3 python3-pytest clang-format git)
# Windows build, run under Wine
packages+=(g++-mingw-w64-x86-64-posix wine64)
# Rooms across instances: the tests start Debian's redis-server
packages+=(redis-server)
# Fuzzing, memory checks, benchmarks
packages+=(clang libclang-rt-14-dev valgrind ncat gnuplot-nox procps)
# Benchmark peers and the profiler (bench/run.sh, bench/profile.sh)
packages+=(nats-server linux-perf)
# Packages: building and checking the .deb and the .zip, the systemd unit
packages+=(dpkg-dev lintian groff man-db systemd unzip)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Run as root:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
