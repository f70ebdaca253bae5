#!/usr/bin/env bash
# The fresh-machine check's mirror look-up (tests/fresh/debian-mirror.sh)
# against apt directories made here: one-line sources as debootstrap writes
# them, deb822 files as Debian 12's installer and cloud images write them,
# both at once, and neither. Each layout carries the entries that must not be
# picked: source packages, security, disabled stanzas, third-party archives.
#   tests/fresh/mirror_lookup_test.sh
set -euo pipefail
lookup="$(cd "$(dirname "$0")" && pwd)/debian-mirror.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

# A new apt directory for one case, with an empty sources.list.d.
layout() {
    apt="$work/$1"
    mkdir -p "$apt/sources.list.d"
}
run_lookup() {
    status=0
    "$lookup" "$apt" >"$apt.out" 2>"$apt.err" || status=$?
}
failed() {
    echo "FAILED: $(basename "$apt"): $*"
    echo "  status $status, output: $(cat "$apt.out"), errors: $(cat "$apt.err")"
    failures=$((failures + 1))
}
expect_mirror() {
    run_lookup
    if [ "$status" -ne 0 ] || [ "$(cat "$apt.out")" != "$1" ]; then
        failed "expected $1"
    else
        echo "ok: $(basename "$apt"): $1"
    fi
}
# No mirror: status 1, nothing on standard output, the reason on standard error.
expect_none() {
    run_lookup
    if [ "$status" -ne 1 ] || [ -s "$apt.out" ] || ! grep -qF "$apt" "$apt.err"; then
        failed "expected status 1 and a reason naming $apt"
    else
        echo "ok: $(basename "$apt"): none, $(head -n 1 "$apt.err")"
    fi
}

debian_sources='Types: deb
# http://snapshot.debian.org/archive/debian/20250520T000000Z
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg'

layout one-line-debootstrap
echo "deb http://ftp.de.debian.org/debian bookworm main" >"$apt/sources.list"
expect_mirror http://ftp.de.debian.org/debian

layout one-line-no-parts-dir
rmdir "$apt/sources.list.d"
echo "deb http://ftp.de.debian.org/debian bookworm main" >"$apt/sources.list"
expect_mirror http://ftp.de.debian.org/debian

layout one-line-installer
cat >"$apt/sources.list" <<'LIST'
#deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 DVD Binary-1]/ bookworm main

deb-src http://src.example.org/debian bookworm main
deb http://security.debian.org/debian-security bookworm-security main
deb [ arch=amd64 signed-by=/etc/apt/keyrings/x.gpg ] https://download.docker.com/linux/debian bookworm stable
deb [arch=amd64] https://packages.sury.org/php/ bookworm main
deb	http://mirror.example.net/debian/   bookworm   contrib main non-free-firmware # the mirror
LIST
echo "deb http://other.example.net/debian bookworm main" >"$apt/sources.list.d/z.list.disabled"
expect_mirror http://mirror.example.net/debian/

layout deb822
printf '%s\n' "$debian_sources" >"$apt/sources.list.d/debian.sources"
expect_mirror http://deb.debian.org/debian

layout deb822-noise
cat >"$apt/sources.list.d/debian.sources" <<'SOURCES'
# Disabled, source packages, then the mirror with its suites over two lines.
Types: deb
URIs: http://disabled.example.org/debian
Suites: bookworm
Components: main
Enabled: no

Types: deb-src
URIs: http://src.example.org/debian
Suites: bookworm
Components: main
   
types: deb deb-src
uris: https://snapshot.debian.org/archive/debian/20250520T000000Z
suites: bookworm-updates
  bookworm
components: contrib main
SOURCES
printf '%s\n' "Types: deb" "URIs: https://packages.sury.org/php/" "Suites: bookworm" \
    "Components: main" >"$apt/sources.list.d/a-php.sources"
expect_mirror https://snapshot.debian.org/archive/debian/20250520T000000Z

layout both-third-party-one-line
echo "deb https://packages.sury.org/php/ bookworm main" >"$apt/sources.list"
printf '%s\n' "$debian_sources" >"$apt/sources.list.d/debian.sources"
expect_mirror http://deb.debian.org/debian

layout both-debian
# apt reads sources.list first, then sources.list.d by name.
echo "deb http://ftp.fr.debian.org/debian bookworm main" >"$apt/sources.list"
printf '%s\n' "$debian_sources" >"$apt/sources.list.d/debian.sources"
expect_mirror http://ftp.fr.debian.org/debian

layout both-in-parts-dir
echo "deb http://ftp.nl.debian.org/debian bookworm main" >"$apt/sources.list.d/b.list"
printf '%s\n' "$debian_sources" >"$apt/sources.list.d/a.sources"
expect_mirror http://deb.debian.org/debian

layout local-mirror
# No path named debian: still a mirror when nothing better is listed.
echo "deb http://apt.internal.example/deb bookworm main" >"$apt/sources.list"
expect_mirror http://apt.internal.example/deb

layout neither
expect_none

layout no-main-mirror
cat >"$apt/sources.list" <<'LIST'
# deb http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm main
deb http://security.debian.org/debian-security bookworm-security main
deb https://download.docker.com/linux/debian bookworm stable
LIST
echo "deb http://deb.debian.org/debian bookworm main" >"$apt/sources.list.d/debian.list.save"
expect_none

if [ "$failures" -ne 0 ]; then
    echo "$failures case(s) failed"
    exit 1
fi
echo "passed"
