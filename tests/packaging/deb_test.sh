#!/usr/bin/env bash
# The Debian package as a user and a distribution's checker get it: unpacked
# with dpkg -x, its files where the freedesktop and Debian rules want them,
# its menu entry, AppStream file and manual pages valid, lintian silent, and
# the installed program starting.
#   tests/packaging/deb_test.sh PACKAGE.deb
# Ends with "package: N passed, M failed".
set -uo pipefail
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: $0 PACKAGE.deb" >&2; exit 2; }
deb=$(realpath "$1")
repo=$(cd "$(dirname "$0")/../.." && pwd)
check_name=package
. "$repo/tests/support/check.sh"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"

version=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
id=org.plemo.UploadUtility
field() { dpkg-deb -f "$deb" "$1"; }

check "named plemo-upload, version $version" \
    test "$(field Package) $(field Version)" = "plemo-upload $version"
depends_on() { field Depends | tr ',' '\n' | grep -q "^ *$1\( \|$\)"; }
check "depends on the Qt libraries it links (found by dpkg-shlibdeps)" depends_on libqt6widgets6
check "depends on libudev, whose monitor tells plemo-flash's station of new ports" depends_on libudev1
check "depends on Qt's platform plugins, which no library names" depends_on qt6-qpa-plugins

# --- The files -------------------------------------------------------------------
# Each program and the folder of its sources, where its manual page is.
declare -A source_dir=([plemo-upload]=ui [plemo-cartsim]=sim)
[ ! -x "$repo/build/cli/plemo-flash" ] || source_dir[plemo-flash]=cli
expected_files() {
    local program size
    for program in "${!source_dir[@]}"; do
        echo "usr/bin/$program"
        [ ! -f "$repo/${source_dir[$program]}/$program.1" ] || echo "usr/share/man/man1/$program.1.gz"
    done
    echo "usr/share/applications/$id.desktop"
    echo "usr/share/metainfo/$id.metainfo.xml"
    echo "usr/share/icons/hicolor/scalable/apps/$id.svg"
    for size in 16 24 32 48 64 128 256; do
        echo "usr/share/icons/hicolor/${size}x$size/apps/$id.png"
    done
    echo usr/share/doc/plemo-upload/copyright
    echo usr/share/doc/plemo-upload/changelog.gz
}
layout_is_as_expected() {
    diff <(expected_files | sort) <(cd "$root" && find . -type f -printf '%P\n' | sort) >&2
}
check "holds exactly the programs, manual pages, menu entry, icons and docs" layout_is_as_expected

png_sizes_match_folders() {
    local png size
    for png in "$root"/usr/share/icons/hicolor/*x*/apps/$id.png; do
        size=$(basename "$(dirname "$(dirname "$png")")")
        [ "$(identify -format '%wx%h' "$png")" = "$size" ] || { echo "$png is not $size" >&2; return 1; }
    done
}
check "each PNG icon has the size of its folder" png_sizes_match_folders

# --- What the desktop reads ------------------------------------------------------------
desktop=$root/usr/share/applications/$id.desktop
check "desktop-file-validate accepts the menu entry" desktop-file-validate "$desktop"
entry_is_the_program() {
    grep -qx 'Name=Plemo Upload Utility' "$desktop" &&
        grep -qx 'Categories=Development;Electronics;' "$desktop" &&
        grep -qx 'Exec=plemo-upload' "$desktop" && grep -qx "Icon=$id" "$desktop"
}
check "the entry starts plemo-upload, with its icon, under Development and Electronics" \
    entry_is_the_program
quietly() { # a checker's praise is not shown, its complaints are
    local out
    out=$("$@" 2>&1) || { echo "$out" >&2; return 1; }
}
check "appstreamcli validates the metainfo" \
    quietly appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml"

# --- Debian's own checker ------------------------------------------------------------------
lintian_is_silent() {
    local out
    out=$(lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root privileges')
    [ -z "$out" ] || { echo "$out" >&2; return 1; }
}
check "lintian reports no error and no warning" lintian_is_silent

# --- The programs, as installed ----------------------------------------------------------------
# No command-line options: started, the dialog stays up until closed. Three
# seconds alive on the offscreen platform, with no complaint on stderr (but
# the offscreen platform's own note that it has no window manager to ask),
# means it found its libraries and plugins and made its window.
starts_offscreen() {
    local status=0
    mkdir -m 700 "$root/runtime"
    XDG_RUNTIME_DIR=$root/runtime QT_QPA_PLATFORM=offscreen \
        timeout 3 "$root/usr/bin/plemo-upload" 2>"$root/stderr" || status=$?
    grep -v 'does not support propagateSizeHints' "$root/stderr" >"$root/complaints"
    [ "$status" -eq 124 ] && [ ! -s "$root/complaints" ] || { cat "$root/stderr" >&2; return 1; }
}
check "the installed plemo-upload starts offscreen and stays up" starts_offscreen
check "the installed plemo-cartsim answers --help" \
    sh -c '"$1" --help | grep -q "^Usage: plemo-cartsim"' sh "$root/usr/bin/plemo-cartsim"

pages_render() {
    local page out
    for page in "$root"/usr/share/man/man1/*.1.gz; do
        out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$out" ] || { echo "$page: $out" >&2; return 1; }
        LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^NAME' || return 1
    done
}
check "every manual page renders without a warning" pages_render

check_summary
