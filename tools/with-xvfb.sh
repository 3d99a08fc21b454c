#!/usr/bin/env bash
# Runs a command on a private X server of its own (Xvfb, 1024x768, 24-bit,
# no TCP) that ends with it.
#   tools/with-xvfb.sh COMMAND [ARG...]
# The server picks a free display number itself and reports it once it
# accepts clients, so that runs in parallel never meet. The command gets
# DISPLAY, a private XDG_RUNTIME_DIR (Qt asks for one) and PLEMO_XVFB_OWNER,
# this script's pid: a script that re-runs itself through this one knows by
# `[ "${PLEMO_XVFB_OWNER:-}" = "$PPID" ]` that it is inside. Exits with the
# command's status, or 92 when the X server does not start.
set -u
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }
command -v Xvfb >/dev/null || "$(dirname "$0")/install-deps.sh" gui >&2 || exit 92

workdir=$(mktemp -d /tmp/plemo-xvfb.XXXXXX)
xserver='' child=''
cleanup() {
    [ -z "$child" ] || kill "$child" 2>/dev/null
    if [ -n "$xserver" ]; then
        kill "$xserver" 2>/dev/null
        wait "$xserver" 2>/dev/null
    fi
    rm -rf "$workdir"
}
trap cleanup EXIT
# A stop passes to the command first, so that its own clean-up runs.
trap '[ -z "$child" ] || kill -TERM "$child" 2>/dev/null' INT TERM

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$workdir/display" 2>"$workdir/xvfb.log" &
xserver=$!
# Seconds natively, far longer in an emulated machine: waited for while it runs.
for _ in $(seq 1200); do
    [ -s "$workdir/display" ] || ! kill -0 "$xserver" 2>/dev/null && break
    sleep 0.05
done
if [ ! -s "$workdir/display" ]; then
    echo "with-xvfb: Xvfb did not start" >&2
    cat "$workdir/xvfb.log" >&2
    exit 92
fi
export DISPLAY=":$(head -n1 "$workdir/display")"
export XDG_RUNTIME_DIR=$workdir/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
export PLEMO_XVFB_OWNER=$$

"$@" &
child=$!
status=0
wait "$child" || status=$?
# A stop interrupts the first wait: wait again for the command to end.
if kill -0 "$child" 2>/dev/null; then
    status=0
    wait "$child" || status=$?
fi
child=''
exit "$status"
