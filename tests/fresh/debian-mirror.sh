#!/usr/bin/env bash
# Prints the Debian mirror that apt's sources under APT_DIR (default
# /etc/apt) name for bookworm's main component: the mirror debootstrap makes
# a new root from. The sources are read as apt reads them: sources.list, then
# sources.list.d's *.list (one-line entries) and *.sources (deb822 stanzas)
# by name. Of the "deb" entries for suite bookworm with component main, the
# first whose URI path has a "debian" part is taken (deb.debian.org/debian, a
# country mirror, snapshot.debian.org/archive/debian/...), so that a
# third-party archive that also serves "bookworm main" is not; failing that,
# the first such entry (a local mirror). Without one it says why and exits 1.
#   tests/fresh/debian-mirror.sh [APT_DIR]
set -euo pipefail
apt_dir="${1:-/etc/apt}"
suite=bookworm
export LC_ALL=C  # sources.list.d's files in the byte order apt reads them

files=()
[ ! -f "$apt_dir/sources.list" ] || files+=("$apt_dir/sources.list")
for f in "$apt_dir"/sources.list.d/*; do
    case "$f" in
    *.list | *.sources) [ ! -f "$f" ] || files+=("$f") ;;
    esac
done
if [ ${#files[@]} -eq 0 ]; then
    echo "no apt sources in $apt_dir: neither sources.list nor sources.list.d/*.list or *.sources" >&2
    exit 1
fi

mirror="$(awk -v suite="$suite" '
    # True when the blank-separated list holds the word.
    function has(list, word,   n, i, w) {
        n = split(list, w, " ")
        for (i = 1; i <= n; i++) if (w[i] == word) return 1
        return 0
    }
    # One source entry: its types, URIs, suites and components as lists.
    function consider(types, uris, suites, components,   n, i, u, path) {
        if (!has(types, "deb") || !has(suites, suite) || !has(components, "main")) return
        n = split(uris, u, " ")
        for (i = 1; i <= n; i++) {
            if (u[i] !~ /^(https?|ftp|file):/) continue  # debootstrap reads only these
            path = u[i]
            sub(/^[a-z]+:\/\/[^\/]*/, "", path)
            if (debian == "" && path ~ /(^|\/)debian(\/|$)/) debian = u[i]
            if (other == "") other = u[i]
        }
    }
    # The deb822 stanza read so far, if any; a stanza with "Enabled: no" is skipped.
    function stanza(   k) {
        if (tolower(value["enabled"]) !~ /^[ \t]*(no|false)[ \t]*$/)
            consider(value["types"], value["uris"], value["suites"], value["components"])
        for (k in value) delete value[k]
        field = ""
    }
    FNR == 1 { stanza(); deb822 = FILENAME ~ /\.sources$/ }
    !deb822 {
        line = $0
        sub(/#.*/, "", line)
        sub(/\[[^]]*\]/, "", line)  # options such as [arch=amd64 signed-by=...]
        n = split(line, w, " ")
        if (n < 4) next
        components = ""
        for (i = 4; i <= n; i++) components = components " " w[i]
        consider(w[1], w[2], w[3], components)
        next
    }
    /^#/ { next }
    /^[ \t]*$/ { stanza(); next }
    /^[ \t]/ { if (field != "") value[field] = value[field] " " $0; next }
    {
        i = index($0, ":")
        if (i == 0) next
        field = tolower(substr($0, 1, i - 1))
        sub(/[ \t]+$/, "", field)
        value[field] = substr($0, i + 1)
    }
    END {
        stanza()
        if (debian != "") print debian
        else if (other != "") print other
    }' "${files[@]}")" || {
    echo "could not read the apt sources in $apt_dir: ${files[*]}" >&2
    exit 1
}
if [ -z "$mirror" ]; then
    echo "no \"deb\" entry for suite $suite with component main in $apt_dir: ${files[*]}" >&2
    exit 1
fi
echo "$mirror"
