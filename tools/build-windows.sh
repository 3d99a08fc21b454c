#!/usr/bin/env bash
# Builds the Windows program here, in one command: plemo-upload.exe for
# 64-bit Windows, cross-compiled with mingw-w64 against a static Qt 6, then
# checked to be a windowed program that needs only Windows' own DLLs.
#   tools/build-windows.sh [BUILD_DIR]      (default /var/tmp/plemo-win-build)
# The .exe's path is the last line of stdout. Runs as root the first time:
# the packages, and the static Qt (made once, ~15 min on two idle cores,
# then unpacked from /var/cache/plemo in about a second).
set -euo pipefail
build=$(readlink -m "${1:-/var/tmp/plemo-win-build}")
cd "$(dirname "$0")/.."

tools/install-deps.sh build windows >&2
exe=$(cmake/windows/build-program.sh "$build" | tail -n1)
tools/check-exe.sh "$exe" >&2
echo "$exe"
