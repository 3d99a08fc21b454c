#!/usr/bin/env bash
# tools/apt-deb-src.sh on both apt layouts, in scratch folders only: what it
# writes is judged by apt itself (which index files "apt-get update" would
# fetch), never by reading the files back with the script's own rules.
#   tests/tools/apt_deb_src_test.sh
# Ends with "apt-deb-src: N passed, M failed".
set -uo pipefail
tool=$(cd "$(dirname "$0")/../.." && pwd)/tools/apt-deb-src.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

check_name=apt-deb-src
. "$(dirname "$0")/../support/check.sh"

# A machine's apt folder, fresh for each case.
new_etc() {
    etc=$scratch/$1/etc/apt
    mkdir -p "$etc/sources.list.d" "$scratch/$1/state/lists/partial" \
        "$scratch/$1/cache/archives/partial"
}

# The index files apt would fetch with this folder's sources, one a line.
fetched() {
    local root=${etc%/etc/apt}
    apt-get -o Dir::Etc="$etc" -o Dir::State="$root/state" -o Dir::Cache="$root/cache" \
        -o Debug::NoLocking=1 --print-uris update 2>&1 | sed -n "s/^'\([^']*\)'.*/\1/p" | sort
}
fetches() { fetched | grep -qxF "$1"; }
fetches_no() { ! fetched | grep -q "$1"; }
# Every file of the folder with its content, to see that a run changed nothing.
snapshot() { find "$etc" -type f | sort | xargs -r tail -n +1; }

main=http://deb.debian.org/debian/dists/bookworm/main
security=http://deb.debian.org/debian-security/dists/bookworm-security/main

# --- One line per entry, as debootstrap and the Debian installer write ---------
new_etc installer
cat >"$etc/sources.list" <<'LIST'
#deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 DVD Binary-1]/ bookworm main

deb http://deb.debian.org/debian bookworm main
  deb [arch=amd64] http://deb.debian.org/debian-security bookworm-security main
deb http://deb.debian.org/debian bookworm main
LIST
check "one-line layout: nothing to fetch from source before" fetches_no 'source/Sources'
out=$("$tool" "$etc")
check "one-line layout: says what it added" test "$out" = "deb-src: added $etc/sources.list.d/debian-src.list"
check "one-line layout: apt fetches the main sources" fetches "$main/source/Sources.xz"
check "one-line layout: and the security sources, with their options" \
    fetches "$security/source/Sources.xz"
before=$(snapshot)
out=$("$tool" "$etc")
check "one-line layout: a second run finds them and writes nothing" \
    test "$out" = "deb-src: present" -a "$(snapshot)" = "$before"

# --- deb822 files, as cloud and container images have ---------------------------
new_etc deb822
cat >"$etc/sources.list.d/debian.sources" <<'SOURCES'
# From the image
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm
 bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Enabled: no
SOURCES
out=$("$tool" "$etc")
check "deb822 layout: says what it added" test "$out" = "deb-src: added $etc/sources.list.d/debian-src.sources"
check "deb822 layout: apt fetches the sources of a folded Suites field" \
    fetches "http://deb.debian.org/debian/dists/bookworm-updates/main/source/Sources.xz"
check "deb822 layout: a disabled entry stays without sources" fetches_no 'debian-security'
before=$(snapshot)
check "deb822 layout: a second run finds them and writes nothing" \
    test "$("$tool" "$etc")" = "deb-src: present" -a "$(snapshot)" = "$before"

# --- A machine that has them already ------------------------------------------
new_etc has-both
printf 'Types: deb deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\n' \
    >"$etc/sources.list.d/debian.sources"
before=$(snapshot)
check "deb-src already enabled: nothing written" \
    test "$("$tool" "$etc")" = "deb-src: present" -a "$(snapshot)" = "$before"

# --- What an interrupted older run left: an empty file of ours -----------------
new_etc leftover
echo "deb http://deb.debian.org/debian bookworm main" >"$etc/sources.list"
: >"$etc/sources.list.d/debian-src.sources"
"$tool" "$etc" >/dev/null
check "empty leftover: replaced by entries apt fetches" fetches "$main/source/Sources.xz"
check "empty leftover: gone" test ! -e "$etc/sources.list.d/debian-src.sources"

# --- Nothing to copy ---------------------------------------------------------------
new_etc empty
echo "# deb http://deb.debian.org/debian bookworm main" >"$etc/sources.list"
before=$(snapshot)
"$tool" "$etc" >/dev/null 2>&1
status=$?
check "no binary entry: fails" test "$status" -ne 0
check "no binary entry: writes nothing, no temporary file left" test "$(snapshot)" = "$before" \
    -a -z "$(find "$etc" -name '.debian-src*')"

check_summary
