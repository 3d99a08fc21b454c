#!/usr/bin/env bash
# Starts the program in a private X server, ends it the way a user would,
# and exits with the program's own exit code.
#   run-program-under-x.sh PROGRAM CLOSE_WINDOW_TOOL ACTION
# ACTION: exit-button  (Tab to "Exit Program", press Space)
#         close-window (the window manager's close: WM_DELETE_WINDOW)
#         escape       (Esc in the dialog)
#         nothing      (leave it alone for 2 s: it must still be running)
# Exit codes of its own: 90 no window appeared, 91 the program did not end,
# 92 the X server did not start, 2 usage.
set -u
[ $# -eq 3 ] || { echo "usage: $0 PROGRAM CLOSE_WINDOW_TOOL ACTION" >&2; exit 2; }
program=$1 close_window=$2 action=$3
title='^Plemo Upload Utility 1\.0\.3$'
# On an X server of its own, so that parallel runs never meet.
if [ "${PLEMO_XVFB_OWNER:-}" != "$PPID" ]; then
    exec "$(dirname "$0")/../../tools/with-xvfb.sh" "$0" "$@"
fi

pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null' EXIT

QT_QPA_PLATFORM=xcb "$program" &
pid=$!

window=$(timeout 20 xdotool search --sync --onlyvisible --name "$title" | head -n1)
[ -n "$window" ] || { echo "no window titled like $title appeared"; exit 90; }

case $action in
    exit-button) xdotool windowfocus --sync "$window" && xdotool key --delay 100 Tab space ;;
    close-window) "$close_window" "$window" ;;
    escape) xdotool windowfocus --sync "$window" && xdotool key Escape ;;
    nothing) ;;
    *) echo "unknown action $action" >&2; exit 2 ;;
esac

patience=100
[ "$action" = nothing ] && patience=20
for _ in $(seq "$patience"); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
    echo "the program was still running after '$action'"
    exit 91
fi
wait "$pid"
status=$?
pid=
exit "$status"
