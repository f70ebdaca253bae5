# Sourced by the scripts that run Windows builds: sets $wine to Debian's
# 64-bit Wine loader, or fails with how to install it.
wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        wine="$candidate"
        break
    fi
done
[ -n "$wine" ] || fail "Wine missing: apt-get install wine64"
