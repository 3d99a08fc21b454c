#!/usr/bin/env bash
# Times the program from launch to its dialog on a private X server.
#   bench/startup_time.sh BUILD_DIR [launches]
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [launches]}
launches=${2:-10}

workdir=$(mktemp -d)
xserver=
cleanup() {
    [ -n "$xserver" ] && kill "$xserver" 2>/dev/null && wait "$xserver" 2>/dev/null
    rm -rf "$workdir"
}
trap cleanup EXIT

# The X server writes its display number to fd 3 once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$workdir/display" 2>"$workdir/xvfb.log" &
xserver=$!
for _ in $(seq 100); do [ -s "$workdir/display" ] && break; sleep 0.05; done
[ -s "$workdir/display" ] || { echo "Xvfb did not start"; cat "$workdir/xvfb.log"; exit 1; }
export DISPLAY=":$(head -n1 "$workdir/display")"
export QT_QPA_PLATFORM=xcb
# Qt wants a private runtime directory and says so on every start without one.
export XDG_RUNTIME_DIR="$workdir/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

"$build/bench/startup_time" "$build/ui/plemo-upload" "$launches"
