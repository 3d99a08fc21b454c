#!/usr/bin/env bash
# Runs a command against a wine prefix that cannot reach this machine's real
# serial devices, making the prefix first if needed.
#   WINEPREFIX=/tmp/plemo-wine tools/wine-env.sh [--com[-later] N=PATH]... COMMAND [ARG...]
#   e.g.  wine-env.sh wine prog.exe
#         wine-env.sh --com 5=/dev/pts/7 sh -c 'wineserver -p; wine t.exe; wineserver -k'
# --com N=PATH links COMN (N >= 5) to PATH, a pty of the test; nothing under
# /dev/ttyS*, /dev/ttyUSB* or /dev/ttyACM* is accepted; the link goes when
# the call returns. --com-later N=PATH likewise for a PATH that COMMAND makes
# (a cartridge plugged in during the call): until then COMN is not there.
# Several calls may share one wineserver session (e.g. "wineserver -p" in
# the first); the first call of a session starts with no COM links at all.
#
# Why the care: a fresh prefix links com1..com4 to /dev/ttyS0..3, and
# /dev/ttyS0 is this machine's console; wine also re-creates such links for
# every serial device it finds each time it starts a prefix, and a program
# that looks for ports opens every \\.\COMn. So COMMAND runs in a private
# mount namespace in which every real serial device is /dev/null: a COM name
# that still reaches one gets a non-tty and fails to open as a port. The
# wineserver, which does the actual open(), must be started inside that
# namespace too, so a server of this prefix left running from elsewhere is
# stopped first. Needs root (unshare -m).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-/tmp/plemo-wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
# No Mono or Gecko: their install dialogs would wait for a click forever.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

die() { echo "wine-env: $*" >&2; exit 2; }

is_real_serial() {
    local target
    target=$(readlink -m "$1")
    case "$target" in
        /dev/ttyS*|/dev/ttyUSB*|/dev/ttyACM*) return 0 ;;
    esac
    return 1
}

# The machine's real serial devices, each once, as the paths they resolve
# to. A name under /dev that is a link to something else (a test links a
# cartridge's pty as /dev/ttyACM<n>, and a test that was killed leaves such a
# link behind, later leading to someone else's pty) is no serial device:
# hiding what it leads to would hide that pty, and a test's COM port with it.
real_serial_devices() {
    local t target
    for t in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
        [ -e "$t" ] || continue
        target=$(readlink -f "$t")
        is_real_serial "$target" && echo "$target"
    done | sort -u
}

# Runs "$@" with every real serial device hidden behind /dev/null. The guard
# fails closed: if a bind mount fails, nothing runs.
guarded() {
    local devices
    devices=$(real_serial_devices)
    # shellcheck disable=SC2016 # the inner shell expands its own variables
    unshare -m --propagation private sh -ec '
        devices=$1
        shift
        for t in $devices; do
            mount --bind /dev/null "$t"
        done
        exec "$@"' guard "$devices" "$@"
}

# Drops COM links: all of them when a session starts (one left from an
# earlier test may lead to a pty number now used by someone's terminal), else
# those to real devices, which wine re-creates whenever it starts a prefix.
unlink_ports() {
    local link
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [ -L "$link" ] || continue
        if [ "$1" = all ] || is_real_serial "$link"; then
            rm -f "$link"
        fi
    done
}

# The wineserver of a prefix works in a folder server-DEV-INODE (the prefix's
# device and inode in hex) under /tmp/.wine-UID, or under a random
# /tmp/wine-XXXXXX with Debian's wine: that finds it without guessing by name.
server_pids() {
    [ -d "$WINEPREFIX" ] || return 0
    local dir proc cwd
    dir="server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")"
    for proc in /proc/[0-9]*; do
        cwd=$(readlink "$proc/cwd" 2>/dev/null) || continue
        case "$cwd" in
            /tmp/.wine-*/"$dir"|/tmp/wine-*/"$dir") echo "${proc#/proc/}" ;;
        esac
    done
}

# A wineserver of this prefix started outside the guard (a plain "wine" run
# by hand) would open devices unguarded, and every later command would use
# it: such a server is stopped. One inside a guard is left running, so that
# several commands can share a session. Only real devices count: the program
# tests link a cartridge's pty as /dev/ttyACM<n> for a few seconds, and such
# a link, made after the session began, is no sign of an unguarded server.
stop_unguarded_server() {
    local pid t
    for pid in $(server_pids); do
        for t in $(real_serial_devices); do
            if ! grep -q " $t " "/proc/$pid/mountinfo" 2>/dev/null; then
                echo "wine-env: stopping unguarded wineserver $pid" >&2
                guarded wineserver -k >/dev/null 2>&1 || true
                return 0
            fi
        done
    done
}

make_prefix() {
    [ -f "$WINEPREFIX/.plemo-safe" ] && return 0
    echo "wine-env: making wine prefix $WINEPREFIX" >&2
    mkdir -p "$WINEPREFIX"
    # No display: wineboot must not open windows that nobody can close.
    guarded env -u DISPLAY wine wineboot --init >/dev/null 2>&1 </dev/null
    guarded wineserver -w
    unlink_ports all
    # Debian's wine does not find its own fonts: without Tahoma the dialogs
    # come out in a serif font.
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/tahoma*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    touch "$WINEPREFIX/.plemo-safe"
}

[ "$(id -u)" -eq 0 ] || die "needs root: wine runs in a private mount namespace"
command -v wine >/dev/null || "$here/install-deps.sh" windows >&2

ports=()
declare -A later=() # the --com-later ones, by their N=PATH
while [ $# -gt 0 ]; do
    case "$1" in
        --com) [ $# -ge 2 ] || die "--com needs N=PATH"; ports+=("$2"); shift 2 ;;
        --com=*) ports+=("${1#--com=}"); shift ;;
        --com-later) [ $# -ge 2 ] || die "--com-later needs N=PATH"; ports+=("$2"); later[$2]=1; shift 2 ;;
        --com-later=*) ports+=("${1#--com-later=}"); later[${1#--com-later=}]=1; shift ;;
        --) shift; break ;;
        -*) die "unknown option $1" ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || die "usage: wine-env.sh [--com[-later] N=PATH]... COMMAND [ARG...]"
for port in "${ports[@]}"; do
    number=${port%%=*}
    path=${port#*=}
    # Wine numbers the machine's own serial devices from COM1 at each start,
    # replacing links from COM1 up: the test's ports stay above them.
    if ! [[ "$number" =~ ^[0-9]+$ ]] || [ "$number" -lt 5 ] || [ "$number" -gt 256 ]; then
        die "COM number in '$port' must be 5..256"
    fi
    if [ -n "${later[$port]:-}" ]; then
        [ -d "$(dirname "$path")" ] || die "COM$number: no folder for $path"
    else
        [ -e "$path" ] || die "COM$number: $path does not exist"
    fi
    is_real_serial "$path" && die "COM$number: refusing a real serial device ($path)"
done

stop_unguarded_server
make_prefix
if [ -z "$(server_pids)" ]; then
    unlink_ports all
else
    unlink_ports real
fi
for port in "${ports[@]}"; do
    ln -sfn "${port#*=}" "$WINEPREFIX/dosdevices/com${port%%=*}"
done

status=0
guarded "$@" || status=$?
# Wine has put its links to the real devices back meanwhile, and this call's
# ptys are about to go: leave no link for a later run to follow.
unlink_ports real
for port in "${ports[@]}"; do
    rm -f "$WINEPREFIX/dosdevices/com${port%%=*}"
done
exit "$status"
