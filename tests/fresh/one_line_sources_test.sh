#!/usr/bin/env bash
# tests/fresh/check.sh on a host whose apt sources are one-line entries in
# /etc/apt/sources.list only, as debootstrap writes them. In a private mount
# namespace an apt directory with that layout is bound over /etc/apt, and
# TMPDIR names a directory that does not exist, so that the check stops at
# the mktemp that would make the new root, just after the mirror look-up.
# The check must find that mirror, and its stop must name the command.
# Needs root, unshare and debootstrap; exits 77 (skipped) without them.
#   tests/fresh/one_line_sources_test.sh
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || ! command -v debootstrap >/dev/null; then
    echo "SKIPPED: needs root, unshare and debootstrap"
    exit 77
fi
# A container may refuse new mount namespaces even to root.
if ! unshare --mount --propagation private true 2>/dev/null; then
    echo "SKIPPED: this machine refuses a private mount namespace"
    exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Never contacted: the check stops before debootstrap.
mirror=http://fresh-test.invalid/debian
mkdir -p "$work/apt/sources.list.d"
printf '%s\n' "# as debootstrap writes it" "deb $mirror bookworm main" >"$work/apt/sources.list"

status=0
# shellcheck disable=SC2016 # expanded by that sh
TMPDIR="$work/missing" unshare --mount --propagation private \
    /bin/sh -c 'mount --bind "$1" /etc/apt && exec "$2"' sh "$work/apt" "$repo/tests/fresh/check.sh" \
    >"$work/out" 2>"$work/err" || status=$?

report() {
    echo "FAILED: $*"
    echo "--- status $status, standard output:"
    cat "$work/out"
    echo "--- standard error:"
    cat "$work/err"
    exit 1
}
[ "$status" -ne 0 ] || report "the check went on although TMPDIR does not exist"
grep -qF "$mirror" "$work/out" || report "the check did not name the mirror $mirror of the one-line sources.list"
grep -q '^fresh machine check: FAILED: .*mktemp' "$work/err" ||
    report "the check's stop does not name the mktemp that failed"
echo "passed: one-line sources.list gives $mirror; the stop names mktemp"
