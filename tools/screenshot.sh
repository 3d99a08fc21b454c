#!/usr/bin/env bash
# Starts the utility in a virtual X display, saves a PNG picture of its
# dialog and ends it again through its "Exit Program" button.
#   tools/screenshot.sh OUTPUT.png [PROGRAM]
# PROGRAM defaults to build/ui/plemo-upload. Needs: tools/install-deps.sh gui
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${PLEMO_XVFB_OWNER:-}" = "$PPID" ]; then
    output=$1 program=$2
    QT_QPA_PLATFORM=xcb "$program" &
    pid=$!
    trap 'kill "$pid" 2>/dev/null || true' EXIT
    window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Plemo Upload Utility 1\.0\.3$' | head -n1)
    [ -n "$window" ] || { echo "screenshot: the dialog did not appear" >&2; exit 1; }
    sleep 0.5 # let the first paint finish
    import -window "$window" "$output"
    xdotool windowfocus --sync "$window" key --delay 100 Tab space
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    wait "$pid"
    exit
fi

[ $# -ge 1 ] || { echo "usage: $0 OUTPUT.png [PROGRAM]" >&2; exit 2; }
output=$(realpath -m "$1")
program=$(realpath "${2:-build/ui/plemo-upload}")
[ -x "$program" ] || { echo "screenshot: no program at $program (build it first)" >&2; exit 1; }
exec tools/with-xvfb.sh "$0" "$output" "$program"
