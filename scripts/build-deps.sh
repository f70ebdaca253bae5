# shellcheck shell=bash disable=SC2034
# The Debian packages that building tovrel needs, in one place. Sourced by
# scripts/serve.sh, scripts/package.sh and scripts/install-deps.sh.

# Building the server and tovrel-client (libhiredis-dev gives Redis support,
# libssl-dev TLS, libwslay-dev with libssl-dev's libcrypto WebSocket
# clients; without them the build still works, with a warning).
build_deps=(cmake g++ make libcli11-dev libhiredis-dev libssl-dev libwslay-dev)
# scripts/package.sh deb, on top of build_deps: Debian's build flags and
# dpkg-shlibdeps (dpkg-dev), and the `file` program CPack's DEB generator runs.
deb_deps=(dpkg-dev file)
# scripts/package.sh zip, on top of build_deps: the MinGW-w64 cross compiler.
win_deps=(g++-mingw-w64-x86-64-posix)

# Installs those of the given packages that are missing: as root with
# apt-get, otherwise it prints the line to run and exits 1. apt-get's own
# output goes to standard error, so that a script's output stays its own.
require_packages() {
    local missing=() p status
    for p in "$@"; do
        status="$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)"
        [ "$status" = "install ok installed" ] || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages. Run as root first:" >&2
        echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing the missing Debian packages: ${missing[*]}" >&2
    # Waits for another apt-get (another clone's script) instead of failing.
    local apt=(apt-get -q -o DPkg::Lock::Timeout=600)
    DEBIAN_FRONTEND=noninteractive "${apt[@]}" update >&2
    DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >&2
}
