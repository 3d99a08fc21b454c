#!/usr/bin/env bash
# Cross-builds the GUI program for 64-bit Windows against the static Qt of
# build-qt-static.sh (made or unpacked first if needed): one .exe that needs
# only Windows' own DLLs. Prints the .exe's path as the last line of stdout.
#   cmake/windows/build-program.sh [BUILD_DIR [extra cmake arguments...]]
#   (BUILD_DIR defaults to /var/tmp/plemo-win-build)
# Runs as root the first time (the static Qt goes under /opt and /var/cache).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=${1:-/var/tmp/plemo-win-build}
shift || true

prefix=$("$repo/tools/build-qt-static.sh" | tail -n1)
# A build folder made against another Qt prefix would mix two Qts.
if [ "$(cat "$build/.plemo-qt-prefix" 2>/dev/null)" != "$prefix" ]; then
    rm -rf "$build"
fi
# Extra arguments are applied on every run, so that a changed one takes.
if [ ! -f "$build/build.ninja" ] || [ $# -gt 0 ]; then
    # qt-cmake brings Qt's toolchain file, which chain-loads the mingw one
    # stored in the prefix. The tests and benchmarks stay native. Stripped:
    # the symbols of the static Qt would nearly double the .exe (37 MB).
    "$prefix/bin/qt-cmake" -S "$repo" -B "$build" -G Ninja \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s \
        -DPLEMO_BUILD_TESTS=OFF -DPLEMO_BUILD_BENCH=OFF "$@" >&2
    echo "$prefix" >"$build/.plemo-qt-prefix"
fi
# Two jobs: the build machines have two cores, shared with other builds.
cmake --build "$build" --target plemo-upload -- -j2 >&2
exe="$build/ui/plemo-upload.exe"
[ -f "$exe" ] || { echo "build-program: no $exe after the build" >&2; exit 1; }
echo "$exe"
