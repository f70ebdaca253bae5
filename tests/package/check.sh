#!/usr/bin/env bash
# Builds the .deb and the Windows .zip and checks them as a user meets them:
#   - the man pages are groff-clean and lintian finds nothing in the .deb;
#   - installed with dpkg (as root): /usr/bin/tovrel serves a free port,
#     tovrel-client --ping, --fast and --stats get answers, SIGHUP reloads
#     (as systemctl reload does) and it goes on, SIGTERM ends it with 0,
#     promtool finds the example scrape configuration and alert rules valid,
#     `man -w` finds both pages, the systemd unit verifies cleanly with an
#     exposure of 2.0 or less;
#   - dpkg --purge leaves no file behind;
#   - the .zip holds what it should, and tovrel.exe --version runs under Wine
#     from an unpacked copy.
#   tests/package/check.sh [MinGW build directory to reuse, default build-pkg-win]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
win_build="${1:-$root/build-pkg-win}"
work="$(mktemp -d)"
server_pid=""
installed=""

fail() {
    echo "package check: FAILED: $*" >&2
    exit 1
}
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    if [ -n "$installed" ]; then
        dpkg --purge tovrel >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "== man pages: groff -man -ww -z"
warnings="$(groff -man -ww -z "$root"/man/*.1 2>&1)"
[ -z "$warnings" ] || fail "groff warns: $warnings"

echo "== .deb"
deb="$("$root/scripts/package.sh" deb 2>/dev/null)"
version="$(dpkg-deb -f "$deb" Version)"
echo "$deb: $(dpkg-deb -f "$deb" Architecture), Depends: $(dpkg-deb -f "$deb" Depends)"
# Every tag lintian knows of, down to the informational and pedantic ones.
lintian_out="$(lintian --info --pedantic "$deb" 2>&1 | grep -v '^running with root privileges' || true)"
[ -z "$lintian_out" ] || fail "lintian: $lintian_out"
echo "lintian: no tags"

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts the installed server as the service does (bare name, in a directory
# that holds its fast-command file) and waits for its "open" line.
start_server() {
    local dir="$1" port="$2"
    shift 2
    (cd "$dir" && exec -a tovrel /usr/bin/tovrel "$port" "$@") >"$work/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 50); do
        grep -q "^Server is open at port $port\$" "$work/server.log" && return 0
        sleep 0.1
    done
    fail "tovrel did not open port $port: $(cat "$work/server.log")"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "== SKIPPED: installing the .deb needs root (CI runs as root)"
else
    echo "== dpkg --install"
    # The package is installed system-wide: a second check on this machine
    # (another clone's CI) waits here until this one has purged it.
    exec 9>/run/lock/tovrel-package-check.lock
    flock -w 900 9 || fail "another package check held the install lock for 15 minutes"
    dpkg-query -W tovrel >/dev/null 2>&1 && fail "tovrel is installed already; dpkg --purge tovrel first"
    # The package's paths that do not exist yet must be gone after the purge.
    dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' |
        while read -r path; do
            [ -e "$path" ] || echo "$path"
        done >"$work/new-paths"
    installed=yes
    dpkg --install "$deb" >/dev/null

    port="$(free_port)"
    mkdir "$work/etc"
    printf 'join #lobby\r\nlist users\r\n' >"$work/etc/fastcmd$port.txt"
    metrics_port="$(free_port)"
    # As the unit starts it: TOVREL_CONFIG names a file that does not exist.
    TOVREL_CONFIG="$work/etc/tovrel$port.toml" start_server "$work/etc" "$port" --metrics "$metrics_port"
    /usr/bin/tovrel-client --ping 2 --interval 100 "$port" >"$work/ping.log" ||
        fail "tovrel-client --ping: $(cat "$work/ping.log")"
    grep -q '^2 sent, 2 received' "$work/ping.log" || fail "ping: $(cat "$work/ping.log")"
    /usr/bin/tovrel-client --fast "$port" >"$work/fast.out" || fail "tovrel-client --fast failed"
    cmp -s "$work/fast.out" "$work/etc/fastcmd$port.txt" ||
        fail "--fast did not return the file found by the bare-name rule"
    /usr/bin/tovrel-client --stats "$metrics_port" >"$work/stats.out" ||
        fail "tovrel-client --stats failed"
    grep -q '^messages: .* 2 pings, 1 fast commands' "$work/stats.out" ||
        fail "--stats: $(cat "$work/stats.out")"
    # systemctl reload sends SIGHUP: with the file still missing it reloads
    # the command line and the server goes on.
    kill -HUP "$server_pid"
    for _ in $(seq 50); do
        grep -q '^Configuration reloaded$' "$work/server.log" && break
        sleep 0.1
    done
    grep -q '^Configuration reloaded$' "$work/server.log" ||
        fail "SIGHUP did not reload: $(cat "$work/server.log")"
    /usr/bin/tovrel-client --ping 1 --interval 100 "$port" >"$work/ping.log" ||
        fail "tovrel-client --ping after SIGHUP: $(cat "$work/ping.log")"
    kill -TERM "$server_pid"
    status=0
    wait "$server_pid" || status=$?
    server_pid=""
    [ "$status" -eq 0 ] || fail "tovrel ended with status $status after SIGTERM"
    echo "tovrel on port $port: ping, fast commands and stats answered, SIGHUP reloads, SIGTERM ends it with status 0"
    [ "$(/usr/bin/tovrel --version)" = "tovrel $version" ] || fail "tovrel --version is not \"tovrel $version\""
    [ "$(/usr/bin/tovrel-client --version)" = "tovrel-client $version" ] ||
        fail "tovrel-client --version is not \"tovrel-client $version\""

    for page in tovrel tovrel-client; do
        [ "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] || fail "man -w $page"
    done
    echo "man -w: both pages found"

    examples=/usr/share/doc/tovrel/examples
    promtool check config "$examples/prometheus-tovrel.yml" >"$work/promtool.log" 2>&1 ||
        fail "promtool check config: $(cat "$work/promtool.log")"
    promtool check rules "$examples/tovrel-alerts.yml" >"$work/promtool.log" 2>&1 ||
        fail "promtool check rules: $(cat "$work/promtool.log")"
    echo "promtool: the example scrape configuration and alert rules are valid"

    echo "== systemd unit"
    unit=/lib/systemd/system/tovrel@.service
    # The program named bare in /etc/tovrel, as the server run above was.
    grep -qx 'ExecStart=@/usr/bin/tovrel tovrel $TOVREL_OPTIONS %i' "$unit" &&
        grep -qx 'WorkingDirectory=/etc/tovrel' "$unit" ||
        fail "$unit does not start /usr/bin/tovrel by bare name in /etc/tovrel"
    grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" &&
        grep -qx 'Environment=TOVREL_CONFIG=/etc/tovrel/tovrel%i.toml' "$unit" ||
        fail "$unit does not reload with SIGHUP, with a configuration file always named"
    verify="$(systemd-analyze verify "$unit" 2>&1)" || fail "systemd-analyze verify: $verify"
    [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
    security="$(systemd-analyze security --offline=yes --threshold=20 "$unit" 2>&1)" ||
        fail "systemd-analyze security: $(tail -n 1 <<<"$security")"
    grep 'Overall exposure level' <<<"$security"

    echo "== dpkg --purge"
    dpkg --purge tovrel >/dev/null
    installed=""
    left="$(while read -r path; do [ ! -e "$path" ] || echo "$path"; done <"$work/new-paths")"
    [ -z "$left" ] || fail "dpkg --purge left behind: $left"
    [ ! -e /etc/tovrel ] || fail "dpkg --purge left /etc/tovrel behind"
    ! dpkg-query -W tovrel >/dev/null 2>&1 || fail "dpkg still knows tovrel after --purge"
    ! ls /var/lib/dpkg/info/tovrel.* >/dev/null 2>&1 || fail "dpkg --purge left /var/lib/dpkg/info/tovrel.*"
    echo "nothing left behind ($(wc -l <"$work/new-paths") paths gone)"
fi

echo "== Windows .zip"
zip="$("$root/scripts/package.sh" zip "$win_build")"
listing="$(unzip -Z1 "$zip" | sort)"
echo "$listing"
top="tovrel-$version-win64"
expected="$(printf '%s\n' "$top/LICENSE.txt" "$top/README.md" "$top/fastcmd5000.txt" \
    "$top/tovrel-client.exe" "$top/tovrel.exe" | sort)"
[ "$listing" = "$expected" ] || fail "the .zip should hold exactly: $expected"
unzip -q "$zip" -d "$work/zip"

. "$root/tests/windows/find-wine.sh"
# The build's own Wine prefix when the Windows stage made one.
export WINEDEBUG=-all WINEPREFIX="$win_build/wineprefix"
[ -d "$WINEPREFIX/drive_c/windows" ] || WINEPREFIX="$work/wineprefix"
run_exe() { (cd "$work/zip/$top" && "$wine" "$@" 2>/dev/null | tr -d '\r') || true; }
exe_version="$(run_exe tovrel.exe --version)"
# Wine now and then fails to start a program at all: one more try then.
[ -n "$exe_version" ] || exe_version="$(run_exe tovrel.exe --version)"
"$(dirname "$wine")/wineserver" -k 2>/dev/null || true
[ "$exe_version" = "tovrel $version" ] ||
    fail "tovrel.exe --version under Wine printed \"$exe_version\", not \"tovrel $version\""
echo "tovrel.exe --version under Wine: $exe_version"

echo "== packages: passed"
