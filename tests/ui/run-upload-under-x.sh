#!/usr/bin/env bash
# One whole upload as a user makes it: the real program in a private X
# server, the simulated cartridge program on a pseudo-terminal that appears
# under a USB serial device name the program looks for, the file path typed
# into the file field, Upload pressed, the result awaited, Exit pressed.
#   run-upload-under-x.sh PROGRAM CARTSIM FILE DUMP_OUT [BAUD [MODE]]
# BAUD: the cartridge's line speed (default 38400; fast enough that the
# programming state lasts a few seconds). The cartridge's flash is written
# to DUMP_OUT. MODE cancel-when-silent: the cartridge falls silent as the
# first block is committed (OpenRange), and a second later "Cancel Upload"
# is pressed; the script says how long until the cartridge was told that
# the upload is over ("cancel took effect in N ms"). With PLEMO_SHOTS_DIR set, pictures of the waiting, programming
# and result states are kept there as upload-<file name>-<state>.png.
# PLEMO_REPLY_STYLE: the cartridge's reply style (plemo-cartsim --reply-style;
# default exact).
# Exit codes: 0 the upload ran and the program ended with 0; 77 cannot run
# here (not root, or no free device name); 90 no window; 91 the program did
# not end; 92 no X server; 93 the cartridge did not start; 94 no result in
# time; 95 the program's own exit code was not 0; 2 usage.
set -u
[ $# -ge 4 ] || { echo "usage: $0 PROGRAM CARTSIM FILE DUMP_OUT [BAUD [MODE]]" >&2; exit 2; }
program=$1 cartsim=$2 file=$3 dump_out=$4 baud=${5:-38400} mode=${6:-upload}
cartsim_faults=()
[ "$mode" = cancel-when-silent ] && cartsim_faults=(--fall-silent-at 4)
reply_style=${PLEMO_REPLY_STYLE:-exact}
title='^Plemo Upload Utility 1\.0\.3$'
# A cartridge still booting ignores this many handshake requests (three
# whole handshakes): long enough to see the dialog wait for it.
boot_after_requests=12

[ "$(id -u)" = 0 ] || { echo "needs root to place a device name under /dev"; exit 77; }
# On an X server of its own, so that parallel runs never meet.
if [ "${PLEMO_XVFB_OWNER:-}" != "$PPID" ]; then
    exec "$(dirname "$0")/../../tools/with-xvfb.sh" "$0" "$@"
fi

# Runs of this script take turns: each looks for a free device name and
# the program lists every cartridge it finds.
exec 9>/tmp/plemo-run-upload-under-x.lock
flock 9

# The last of the names the program tries that nothing uses (neither a
# device nor a symbolic link, not even a dangling one), so that the machine's
# own devices are never disturbed.
link=
for n in $(seq 24 -1 0); do
    candidate=/dev/ttyACM$n
    if [ ! -e "$candidate" ] && [ ! -L "$candidate" ]; then link=$candidate; break; fi
done
[ -n "$link" ] || { echo "no free /dev/ttyACM name"; exit 77; }
# Ports the program will list after ours: the port box is then walked up
# from its last entry.
ports_after=0
for m in $(seq $((n + 1)) 24); do [ -e "/dev/ttyACM$m" ] && ports_after=$((ports_after + 1)); done

workdir=$(mktemp -d)
program_pid='' cartsim_pid=''
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
    if [ -n "$cartsim_pid" ]; then
        kill "$cartsim_pid" 2>/dev/null
        wait "$cartsim_pid" 2>/dev/null
    fi
    # The cartridge removes its own link; this is for when it could not.
    if [ -L "$link" ] && [ "$(readlink "$link")" = "$(cat "$workdir/pty" 2>/dev/null)" ]; then
        rm -f "$link"
    fi
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The cartridge --------------------------------------------------------------
"$cartsim" --link "$link" --verbose --baud "$baud" --dump "$workdir/flash.bin" \
    --boot-after-handshakes "$boot_after_requests" --reply-style "$reply_style" "${cartsim_faults[@]}" \
    >"$workdir/cartsim.log" 2>&1 &
cartsim_pid=$!
for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.05; done
[ -L "$link" ] || { echo "the cartridge did not start"; cat "$workdir/cartsim.log"; exit 93; }
readlink "$link" >"$workdir/pty"

# Waits until the cartridge's log holds a line matching $1 (at most $2 s).
await_call() {
    local pattern=$1 seconds=$2
    for _ in $(seq $((seconds * 20))); do
        grep -q "$pattern" "$workdir/cartsim.log" && return 0
        sleep 0.05
    done
    return 1
}

# --- The program ----------------------------------------------------------------
QT_QPA_PLATFORM=xcb "$program" >"$workdir/program.log" 2>&1 &
program_pid=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --name "$title" | head -n1)
[ -n "$window" ] || { echo "no window titled like $title appeared"; exit 90; }

shot() {
    [ -n "${PLEMO_SHOTS_DIR:-}" ] || return 0
    mkdir -p "$PLEMO_SHOTS_DIR"
    sleep 0.3 # let the dialog repaint
    import -window "$window" "$PLEMO_SHOTS_DIR/upload-$(basename "$file")-$1.png"
}

# --- Upload, as the keyboard reaches it --------------------------------------------
# Focus order: Upload, Exit, file field, port box, Browse.
xdotool windowfocus --sync "$window"
xdotool key --delay 50 Tab Tab
xdotool type --delay 5 "$file"
xdotool key --delay 50 Tab End
for _ in $(seq "$ports_after"); do xdotool key Up; done
xdotool key --delay 50 shift+Tab shift+Tab shift+Tab space

await_call 'call: Handshake' 10 || { echo "the program never called the cartridge"; cat "$workdir/cartsim.log" "$workdir/program.log"; exit 94; }
shot waiting
await_call 'call: LoadBuffer' 20 || { echo "programming never began"; cat "$workdir/cartsim.log"; exit 94; }
shot programming
if [ "$mode" = cancel-when-silent ]; then
    await_call 'call: OpenRange.* ignored' 30 || { echo "no commit came"; tail -n 20 "$workdir/cartsim.log"; exit 94; }
    sleep 1
    # The button has the focus: it reads "Cancel Upload" while the upload runs.
    xdotool windowfocus --sync "$window"
    started=$(date +%s%N)
    xdotool key space
    await_call 'call: FinishUpload' 10 || {
        echo "the cancel was not taken"; cat "$workdir/program.log"; tail -n 20 "$workdir/cartsim.log"; exit 94
    }
    echo "cancel took effect in $((($(date +%s%N) - started) / 1000000)) ms"
fi
await_call 'call: FinishUpload' 120 || { echo "the upload did not end"; tail -n 20 "$workdir/cartsim.log"; exit 94; }
shot result

# Focus is still on the Upload button; Exit is next.
xdotool windowfocus --sync "$window"
xdotool key --delay 100 Tab space
for _ in $(seq 100); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$program_pid" 2>/dev/null; then echo "the program was still running after Exit"; exit 91; fi
wait "$program_pid"
status=$?
program_pid=

# The cartridge writes its flash when it ends.
kill "$cartsim_pid"
wait "$cartsim_pid"
cartsim_pid=
cp "$workdir/flash.bin" "$dump_out" || exit 93
grep -E 'call: (Handshake|FinishUpload)' "$workdir/cartsim.log" | sort | uniq -c
[ "$status" = 0 ] || { echo "the program ended with $status"; cat "$workdir/program.log"; exit 95; }
exit 0
