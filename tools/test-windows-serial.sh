#!/usr/bin/env bash
# Cross-builds the serial layer and its tests for Windows with mingw-w64 and
# runs them under wine, over COM ports that are linked pseudo-terminals.
#   tools/test-windows-serial.sh          (builds in build-win-serial)
#
# Each line is a socat pair of ptys: COM5<->COM6, COM7<->COM8, COM9<->COM10.
# The test program opens the odd port as the line under test and plays the
# device on the even one (PLEMO_TEST_COM_PAIRS tells it the pairs). Wine runs
# through tools/wine-env.sh, which hides every real serial device of
# the machine behind /dev/null and maps no COM name but ours. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build-win-serial
# The same prefix as the preset's emulator.
export WINEPREFIX=/tmp/plemo-wine-serial

tools/install-deps.sh build windows pty

# GoogleTest from Debian's sources, built once with the same compiler.
# Everything for Windows builds with the one toolchain file the static Qt uses.
gtest_prefix=$build/googletest
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
    echo "Building GoogleTest for mingw-w64 into $gtest_prefix"
    cmake -S /usr/src/googletest -B "$build/googletest-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/windows/mingw-w64-qt.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
        -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
    cmake --build "$build/googletest-build" -- -j2 >/dev/null
    cmake --install "$build/googletest-build" >/dev/null
fi

# Tests are listed when ctest runs (PRE_TEST), so that wine only ever runs
# inside the guard; the emulator is the guard itself (preset
# "windows-serial"). This is the serial code the program ships: wine's
# driver refuses the RTS toggle, so these runs also go through the fallback
# to RTS held on.
tools/build.sh windows-serial

lines=$(mktemp -d /tmp/plemo-serial-lines.XXXXXX)
relays=()
stop_relays() {
    local pid
    for pid in "${relays[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$lines"
}
trap stop_relays EXIT

pairs=()
com_args=()
for port in 5 7 9; do
    peer=$((port + 1))
    socat pty,raw,echo=0,link="$lines/com$port" pty,raw,echo=0,link="$lines/com$peer" &
    relays+=($!)
    pairs+=("$port:$peer")
    com_args+=(--com "$port=$lines/com$port" --com "$peer=$lines/com$peer")
done
for _ in $(seq 50); do
    [ "$(find "$lines" -name 'com*' | wc -l)" -eq 6 ] && break
    sleep 0.1
done
[ "$(find "$lines" -name 'com*' | wc -l)" -eq 6 ] || { echo "socat made no ptys" >&2; exit 1; }

# One warm wineserver for the whole run (else every test waits for wine's
# start-up), stopped before the relays close the ptys under it. The tests
# share the COM pairs, so they run one at a time.
IFS=,
export PLEMO_TEST_COM_PAIRS="${pairs[*]}"
unset IFS
tools/wine-env.sh "${com_args[@]}" sh -c '
    wineserver -p
    wine wineboot </dev/null >/dev/null 2>&1
    status=0
    ctest --test-dir "$1" --output-on-failure || status=$?
    wineserver -k
    exit $status' sh "$build"
