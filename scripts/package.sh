#!/usr/bin/env bash
# Builds a package with CPack and prints its path.
#   scripts/package.sh deb [build directory, default build-pkg]
#       Release build with Debian's hardening flags: build-pkg/tovrel_VERSION_ARCH.deb
#   scripts/package.sh zip [build directory, default build-pkg-win]
#       MinGW build: build-pkg-win/tovrel-VERSION-win64.zip. A directory that
#       is already configured for MinGW (build-ci-win) is reused as it is.
# The build dependencies (scripts/build-deps.sh) are installed first when run
# as root; otherwise the apt-get line that installs them is printed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/build-deps.sh"
kind="${1:-}"
jobs=2

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

# The changelog's newest entry must be the version being packaged.
version="$(sed -n 's/^project(tovrel VERSION \([^ ]*\) .*/\1/p' "$root/CMakeLists.txt")"
changelog_version="$(sed -n '1s/^tovrel (\([^)]*\)).*/\1/p' "$root/packaging/changelog")"
[ "$version" = "$changelog_version" ] ||
    fail "packaging/changelog starts at $changelog_version, the project is $version: add an entry"

case "$kind" in
deb)
    build="$(realpath -m "${2:-$root/build-pkg}")"
    require_packages "${build_deps[@]}" "${deb_deps[@]}"
    flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVREL_BUILD_TESTS=OFF \
        -DTOVREL_WERROR=ON -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
        -DTOVREL_SYSTEMD_UNIT_DIR=/lib/systemd/system -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
    cmake --build "$build" -j"$jobs" --target tovrel tovrel-client tovrel_compressed >/dev/null
    generator=DEB
    ;;
zip)
    build="$(realpath -m "${2:-$root/build-pkg-win}")"
    require_packages "${build_deps[@]}" "${win_deps[@]}"
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DTOVREL_BUILD_TESTS=OFF -DTOVREL_WERROR=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
    fi
    grep -q '^CMAKE_TOOLCHAIN_FILE:.*mingw' "$build/CMakeCache.txt" ||
        fail "$build is not a MinGW build"
    cmake --build "$build" -j"$jobs" --target tovrel tovrel-client >/dev/null
    generator=ZIP
    ;;
*)
    fail "usage: scripts/package.sh deb|zip [build directory]"
    ;;
esac

(cd "$build" && cpack -G "$generator" >/dev/null)
case "$generator" in
DEB) ls "$build"/tovrel_"$version"_*.deb ;;
ZIP) ls "$build"/tovrel-"$version"-win64.zip ;;
esac
