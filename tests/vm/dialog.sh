# shellcheck shell=bash disable=SC2154 # sourced by guest.sh, which sets top, work and files
# The real dialog (plemo-upload) in the test machine, on an X server of its
# own, against the CDC-ACM far end that stops reading (as plemo-flash's
# Ctrl-C scenarios): the user presses "Cancel Upload", and then, in a second
# upload from the same dialog, "Exit Program". Measured from the key to the
# dialog idle again (the port let go, not in a close) and to the program's
# end. Sourced by guest.sh, whose helpers it uses:
# launch_dialog early (the X server and Qt take many seconds to start under
# emulation, time the line-paced uploads leave idle), dialog_scenarios once
# the gadget's cartridge runs; it runs again when they are done.
dialog=$top/build/ui/plemo-upload
dialog_title='^Plemo Upload Utility 1\.0\.3$'
# The stop promised within 0.5 s of the key; the bounds leave slack for
# emulation on a loaded machine (without the stalled write's give-up, the
# write's 5 s allowance alone exceeds them).
dialog_bound=2     # seconds from the key to idle
dialog_end_bound=3 # seconds from Exit to the program's end

# The program under tools/with-xvfb.sh, which says its pid and its display.
# Its port box is filled as it starts: /dev/ttyUSB0, /dev/ttyACM0.
launch_dialog() {
    rm -f "$work/dialog.id"
    # shellcheck disable=SC2016 # the inner shell expands its own variables
    QT_QPA_PLATFORM=xcb "$top/tools/with-xvfb.sh" sh -c 'echo "$$ $DISPLAY" >"$1"; exec "$2"' - \
        "$work/dialog.id" "$dialog" >"$work/dialog.log" 2>&1 &
    dialog_runner=$!
}
dialog_window_up() {
    wait_until 60 test -s "$work/dialog.id" || return 1
    read -r dialog_pid DISPLAY <"$work/dialog.id"
    export DISPLAY
    dialog_window=$(timeout 60 xdotool search --sync --onlyvisible --name "$dialog_title" | head -n 1)
    [ -n "$dialog_window" ] && xdotool windowfocus --sync "$dialog_window"
}
programming() { grep -q 'call: LoadBuffer' "$work/acm-cartsim.log"; }
stuck_while_held() { [ "$1" -gt 0 ] && [ "$2" = held ]; }
reached_within() { [ "$1" != never ] && within "$1" "$2"; }
ended_within_bounds() { reached_within "$1" "$dialog_bound" && reached_within "$2" "$dialog_end_bound"; }

# Starts an upload with START_KEYS and space (Upload has the focus then),
# stops the far end once programming runs, fills its buffers and presses
# KEYS; then waits for the dialog to reach STATE (idle or end), timed as
# NAME-to-STATE and checked as NAME.
dialog_stall() { # NAME KEYS STATE [START_KEYS...]
    local name=$1 keys=$2 state=$3 stuck held to_idle to_end
    shift 3
    stop_gadget_cartsim
    start_gadget_cartsim --verbose
    xdotool key --delay 30 "$@" space
    if ! wait_until 30 programming; then
        fail "$name-port" "the dialog's upload never reached the gadget's cartridge (not in its port box?)"
    fi
    # shellcheck disable=SC2086 # KEYS is a list of key names
    read -r stuck held to_idle to_end < <(python3 "$top/tests/vm/farend.py" dialog /dev/ttyACM0 \
        "$dialog_pid" "$gadget_cartsim_pid" "$state" $keys)
    check "$name-stuck" "the driver held ${stuck:-no} unsent bytes, the port $held by the dialog at the key" \
        stuck_while_held "${stuck:-0}" "$held"
    timing "$name-to-idle" "$to_idle"
    if [ "$state" = idle ]; then
        check "$name" "idle $to_idle s after the key (bound $dialog_bound s)" \
            reached_within "$to_idle" "$dialog_bound"
    else
        # The end adds the program's own teardown.
        timing "$name-to-end" "$to_end"
        check "$name" "idle $to_idle s after the key (bound $dialog_bound s), ended after $to_end s (bound $dialog_end_bound s)" \
            ended_within_bounds "$to_idle" "$to_end"
    fi
}

dialog_scenarios() {
    local guard status started
    started=$(now)
    if ! dialog_window_up; then
        fail dialog-window "the dialog's window did not appear (see $work/dialog.log)"
        kill "$dialog_runner" 2>/dev/null
        cat "$work/dialog.log"
        return
    fi
    # Focus order: Upload, Exit, file field, port box (/dev/ttyACM0 its
    # last entry), Browse.
    xdotool key --delay 30 Tab Tab
    xdotool type --delay 5 "$files/firmware.frm"
    dialog_stall dialog-stall-cancel space idle Tab End shift+Tab shift+Tab shift+Tab
    dialog_stall dialog-stall-exit "Tab space" end
    ( sleep 30; kill -KILL "$dialog_pid" 2>/dev/null ) &
    guard=$!
    wait "$dialog_runner"
    status=$?
    kill "$guard" 2>/dev/null
    check dialog-exit-status "exit $status: the program ends with 0 after Exit Program" [ "$status" -eq 0 ]
    stop_gadget_cartsim
    start_gadget_cartsim
    timing dialog-scenarios "$(since "$started")"
}
