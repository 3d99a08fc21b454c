#!/usr/bin/env bash
# Runs a Windows GUI program under wine on a private X display, with the
# serial guard of wine-env.sh, takes a screenshot once its window shows, and
# returns the program's exit code.
#   tools/run-wine-gui.sh [--com N=PATH]... [--shot FILE] [--drive CMD]
#                          [--timeout SECS] PROGRAM.exe [ARG...]
# --shot FILE    screenshot (png) of the whole screen once a window is mapped
# --drive CMD    run CMD (through sh, with DISPLAY set and PLEMO_WINDOW = the
#                window's X id) after the screenshot, e.g. xdotool clicks; if
#                it fails, the program is stopped and the exit code is 1
# --timeout SECS how long the program may run in all (default 60); after it
#                the program is stopped and the exit code is 124
# WINEPREFIX as for wine-env.sh (default /tmp/plemo-wine). There is no window
# manager on the display, so the picture has no title bar.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)

die() { echo "run-wine-gui: $*" >&2; exit 2; }

com_args=()
shot=""
drive=""
timeout_s=60
while [ $# -gt 0 ]; do
    case "$1" in
        --com) [ $# -ge 2 ] || die "--com needs N=PATH"; com_args+=(--com "$2"); shift 2 ;;
        --shot) [ $# -ge 2 ] || die "--shot needs a file"; shot=$2; shift 2 ;;
        --drive) [ $# -ge 2 ] || die "--drive needs a command"; drive=$2; shift 2 ;;
        --timeout) [ $# -ge 2 ] || die "--timeout needs seconds"; timeout_s=$2; shift 2 ;;
        --) shift; break ;;
        -*) die "unknown option $1" ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || die "usage: run-wine-gui.sh [options] PROGRAM.exe [ARG...]"
[[ "$timeout_s" =~ ^[0-9]+$ ]] || die "--timeout needs whole seconds"
[ -z "$shot" ] || shot=$(readlink -m "$shot")

# A display of our own, so that parallel runs and other helpers' windows
# never meet.
if [ "${PLEMO_XVFB_OWNER:-}" != "$PPID" ]; then
    for tool in xdotool import; do
        command -v "$tool" >/dev/null || { "$here/install-deps.sh" gui >&2; break; }
    done
    args=("${com_args[@]}")
    [ -z "$shot" ] || args+=(--shot "$shot")
    [ -z "$drive" ] || args+=(--drive "$drive")
    exec "$here/with-xvfb.sh" "$0" "${args[@]}" --timeout "$timeout_s" -- "$@"
fi

# Wine starts its own processes first: the program's clock starts with it.
"$here/wine-env.sh" "${com_args[@]}" timeout -k 5 "$timeout_s" wine "$@" &
program=$!

# The first visible top-level window is the program's (wine maps none of its
# own without a window manager asking for it).
window=""
for _ in $(seq 1 $((timeout_s * 5))); do
    window=$(xdotool search --onlyvisible --name '.' 2>/dev/null | head -n1 || true)
    [ -n "$window" ] && break
    kill -0 "$program" 2>/dev/null || break
    sleep 0.2
done

if [ -n "$window" ]; then
    sleep 1   # let the first paint finish
    if [ -n "$shot" ]; then
        import -window root "$shot"
        echo "run-wine-gui: screenshot $shot" >&2
    fi
    if [ -n "$drive" ] && ! PLEMO_WINDOW=$window sh -c "$drive"; then
        # The program would otherwise run on until its time-out.
        echo "run-wine-gui: --drive failed; stopping the program" >&2
        "$here/wine-env.sh" wineserver -k || true
        wait "$program" || true
        exit 1
    fi
else
    echo "run-wine-gui: no window appeared" >&2
fi

status=0
wait "$program" || status=$?
[ "$status" -ne 124 ] || echo "run-wine-gui: stopped after $timeout_s s" >&2
# Wine's helper processes outlive the program by a few seconds; end them
# before the display goes away under them.
"$here/wine-env.sh" wineserver -k >/dev/null 2>&1 || true
exit "$status"
