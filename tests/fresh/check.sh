#!/usr/bin/env bash
# Runs the README's commands on a brand-new Debian 12 machine: a minimal root
# made by debootstrap from the mirror apt uses here, holding a clean clone of
# the committed HEAD and nothing else. In it, run by a user other than root,
# serve.sh and package.sh deb print the apt-get line and exit 1; as root:
#   - `./scripts/serve.sh PORT` installs what the build needs, builds and
#     prints "Server is open at port PORT"; a @PING frame sent from here over
#     loopback (the chroot shares the network) is answered with @PING, and
#     SIGTERM ends the server with status 0;
#   - `scripts/package.sh deb` builds the .deb, `apt-get install
#     ./build-pkg/tovrel_*.deb` installs it and `tovrel --version` prints the
#     project's version.
# The mirror is the one the host's apt sources name, one-line or deb822
# (tests/fresh/debian-mirror.sh); on the new root, whose sources debootstrap
# writes as one line, the same look-up must find it too, so that this check
# also runs on such a machine.
# Nothing is kept between runs, so a package the scripts fail to install shows.
# It also checks that the README's apt-get line is scripts/build-deps.sh's list.
# Needs root and debootstrap; TOVREL_SKIP_FRESH=1 makes scripts/test.sh skip it.
#   tests/fresh/check.sh
set -Eeuo pipefail
# Any other command that stops the check names itself (once: in the check's
# own shell, not again in each command substitution it stopped in).
# shellcheck disable=SC2154 # set in the trap itself
trap 'stop_status=$? stop_line=$LINENO; [ "$BASHPID" != $$ ] ||
    echo "fresh machine check: FAILED: line $stop_line: \"$BASH_COMMAND\" ended with status $stop_status" >&2' ERR
repo="$(cd "$(dirname "$0")/../.." && pwd)"
serve_timeout="${TOVREL_FRESH_SERVE_TIMEOUT:-1200}"  # seconds for serve.sh to open the port
started=$SECONDS
dir=""
server_pid=""

say() { printf '== [%3d s] %s\n' $((SECONDS - started)) "$*"; }
fail() {
    echo "fresh machine check: FAILED: $*" >&2
    exit 1
}
# The last lines of a log, indented, for a failure message.
tail_of() { tail -n "${2:-40}" "$1" | sed 's/^/    /'; }

# The README's apt-get line for a new machine names the scripts' one list.
. "$repo/scripts/build-deps.sh"
expected="apt-get update && apt-get install -y --no-install-recommends ${build_deps[*]} ${deb_deps[*]}"
grep -qxF "$expected" "$repo/README.md" ||
    fail "README.md lacks the line that installs scripts/build-deps.sh's packages: $expected"

if [ "$(id -u)" -ne 0 ]; then
    echo "== SKIPPED: debootstrap and chroot need root (CI runs as root)"
    exit 0
fi
command -v debootstrap >/dev/null || fail "debootstrap is missing: scripts/install-deps.sh installs it"

# Processes whose root is the new machine: only those this check started.
chroot_pids() {
    local p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$dir" ] && echo "${p#/proc/}"
    done
    return 0
}
# Mount points at or under the new root, deepest first.
chroot_mounts() {
    awk -v d="$dir" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
cleanup() {
    local status=$? pids mounts
    trap - ERR  # what stopped the check has been named; this says its own failures
    [ -n "$dir" ] || return "$status"
    pids="$(chroot_pids)"
    if [ -n "$pids" ]; then
        # shellcheck disable=SC2086
        kill -TERM $pids 2>/dev/null || true
        sleep 1
        pids="$(chroot_pids)"
        # shellcheck disable=SC2086
        [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
    fi
    [ -z "$server_pid" ] || wait "$server_pid" 2>/dev/null || true
    rm -f "$dir".*.log
    for m in $(chroot_mounts); do
        umount "$m" 2>/dev/null || umount -l "$m" || true
    done
    mounts="$(chroot_mounts)"
    if [ -n "$mounts" ]; then
        # Never remove a tree that still reaches into the host's file systems.
        echo "fresh machine check: still mounted, $dir left in place: $mounts" >&2
        return 1
    fi
    rm -rf --one-file-system "$dir"
    say "removed $dir"
    return "$status"
}
trap cleanup EXIT
# A stop by signal still unmounts and removes the root.
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP

# The Debian mirror of the host's apt sources, in either format.
mirror="$("$repo/tests/fresh/debian-mirror.sh")" ||
    fail "no Debian mirror to make the new root from in this machine's apt sources"
say "mirror: $mirror"

# A clean clone: what is committed, nothing the work tree holds besides.
head="$(git -C "$repo" rev-parse HEAD)"
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
    echo "== note: uncommitted changes are not checked; the new machine gets $head"
fi

dir="$(realpath "$(mktemp -d "${TMPDIR:-/var/tmp}/tovrel-fresh.XXXXXX")")"
# Logs go beside the root, so that the root holds only what a machine would.
log="$dir.debootstrap.log"
chmod 755 "$dir"
say "debootstrap --variant=minbase bookworm $dir $mirror"
debootstrap --variant=minbase bookworm "$dir" "$mirror" >"$log" 2>&1 ||
    fail "debootstrap failed:
$(tail_of "$log")"
rm -f "$log"
cp /etc/resolv.conf "$dir/etc/resolv.conf"
mount -t proc proc "$dir/proc"
mount --bind /dev/pts "$dir/dev/pts"

# Where every user can read it, for the run as a user other than root.
clone=/srv/tovrel
git clone --quiet --no-hardlinks "$repo" "$dir$clone"
git -C "$dir$clone" checkout --quiet --detach "$head"
say "clone of $head in $clone"

# Run a shell command on the new machine as its root user (or as nobody),
# with a login's plain environment rather than this one's. Each step execs
# the next, so a command started in the background has the PID of what it runs.
plain_env=(/usr/bin/env -i LANG=C.UTF-8 TERM=dumb
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
in_root=(chroot "$dir" "${plain_env[@]}" HOME=/root /bin/bash -c)
as_nobody=(chroot --userspec=65534:65534 "$dir" "${plain_env[@]}" HOME=/nonexistent /bin/bash -c)

# debootstrap wrote the new machine's apt sources as one line in
# sources.list: the look-up that found the mirror here finds it there too,
# with that machine's own tools, so that the check can run on such a machine.
[ -f "$dir/etc/apt/sources.list" ] && [ -z "$(find "$dir/etc/apt/sources.list.d" -name '*.sources')" ] ||
    echo "== note: the new machine's apt sources are not one-line sources.list entries only"
root_mirror="$("${in_root[@]}" "cd $clone && tests/fresh/debian-mirror.sh" 2>&1)" ||
    fail "on the new machine, the mirror look-up failed: $root_mirror"
[ "$root_mirror" = "$mirror" ] ||
    fail "on the new machine, the mirror look-up found \"$root_mirror\", not $mirror, which debootstrap wrote there"
say "on the new machine too, the look-up finds $mirror"

# Run by another user, the scripts install nothing: they print the apt-get
# line for the missing packages (here all of them) and exit 1.
nobody_run() {
    local command="$1" line="  apt-get update && apt-get install -y --no-install-recommends $2"
    local out="$dir.nobody.log" status=0
    "${as_nobody[@]}" "cd $clone && $command" >"$out" 2>&1 || status=$?
    if [ "$status" -ne 1 ] || ! grep -qxF -- "$line" "$out"; then
        fail "as nobody, $command ended with status $status (1 expected), without the line
$line
It printed:
$(tail_of "$out")"
    fi
}
nobody_run "./scripts/serve.sh 5000" "${build_deps[*]}"
nobody_run "scripts/package.sh deb" "${build_deps[*]} ${deb_deps[*]}"
say "as nobody: serve.sh and package.sh deb print the apt-get line and exit 1"

port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
serve_log="$dir.serve.log"
say "./scripts/serve.sh $port (installs the build dependencies, builds, serves)"
"${in_root[@]}" "cd $clone && exec ./scripts/serve.sh $port" >"$serve_log" 2>&1 &
server_pid=$!
deadline=$((SECONDS + serve_timeout))
until grep -q "^Server is open at port $port\$" "$serve_log"; do
    if ! kill -0 "$server_pid" 2>/dev/null; then
        status=0
        wait "$server_pid" || status=$?
        server_pid=""
        fail "./scripts/serve.sh $port exited with status $status before \"Server is open\":
$(tail_of "$serve_log")"
    fi
    [ "$SECONDS" -lt "$deadline" ] ||
        fail "no \"Server is open at port $port\" within $serve_timeout s:
$(tail_of "$serve_log")"
    sleep 1
done
grep '^Installing the missing Debian packages:' "$serve_log" | sed 's/^/   /' || true
say "Server is open at port $port"

answered=yes
python3 - "$port" <<'EOF' || answered=no
import socket, struct, sys

sock = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
sock.sendall(struct.pack("<i", 5) + b"@PING")


def read(count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            sys.exit("connection closed after %r" % data)
        data += chunk
    return data


(length,) = struct.unpack("<i", read(4))
reply = read(length)
if reply != b"@PING":
    sys.exit("first frame %r, expected b'@PING'" % reply)
EOF
[ "$answered" = yes ] || fail "@PING was not answered with @PING. The server's output:
$(tail_of "$serve_log")"
say "@PING answered with @PING"

kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
[ "$status" -eq 0 ] || fail "the server ended with status $status on SIGTERM:
$(tail_of "$serve_log")"
say "SIGTERM: the server exited with status 0"
rm -f "$serve_log"

package_log="$dir.package.log"
say "scripts/package.sh deb"
deb="$("${in_root[@]}" "cd $clone && scripts/package.sh deb" 2>"$package_log")" ||
    fail "scripts/package.sh deb failed:
$(tail_of "$package_log")"
grep '^Installing the missing Debian packages:' "$package_log" | sed 's/^/   /' || true
say "built $deb"
"${in_root[@]}" "cd $clone && DEBIAN_FRONTEND=noninteractive apt-get install -y ./build-pkg/tovrel_*.deb" >"$package_log" 2>&1 ||
    fail "apt-get install ./build-pkg/tovrel_*.deb failed:
$(tail_of "$package_log")"
say "apt-get install ./build-pkg/tovrel_*.deb"
version="$(sed -n 's/^project(tovrel VERSION \([^ ]*\) .*/\1/p' "$repo/CMakeLists.txt")"
out="$("${in_root[@]}" "tovrel --version" 2>&1)" || fail "tovrel --version failed: $out"
[ "$out" = "tovrel $version" ] || fail "tovrel --version printed \"$out\", not \"tovrel $version\""
rm -f "$package_log"
say "tovrel --version: $out"
say "passed"
