#!/usr/bin/env bash
# The scenarios that run inside the test machine (tools/test-vm.sh starts
# it), as root, on the host's programs seen read-only over 9p, from under a
# directory only root may enter (the ordinary user's scenarios run copies
# that user can read). Three real
# kernel drivers carry the uploads:
#   /dev/ttyUSB0  the guest's ftdi_sio on QEMU's FTDI adapter, plemo-cartsim
#                 on the host behind it
#   /dev/ttyS1    the guest's 8250 on QEMU's 16550, plemo-cartsim on the host
#   /dev/ttyACM0  the guest's cdc-acm on a dummy_hcd gadget whose ACM function
#                 (/dev/ttyGS0) plemo-cartsim serves here in the guest
# Each check prints "vm-check: pass|FAIL NAME: detail", each measured time
# "vm-time: NAME SECONDS". What only the host can do (pull the FTDI adapter
# out, plug it back in, mark its trace) is asked for on the console:
# "plemo-vm-request: N WHAT"; the host answers by creating $run/ack/N.
set -uo pipefail
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8
top=$(cd "$(dirname "$0")/../.." && pwd)
# The checkout as it often lies on a developer's machine: under a directory
# only root may enter (/root is mode 700). Every scenario runs from there, so
# that what the ordinary user runs must lie where that user can read it.
sealed=/tmp/sealed
if [ "${top#"$sealed"/}" = "$top" ]; then
    script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
    mkdir -p "$sealed/checkout" && chmod 700 "$sealed" &&
        mount --bind "$top" "$sealed/checkout" &&
        exec "$sealed/checkout/${script#"$top"/}"
    echo "vm: cannot see the checkout from under $sealed"
    exit 1
fi
run=$top/build/vm/run
flash=$top/build/cli/plemo-flash
cartsim=$top/build/sim/plemo-cartsim
files=$run/files
baud=$(cat "$run/baud")
work=/tmp/vm
mkdir -p "$work"
# What the ordinary user runs (the program, the file), copied where that user
# can read it; the program's libraries are the system's.
user_dir=$work/user
as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
mkdir -p "$user_dir" && cp "$flash" "$files/firmware.frm" "$user_dir/" && chmod -R a+rX "$work"

pass() { echo "vm-check: pass $1: ${2:-}"; }
fail() { echo "vm-check: FAIL $1: ${2:-}"; }
check() { # NAME DETAIL COMMAND...: passes when the command succeeds
    local name=$1 detail=$2
    shift 2
    if "$@"; then pass "$name" "$detail"; else fail "$name" "$detail"; fi
}
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
timing() { echo "vm-time: $1 $2"; }
within() { awk -v t="$1" -v limit="$2" 'BEGIN { exit !(t <= limit) }'; }

requests=0
# Asks the host for WHAT and waits until it is done (at most 30 s).
request() {
    requests=$((requests + 1))
    echo "plemo-vm-request: $requests $1"
    local tries=0
    until [ -e "$run/ack/$requests" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 600 ] || { echo "vm: the host did not answer '$1'"; return 1; }
        sleep 0.05
    done
}

# Waits until COMMAND succeeds, polling every 0.05 s, at most SECONDS.
wait_until() {
    local seconds=$1 tries=0
    shift
    until "$@"; do
        tries=$((tries + 1))
        [ "$tries" -lt $((seconds * 20)) ] || return 1
        sleep 0.05
    done
}
listed() { "$flash" --list-ports 2>&1 | grep -q "^  $1 "; }
not_listed() { ! listed "$1"; }
progressed() { grep -q '^progress:' "$1"; }

# WHO runs plemo-flash: root, or user (an ordinary user). Sets runner (the
# command that starts the program) and frm (the firmware file to give it).
run_by() { # WHO
    if [ "$1" = user ]; then
        runner=("${as_user[@]}" "$user_dir/plemo-flash")
        frm=$user_dir/firmware.frm
    else
        runner=("$flash")
        frm=$files/firmware.frm
    fi
}
run_by root

# An upload in the background, by $runner (run_by): stdout to
# $work/NAME.out, every line of stderr with the time it came to
# $work/NAME.err; its pid in $upload_pid.
start_upload() { # NAME OPTIONS...
    local name=$1
    shift
    "${runner[@]}" --wait 30 "$@" >"$work/$name.out" \
        2> >(while IFS= read -r line; do echo "$(now) $line"; done >"$work/$name.err") &
    upload_pid=$!
}
# Waits for the background upload; its exit status in $upload_status, the
# moment it ended in $upload_end.
finish_upload() {
    wait "$upload_pid"
    upload_status=$?
    upload_end=$(now)
    sleep 0.2 # the stderr reader's last line
}

# One upload in the foreground; checks its exit status and times it.
upload() { # NAME PORT FILE
    local name=$1 port=$2 file=$3 started status
    started=$(now)
    "$flash" --quiet --wait 30 --port "$port" "$file" >"$work/$name.out" 2>&1
    status=$?
    timing "$name" "$(since "$started")"
    check "$name" "exit $status: $(tail -n 1 "$work/$name.out")" [ "$status" -eq 0 ]
}

# --- the CDC-ACM gadget ----------------------------------------------------------------
gadget=/sys/kernel/config/usb_gadget/plemo
udc=
make_gadget() {
    mkdir -p "$gadget/strings/0x409" "$gadget/configs/c.1" "$gadget/functions/acm.usb0" || return 1
    echo 0x1d6b >"$gadget/idVendor"
    echo 0x0104 >"$gadget/idProduct"
    echo "Plemo Test Rig" >"$gadget/strings/0x409/manufacturer"
    echo "Cartridge Link" >"$gadget/strings/0x409/product"
    echo "PLEMO-ACM-0001" >"$gadget/strings/0x409/serialnumber"
    ln -s "$gadget/functions/acm.usb0" "$gadget/configs/c.1/" || return 1
    udc=$(ls /sys/class/udc | head -n 1)
    [ -n "$udc" ] && echo "$udc" >"$gadget/UDC"
}
gadget_cartsim_pid=
start_gadget_cartsim() { # extra options...
    "$cartsim" --tty /dev/ttyGS0 --baud "$baud" --quiet --dump "$work/acm-flash.bin" "$@" \
        >"$work/acm-cartsim.log" 2>&1 &
    gadget_cartsim_pid=$!
    wait_until 10 grep -q 'serial port' "$work/acm-cartsim.log"
}
stop_gadget_cartsim() {
    [ -n "$gadget_cartsim_pid" ] || return 0
    kill -CONT "$gadget_cartsim_pid" 2>/dev/null
    kill -TERM "$gadget_cartsim_pid" 2>/dev/null
    wait "$gadget_cartsim_pid" 2>/dev/null
    gadget_cartsim_pid=
}

# shellcheck source=tests/vm/dialog.sh
. "$top/tests/vm/dialog.sh"

# --- the rig comes up ------------------------------------------------------------------
started=$(now)
check rig-ftdi-port "the FTDI adapter as /dev/ttyUSB0" wait_until 30 test -c /dev/ttyUSB0
gadget_up() { make_gadget && wait_until 30 test -c /dev/ttyACM0; }
check rig-acm-port "the gadget as /dev/ttyACM0" gadget_up
timing rig-ready "$(since "$started")"
# The ordinary user's scenarios show that the user's copies serve only while
# the checkout is out of that user's reach.
sealed_from_user() { [ -r "$files/firmware.frm" ] && ! "${as_user[@]}" test -r "$files/firmware.frm"; }
check sealed-checkout "root reads the checkout's files, the ordinary user cannot" sealed_from_user

# --- the line settings the FTDI adapter sees, from QEMU's trace --------------------------
# The host reads the trace between the two marks; the upload between them is
# the only use of the adapter then.
request "trace-start upload"
upload ftdi-frm /dev/ttyUSB0 "$files/firmware.frm"
request "trace-end upload"

# Whether the DTR pulse at the open can be avoided: the port is left as a
# way round would leave it (HUPCL off: DTR not dropped at the close; speed
# B0: the kernel raises nothing at the open), and the program's upload is
# traced (the host prints what DTR did; a finding, not a check).
leave_port() { # the termios change, then DTR off and close
    python3 -c '
import fcntl, os, struct, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
attrs = termios.tcgetattr(fd)
if sys.argv[2] == "hupcl-off":
    attrs[2] &= ~termios.HUPCL
elif sys.argv[2] == "b0":
    attrs[4] = attrs[5] = termios.B0
else:
    attrs[2] |= termios.HUPCL
    attrs[4] = attrs[5] = termios.B38400
termios.tcsetattr(fd, termios.TCSANOW, attrs)
fcntl.ioctl(fd, termios.TIOCMBIC, struct.pack("i", termios.TIOCM_DTR))
os.close(fd)' /dev/ttyUSB0 "$1"
}
for way in hupcl-off b0; do
    leave_port "$way"
    request "trace-start dtr-$way"
    upload "ftdi-dtr-$way" /dev/ttyUSB0 "$files/firmware.frm"
    request "trace-end dtr-$way"
    leave_port restore
done

upload ftdi-bit /dev/ttyUSB0 "$files/cart_top.bit"
# The dialog starts while the 16550 carries these uploads (tests/vm/dialog.sh).
launch_dialog
upload uart-frm /dev/ttyS1 "$files/firmware.frm"
upload uart-bit /dev/ttyS1 "$files/cart_top.bit"

# The dialog fills its port box as it starts, with the ports free then: the
# gadget's must not be held by an upload yet (Qt's start under emulation
# can outlast the 16550's uploads).
dialog_window_up || true
start_gadget_cartsim
upload acm-frm /dev/ttyACM0 "$files/firmware.frm"
upload acm-bit /dev/ttyACM0 "$files/cart_top.bit"
stop_gadget_cartsim
check acm-flash "the gadget cartridge's flash, byte for byte" \
    cmp "$work/acm-flash.bin" "$files/expected-flash.bin"

# --- ports a person can recognise ------------------------------------------------------
"$flash" --list-ports >"$work/list.out" 2>&1
cat "$work/list.out"
check list-ftdi "maker, product and serial number of the FTDI adapter" \
    grep -q '^  /dev/ttyUSB0 .*QEMU.*QEMU USB SERIAL.*PLEMO-FTDI-0001' "$work/list.out"
check list-acm "maker, product and serial number of the gadget" \
    grep -q '^  /dev/ttyACM0 .*Plemo Test Rig.*Cartridge Link.*PLEMO-ACM-0001' "$work/list.out"

# --- a cable pulled during the upload, plugged back --------------------------------------
# PORT, how to pull and plug, and what the port needs to answer again.
pull_and_plug() {
    local name=$1 port=$2 pull=$3 plug=$4 pulled plugged
    start_upload "$name-pull" --port "$port" "$files/firmware.frm"
    wait_until 30 progressed "$work/$name-pull.out"
    $pull
    pulled=$(now)
    finish_upload
    timing "$name-pull-to-exit" "$(awk -v a="$pulled" -v b="$upload_end" 'BEGIN { printf "%.2f", b - a }')"
    check "$name-pull-error" "exit $upload_status: $(cut -d' ' -f2- "$work/$name-pull.err" | tail -n 1)" \
        grep -q "serial line failed.*reconnect $port and upload again" "$work/$name-pull.err"
    check "$name-pull-exit" "exit status 1, within 3 s of the pull" \
        sh -c "[ $upload_status -eq 1 ] && awk -v a=$pulled -v b=$upload_end 'BEGIN { exit !(b - a < 3) }'"
    check "$name-unlisted" "--list-ports no longer shows $port" wait_until 5 not_listed "$port"
    $plug
    plugged=$(now)
    check "$name-relisted" "--list-ports shows $port again" wait_until 20 listed "$port"
    timing "$name-plug-to-listed" "$(since "$plugged")"
}
pull_ftdi() { request pull-ftdi; }
plug_ftdi() { request plug-ftdi; }
pull_and_plug ftdi /dev/ttyUSB0 pull_ftdi plug_ftdi

# --- the FTDI adapter's latency timer ----------------------------------------------------
# The driver shows the timer it set in sysfs: 1 ms while a program holds the
# port with low latency asked for, its own value before and after. WHO runs
# a .frm upload (root, or user: an ordinary user), to its end or to a Ctrl-C.
latency_timer=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
latency_upload() { # NAME WHO [ctrl-c]
    local name=$1 who=$2 interrupt=${3:-} before during after expected=0 started
    started=$(now)
    before=$(cat "$latency_timer")
    chmod 0666 /dev/ttyUSB0
    run_by "$who"
    start_upload "$name" --port /dev/ttyUSB0 "$frm"
    run_by root
    wait_until 30 progressed "$work/$name.out"
    during=$(cat "$latency_timer")
    if [ -n "$interrupt" ]; then
        kill -INT "$upload_pid"
        expected=4
    fi
    finish_upload
    after=$(cat "$latency_timer")
    timing "$name" "$(since "$started")"
    echo "vm-latency: $name ($who): latency_timer $before ms before, $during ms during, $after ms after"
    check "$name" "exit $upload_status (expected $expected)" [ "$upload_status" -eq "$expected" ]
    check "ftdi-latency-lowered-$who" "latency_timer $during ms during the upload ($before ms before)" \
        [ "$during" = 1 ]
    check "ftdi-latency-restored-$who" "latency_timer $after ms after the exit ($before ms before)" \
        sh -c "[ '$after' = '$before' ] && [ '$before' != 1 ]"
}
# The first upload after the plug meets the driver's defaults.
latency_upload ftdi-after-plug root
latency_upload ftdi-ctrl-c-user user ctrl-c

start_gadget_cartsim
unbind_gadget() { echo "" >"$gadget/UDC"; }
bind_gadget() { echo "$udc" >"$gadget/UDC"; }
pull_and_plug acm /dev/ttyACM0 unbind_gadget bind_gadget
# The gadget's terminal hung up with the unbinding: a new cartridge serves it.
stop_gadget_cartsim
start_gadget_cartsim
upload acm-after-plug /dev/ttyACM0 "$files/firmware.frm"

# --- a far end that stops reading during the upload (CDC-ACM) ----------------------------
# The cartridge stops (SIGSTOP) with its USB link up, and its buffers fill:
# a second writer (root passes the port's exclusive flag) sends it bytes
# until the driver holds some it cannot send. How many the gadget's side
# takes first does not then decide whether the upload's own last bytes
# stick. The program must end as promptly as on any line: by itself at the
# end of its attempts, or at Ctrl-C; its close must not wait for those
# bytes (a close that is not the port's last, as the filler's, never does).
# WHO is root, or user (an ordinary user); then ctrl-c, ctrl-c-twice or nothing.
fill_far_end() { # prints the bytes the driver holds unsent
    python3 "$top/tests/vm/farend.py" fill /dev/ttyACM0 2>&1
}
stalled_far_end() { # NAME WHO [ctrl-c]
    local name=$1 who=$2 interrupt=${3:-} stalled stuck signalled last_line
    run_by "$who"
    chmod 0666 /dev/ttyACM0
    start_upload "$name" --port /dev/ttyACM0 "$frm"
    run_by root
    wait_until 30 progressed "$work/$name.out"
    kill -STOP "$gadget_cartsim_pid"
    stalled=$(now)
    stuck=$(fill_far_end)
    if [ -n "$interrupt" ]; then
        kill -INT "$upload_pid"
        signalled=$(now)
    fi
    if [ "$interrupt" = ctrl-c-twice ]; then
        sleep 0.2
        kill -INT "$upload_pid"
        signalled=$(now)
    fi
    # An upper bound, so that a close that waits for ever still ends the test.
    ( sleep 90; kill -KILL "$upload_pid" 2>/dev/null ) &
    local guard=$!
    finish_upload
    kill "$guard" 2>/dev/null
    last_line=$(tail -n 1 "$work/$name.err" | cut -d' ' -f1)
    check "$name-stuck" "the driver held ${stuck:-no} unsent bytes while the program ran" \
        [ "${stuck:-0}" -gt 0 ]
    timing "$name-to-exit" "$(awk -v a="$stalled" -v b="$upload_end" 'BEGIN { printf "%.2f", b - a }')"
    timing "$name-last-line-to-exit" "$(awk -v a="${last_line:-0}" -v b="$upload_end" 'BEGIN { printf "%.2f", b - a }')"
    if [ -n "$interrupt" ]; then
        timing "$name-cancel-to-exit" "$(awk -v a="$signalled" -v b="$upload_end" 'BEGIN { printf "%.2f", b - a }')"
        # The cancel within 0.5 s (a write waiting for the stalled line
        # gives up), one FinishUpload (its write gives up too, or its reply
        # is waited for briefly), the close; slack for emulation.
        check "$name-prompt" "exit $upload_status: Ctrl-C ends it (exit 4) within 3 s" \
            sh -c "[ $upload_status -eq 4 ] && awk -v a=$signalled -v b=$upload_end 'BEGIN { exit !(b - a < 3) }'"
    else
        check "$name-fails" "the upload fails (exit 1)" [ "$upload_status" -eq 1 ]
    fi
    check "$name-close" "the exit follows the last line within 2 s (no closing wait)" \
        awk -v a="${last_line:-0}" -v b="$upload_end" 'BEGIN { exit !(b - a < 2) }'
    stop_gadget_cartsim
    start_gadget_cartsim
}
stalled_far_end acm-stall root
stalled_far_end acm-stall-ctrl-c root ctrl-c
stalled_far_end acm-stall-ctrl-c-user user ctrl-c
# A second Ctrl-C stops at once: the exit must not wait for the port either.
stalled_far_end acm-stall-ctrl-c-twice root ctrl-c-twice

# --- the dialog on the same stalled far end ----------------------------------------------
dialog_scenarios

# --- the port held by another program ----------------------------------------------------
# The holder locks the port and sets its exclusive flag, as terminal programs do.
python3 -c '
import fcntl, os, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
fcntl.ioctl(fd, termios.TIOCEXCL)
print("holding", flush=True)
time.sleep(60)' /dev/ttyACM0 >"$work/holder.out" 2>&1 &
holder=$!
wait_until 10 grep -q holding "$work/holder.out"
chmod 0666 /dev/ttyACM0
held() { # NAME WHO
    local name=$1 status
    run_by "$2"
    "${runner[@]}" --quiet --port /dev/ttyACM0 "$frm" >"$work/$name.out" 2>&1
    status=$?
    run_by root
    check "$name" "exit $status: $(tail -n 1 "$work/$name.out")" \
        sh -c "[ $status -eq 3 ] && grep -q 'held by another program' '$work/$name.out'"
}
held held-root root
held held-user user
"$flash" --list-ports >"$work/held-list.out" 2>&1
check held-listed "--list-ports names the holder" \
    grep -q "^  /dev/ttyACM0 .*held by another program (pid $holder" "$work/held-list.out"
kill "$holder"
wait "$holder" 2>/dev/null
upload acm-after-held /dev/ttyACM0 "$files/firmware.frm"

# --- a station: the gadget plugged in twice ----------------------------------------------
# No udevd runs here: the kernel's own events tell the station of the port.
unbind_gadget
stop_gadget_cartsim
wait_until 10 test ! -e /dev/ttyACM0
"$flash" --station --json --trace --port /dev/ttyACM0 "$files/firmware.frm" \
    >"$work/station.out" 2>"$work/station.err" &
station_pid=$!
wait_until 10 grep -q '^station: waiting' "$work/station.err"
# The records with FIELD=VALUE in the station's output, through a JSON parser.
records() { python3 -c 'import json, sys
print(sum(1 for line in open(sys.argv[1]) if line.endswith("\n")
                and json.loads(line).get(sys.argv[2]) == sys.argv[3]))' \
    "$work/station.out" "$1" "$2"; }
at_least() { [ "$(records "$1" "$2")" -ge "$3" ]; }
# A cheap look for the timing (python starts slowly under emulation).
waits_begun() { [ "$(grep -c '"event":"waiting"' "$work/station.out")" -ge "$1" ]; }
for round in 1 2; do
    bind_gadget
    wait_until 30 test -c /dev/ttyACM0
    appeared=$(now)
    wait_until 10 waits_begun "$round"
    timing "station-port-to-upload-$round" "$(since "$appeared")"
    start_gadget_cartsim
    wait_until 60 at_least event result "$round"
    unbind_gadget
    stop_gadget_cartsim
    wait_until 10 test ! -e /dev/ttyACM0
done
kill -INT "$station_pid"
wait "$station_pid"
station_status=$?
successes=$(records outcome success)
check station-uploads "two plug-ins, two uploads that succeeded ($successes), exit $station_status" \
    sh -c "[ $successes = 2 ] && [ $station_status = 0 ]"
check station-told "the kernel told the station of the port" \
    grep -q '^port watch: told of add /dev/ttyACM0' "$work/station.err"

echo "vm: guest scenarios done after $(since "$started") s"
