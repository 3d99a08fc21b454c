#!/usr/bin/env bash
# Times the program from launch to its dialog on a private X server.
#   bench/startup_time.sh BUILD_DIR [launches]
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [launches]}
launches=${2:-10}

# On a private X server; Qt wants a private runtime directory too, which
# the helper gives it (else Qt says so on every start).
export QT_QPA_PLATFORM=xcb
exec "$(dirname "$0")/../tools/with-xvfb.sh" "$build/bench/startup_time" "$build/ui/plemo-upload" "$launches"
