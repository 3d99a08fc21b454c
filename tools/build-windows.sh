#!/usr/bin/env bash
# Builds the Windows download here, in one command: plemo-upload.exe (and
# plemo-flash.exe where the project has it) for 64-bit Windows,
# cross-compiled with mingw-w64 against a static Qt 6, the dialog checked to
# be a windowed program that needs only Windows' own DLLs, zipped with a
# short README for Windows users:
#   tools/build-windows.sh    -> build-win/plemo-upload-<version>-windows-x64.zip
# The zip's path is the last line of stdout. Runs as root the first time:
# the packages, and the static Qt (made once, ~15 min on two idle cores,
# then unpacked from /var/cache/plemo in about a second).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-win

tools/install-deps.sh build windows >&2
prefix=$(tools/build-qt-static.sh | tail -n1)
# A build folder made against another Qt prefix would mix two Qts (the
# toolchain file is read only when a folder is first configured).
if [ "$(cat "$build/.plemo-qt-prefix" 2>/dev/null)" != "$prefix" ]; then
    rm -rf "$build"
fi
export PLEMO_QT_PREFIX=$prefix
tools/build.sh windows-program >&2
echo "$prefix" >"$build/.plemo-qt-prefix"
tools/check-exe.sh "$build/ui/plemo-upload.exe" >&2
rm -f "$build"/plemo-upload-*-windows-x64.zip
cpack --preset windows-zip >&2
ls "$PWD/$build"/plemo-upload-*-windows-x64.zip
