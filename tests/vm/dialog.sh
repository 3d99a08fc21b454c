# The real dialog (plemo-upload) in the test machine, on an X server of its
# own, against the CDC-ACM far end that stops reading (as plemo-flash's
# Ctrl-C scenarios): the user presses "Cancel Upload", and then, in a second
# upload from the same dialog, "Exit Program". Measured from the key to the
# dialog idle again (the port let go, the event loop waiting: not in a close)
# and to the program's end. Sourced by guest.sh, whose helpers it uses:
# launch_dialog early (the X server and Qt take many seconds to start under
# emulation, time the line-paced uploads leave idle), dialog_scenarios once
# the gadget's cartridge runs; it runs again when they are done.
dialog=$top/build/ui/plemo-upload
dialog_title='^Plemo Upload Utility 1\.0\.3$'
dialog_bound=0.5 # seconds from the key to idle, or to the end

# The program under tools/with-xvfb.sh, which says its pid and its display.
# Its port box is filled as it starts: /dev/ttyUSB0, /dev/ttyACM0.
launch_dialog() {
    rm -f "$work/dialog.id"
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
dialog_holds_port() {
    local fd
    for fd in /proc/"$dialog_pid"/fd/*; do
        [ "$(readlink "$fd")" = /dev/ttyACM0 ] && return 0
    done
    return 1
}
# Alive, the port let go, and not inside a close (system call 3) that waits.
dialog_reached_idle() {
    [ -d "/proc/$dialog_pid" ] && ! dialog_holds_port &&
        [ "$(cut -d' ' -f1 "/proc/$dialog_pid/syscall")" != 3 ]
}
dialog_reached_end() { [ ! -d "/proc/$dialog_pid" ]; }
programming() { grep -q 'call: LoadBuffer' "$work/acm-cartsim.log"; }
stuck_while_held() { [ "$1" -gt 0 ] && dialog_holds_port; }
reached_within() { [ "$1" != never ] && within "$1" "$2"; }

# Starts an upload with START_KEYS and space (Upload has the focus then),
# stops the far end once programming runs, fills its buffers and presses
# KEYS; then waits for the dialog to reach STATE (idle or end), timed as
# NAME-to-STATE and checked as NAME.
dialog_stall() { # NAME KEYS STATE [START_KEYS...]
    local name=$1 keys=$2 state=$3 stuck pressed took
    shift 3
    stop_gadget_cartsim
    start_gadget_cartsim --verbose
    xdotool key --delay 30 "$@" space
    wait_until 30 programming
    kill -STOP "$gadget_cartsim_pid"
    stuck=$(fill_far_end)
    check "$name-stuck" "the driver held ${stuck:-no} unsent bytes while the dialog held the port" \
        stuck_while_held "${stuck:-0}"
    # shellcheck disable=SC2086 # KEYS is a list of key names
    xdotool key --delay 30 $keys
    pressed=$(now)
    if wait_until 40 "dialog_reached_$state"; then took=$(since "$pressed"); else took=never; fi
    timing "$name-to-$state" "$took"
    check "$name" "$state $took s after the key (bound $dialog_bound s)" \
        reached_within "$took" "$dialog_bound"
}

dialog_scenarios() {
    local guard status
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
}
