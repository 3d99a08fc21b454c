#!/usr/bin/env bash
# Makes apt able to fetch source packages: adds a deb-src entry for every
# enabled binary one, in whichever layout the machine uses.
#   tools/apt-deb-src.sh [APT_ETC_DIR]          (default /etc/apt)
# Prints "deb-src: present" when some deb-src entry is already enabled (then
# nothing is written), or "deb-src: added FILE" (run apt-get update next).
# Fails, writing nothing, when there is no binary entry to copy.
#
# Two layouts: the one-line sources.list (and *.list files) that the Debian
# installer and debootstrap write, and the deb822 *.sources files of cloud
# and container images. The entries go into a file of their own beside the
# others, in the same layout as their origin, and appear only when complete.
set -euo pipefail

etc=${1:-/etc/apt}
parts=$etc/sources.list.d
one_line_out=$parts/debian-src.list
deb822_out=$parts/debian-src.sources

die() { echo "apt-deb-src: $*" >&2; exit 1; }
[ -d "$etc" ] || die "no such folder: $etc"

# An empty file of ours is what an interrupted earlier version left behind;
# apt reads it as nothing, and it must not count as done.
for own in "$one_line_out" "$deb822_out"; do
    if [ -f "$own" ] && ! grep -q '[^[:space:]]' "$own"; then
        rm -f "$own"
    fi
done

list_files() { # one-line files, sources.list first
    [ ! -f "$etc/sources.list" ] || echo "$etc/sources.list"
    find "$parts" -maxdepth 1 -type f -name '*.list' 2>/dev/null | sort
}
sources_files() {
    find "$parts" -maxdepth 1 -type f -name '*.sources' 2>/dev/null | sort
}

# Enabled one-line entries of one type ("deb" or "deb-src"); "cdrom:" ones
# have no sources to offer.
one_line_entries() {
    local type=$1 file
    list_files | while read -r file; do
        awk -v type="$type" '$1 == type && $0 !~ /cdrom:/' "$file"
    done
}

# deb822 stanzas as records: "TYPES<TAB>STANZA" with the stanza's lines
# joined by \x1f. Comments are dropped, continuation lines kept; a stanza
# with "Enabled: no" is left out.
deb822_stanzas() {
    local file
    sources_files | while read -r file; do
        awk '
            function flush() {
                if (stanza != "" && enabled) print types "\t" stanza
                stanza = ""; types = ""; enabled = 1
            }
            BEGIN { enabled = 1 }
            /^[[:space:]]*#/ { next }
            /^[[:space:]]*$/ { flush(); next }
            {
                if (tolower($1) == "types:") { types = $0; sub(/^[^:]*:[[:space:]]*/, "", types) }
                if (tolower($1) == "enabled:" && tolower($2) == "no") enabled = 0
                stanza = stanza (stanza == "" ? "" : "\x1f") $0
            }
            END { flush() }' "$file"
    done
}

has_type() { # has_type "deb deb-src" deb-src
    local t
    for t in $1; do [ "$t" = "$2" ] && return 0; done
    return 1
}

# --- Already there? ----------------------------------------------------------
if [ -n "$(one_line_entries deb-src)" ]; then
    echo "deb-src: present"
    exit 0
fi
while IFS=$'\t' read -r types _; do
    if has_type "$types" deb-src; then
        echo "deb-src: present"
        exit 0
    fi
done < <(deb822_stanzas)

# --- Copy the binary entries ---------------------------------------------------
mkdir -p "$parts"
made=()
cleanup() { rm -f "${made[@]}"; }
trap cleanup EXIT

one_line=$(mktemp "$parts/.debian-src.list.XXXXXX")
made+=("$one_line")
one_line_entries deb | awk '{ sub(/^[[:space:]]*deb/, "deb-src"); print }' | awk '!seen[$0]++' >"$one_line"

deb822=$(mktemp "$parts/.debian-src.sources.XXXXXX")
made+=("$deb822")
while IFS=$'\t' read -r types stanza; do
    has_type "$types" deb || continue
    [ ! -s "$deb822" ] || echo >>"$deb822"
    tr '\037' '\n' <<<"$stanza" |
        awk 'tolower($1) == "types:" { print "Types: deb-src"; next } { print }' >>"$deb822"
done < <(deb822_stanzas)

[ -s "$one_line" ] || [ -s "$deb822" ] || die "no enabled 'deb' entry in $etc to copy"

added=()
if [ -s "$one_line" ]; then
    chmod 644 "$one_line"
    mv "$one_line" "$one_line_out"
    added+=("$one_line_out")
fi
if [ -s "$deb822" ]; then
    chmod 644 "$deb822"
    mv "$deb822" "$deb822_out"
    added+=("$deb822_out")
fi
echo "deb-src: added ${added[*]}"
