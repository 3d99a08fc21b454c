#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh build gui pty
tools/build.sh build
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j"$(nproc)"
# The serial layer again, cross-built for Windows and run under wine over
# linked ptys (about 45 s warm, under 2 min cold once wine is installed).
tools/test-windows-serial.sh
