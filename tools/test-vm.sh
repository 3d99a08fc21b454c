#!/usr/bin/env bash
# The vm stage: plemo-flash and the dialog on real kernel serial drivers. A
# QEMU machine (software emulation) boots Debian's own kernel
# (tools/vm/kernel.sh) with a busybox initramfs (tools/vm/make-initramfs.sh)
# and runs tests/vm/guest.sh (and tests/vm/dialog.sh) on the host's programs,
# seen read-only over 9p. Behind the machine's FTDI
# adapter and its 16550 runs plemo-cartsim here on the host; the CDC-ACM
# gadget's cartridge runs in the guest. The host answers the guest's requests
# (the adapter pulled out and plugged back in on QEMU's monitor, marks in
# QEMU's trace of the adapter) and then checks what only it can see: the two
# host cartridges' flash and the line settings in the trace.
#   tools/test-vm.sh        prints "vm: N passed, M failed" last
# A machine that cannot run the stage is said plainly and counts as a failure.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD
vm=$top/build/vm
run=$vm/run
baud=${PLEMO_VM_BAUD:-230400}   # the host cartridges' line pacing
limit_s=${PLEMO_VM_TIME_LIMIT:-900}
guest=${PLEMO_VM_GUEST:-$top/tests/vm/guest.sh} # another script to run in the guest, to try things

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "vm-check: pass $1: ${2:-}"; }
fail() { failed=$((failed + 1)); echo "vm-check: FAIL $1: ${2:-}"; }
finish() {
    echo "vm: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}
cannot_run() {
    echo "vm: cannot run: $*"
    fail vm-stage "$*"
    finish
}

for tool in qemu-system-x86_64 busybox cpio python3 socat apt-get dpkg-deb Xvfb xdotool; do
    command -v "$tool" >/dev/null ||
        cannot_run "$tool is missing (tools/install-deps.sh vm installs what the stage needs)"
done
tools/build.sh native --target plemo-flash plemo-upload plemo-cartsim plemo-upload-files >/dev/null ||
    cannot_run "the programs did not build (tools/build.sh native)"
kernel=$(tools/vm/kernel.sh "$vm/kernel") || cannot_run "no guest kernel (tools/vm/kernel.sh)"
tools/vm/make-initramfs.sh "$kernel" "$vm/initramfs.cpio.gz" ||
    cannot_run "no initramfs (tools/vm/make-initramfs.sh)"

rm -rf "$run"
mkdir -p "$run/files" "$run/ack"
echo "$baud" >"$run/baud"
build/tests/support/plemo-upload-files "$run/files" || cannot_run "no upload files"

host_cartsims=()
stop_all() {
    [ -n "${qemu_pid:-}" ] && kill "$qemu_pid" 2>/dev/null
    for pid in "${host_cartsims[@]}"; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    host_cartsims=()
}
trap stop_all EXIT
for line in ftdi uart; do
    build/sim/plemo-cartsim --link "$run/$line.line" --baud "$baud" --quiet \
        --dump "$run/$line-flash.bin" >"$run/$line-cartsim.log" 2>&1 &
    host_cartsims+=($!)
done
for line in ftdi uart; do
    for _ in $(seq 50); do [ -L "$run/$line.line" ] && break; sleep 0.1; done
    [ -L "$run/$line.line" ] || cannot_run "plemo-cartsim made no line for the $line"
done

ftdi_device="usb-serial,id=ftdi,chardev=ftdi,bus=xhci.0,serial=PLEMO-FTDI-0001"
monitor() { echo "$1" | socat - "UNIX-CONNECT:$run/monitor.sock" >>"$run/monitor.log" 2>&1; }
: >"$run/console.log"
qemu-system-x86_64 -accel tcg -m 768 -smp 1 -nodefaults -display none -no-reboot \
    -kernel "$kernel/vmlinux" -initrd "$vm/initramfs.cpio.gz" \
    -append "console=ttyS0 quiet panic=-1 plemo.run=$guest" \
    -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
    -chardev file,id=console,path="$run/console.log" -serial chardev:console \
    -chardev serial,id=uart,path="$run/uart.line" -serial chardev:uart \
    -device qemu-xhci,id=xhci -chardev serial,id=ftdi,path="$run/ftdi.line" \
    -device "$ftdi_device" \
    -monitor unix:"$run/monitor.sock",server=on,wait=off \
    -trace usb_serial_set_baud -trace usb_serial_set_data -trace usb_serial_set_flow_control \
    -trace usb_serial_handle_control -D "$run/trace.log" \
    </dev/null >"$run/qemu.log" 2>&1 &
qemu_pid=$!

# The guest's requests, as they come, until the machine is off.
declare -A trace_start trace_end
trace_mark() { wc -l <"$run/trace.log" 2>/dev/null || echo 0; }
started=$SECONDS
seen=0
while kill -0 "$qemu_pid" 2>/dev/null; do
    if [ $((SECONDS - started)) -gt "$limit_s" ]; then
        fail vm-machine "the machine did not finish within $limit_s s"
        kill "$qemu_pid"
        break
    fi
    while read -r _ number what window; do
        case $what in
            pull-ftdi) monitor "device_del ftdi" ;;
            plug-ftdi) monitor "device_add $ftdi_device" ;;
            trace-start) trace_start[$window]=$(trace_mark) ;;
            trace-end) trace_end[$window]=$(trace_mark) ;;
        esac
        touch "$run/ack/$number"
        seen=$number
    done < <(tr -d '\r' <"$run/console.log" | grep '^plemo-vm-request: ' | tail -n +$((seen + 1)))
    sleep 0.05
done
wait "$qemu_pid"
qemu_status=$?
stop_all
elapsed=$((SECONDS - started))

tr -d '\r' <"$run/console.log" | grep -E '^(vm-check|vm-time|vm: guest)' | sed 's/^vm-check/guest-check/'
guest_passed=$(tr -d '\r' <"$run/console.log" | grep -c '^vm-check: pass ')
guest_failed=$(tr -d '\r' <"$run/console.log" | grep -c '^vm-check: FAIL ')
passed=$((passed + guest_passed))
failed=$((failed + guest_failed))
guest_exit=$(tr -d '\r' <"$run/console.log" | sed -n 's/^plemo-vm: exit //p' | tail -n 1)
if [ "$qemu_status" -eq 0 ] && [ "${guest_exit:-x}" = 0 ]; then
    pass vm-machine "booted, ran the guest scenarios and powered off in $elapsed s"
else
    fail vm-machine "qemu exit $qemu_status, guest exit ${guest_exit:-none} (see $run/console.log)"
    tail -n 20 "$run/console.log" "$run/qemu.log"
fi
echo "vm-time: machine-total $elapsed"

for line in ftdi uart; do
    if cmp "$run/$line-flash.bin" "$run/files/expected-flash.bin"; then
        pass "$line-flash" "the host cartridge's flash, byte for byte"
    else
        fail "$line-flash" "the host cartridge's flash differs from what the files must leave"
    fi
done

# The adapter's settings during one upload: the last of each kind of request
# between the guest's marks, and DTR after the program has set the line. The
# DTR probes' windows are findings: what DTR did, printed.
for window in upload dtr-hupcl-off dtr-b0; do
    if [ -z "${trace_start[$window]:-}" ] || [ -z "${trace_end[$window]:-}" ]; then
        fail "trace-$window" "the guest never marked its $window in the trace"
        continue
    fi
    sed -n "$((trace_start[$window] + 1)),${trace_end[$window]}p" "$run/trace.log" \
        >"$run/trace-$window.log"
    python3 tools/vm/line-settings.py "$run/trace-$window.log" >"$run/line-settings-$window.out" ||
        fail "trace-$window" "tools/vm/line-settings.py failed"
    if [ "$window" != upload ]; then
        echo "vm-finding: $window: $(grep '^dtr:' "$run/line-settings-$window.out")"
        continue
    fi
    grep '^dtr:' "$run/line-settings-$window.out"
    while read -r verdict name detail; do
        if [ "$verdict" = ok ]; then pass "$name" "$detail"; else fail "$name" "$detail"; fi
    done < <(grep -E '^(ok|bad) ' "$run/line-settings-$window.out")
done
finish
