#!/usr/bin/env bash
# plemo-flash.exe on its home platform's terms: taken out of the Windows
# download (the zip), run under wine as a console program, it uploads a
# firmware image into the simulated cartridge through COM5 (a
# pseudo-terminal), lists the ports it is handed, and refuses a port that is
# not there with exit status 3.
#   tests/cli/run-flash-under-wine.sh [WORK_DIR]   (default build-win/test-flash)
# Needs root (wine-env.sh) and the static Qt (tools/build-windows.sh makes it
# the first time, cached after). Run it under flock /tmp/plemo-wine.lock, as
# test.sh does: no two wine runs of this machine may overlap. Ends with the
# line "windows-flash: N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
work=$(readlink -m "${1:-$repo/build-win/test-flash}")
export WINEPREFIX=/tmp/plemo-wine-flash
com=5

say() { echo "windows-flash: $*" >&2; }
check_name=windows-flash
. tests/support/check.sh

# The download as a user gets it; the cartridge runs natively.
zip=$(tools/build-windows.sh | tail -n1)
tools/build.sh native --target plemo-cartsim >/dev/null
cartsim=$repo/build/sim/plemo-cartsim

rm -rf "$work"
mkdir -p "$work"
unzip -q "$zip" -d "$work/download"
exe=$work/download/plemo-flash.exe
head -c 70001 /dev/urandom >"$work/firmware.frm" # odd: the last block is short

headers=$(x86_64-w64-mingw32-objdump -p "$exe")
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
console_and_static() {
    grep -Eq '^Subsystem[[:space:]]+0*3[[:space:]]' <<<"$headers" &&
        ! grep -Eq 'qt6|libstdc|libgcc|winpthread' <<<"$dlls"
}
check "plemo-flash.exe is a console program needing only system DLLs ($dlls)" console_and_static

. tests/support/cartsim.sh
start_cartsim "$cartsim" "$work" "$work/cartsim.log"

# One wine session: the upload through COM5 as a user names it, the listing
# of the ports a test rig hands over, and a port that is not there.
say "running $exe under wine"
# shellcheck disable=SC2016 # expanded by the guarded shell
tools/wine-env.sh --com "$com=$work/line" bash -c '
    wineserver -p
    wine "$1" --port COM5 "Z:${2//\//\\}" >"$3/upload.out" 2>"$3/upload.err"; echo $? >"$3/upload.status"
    PLEMO_CANDIDATE_PORTS="\\\\.\\com5;\\\\.\\com6" wine "$1" --list-ports >"$3/list.out" 2>&1
    wine "$1" --port COM7 "Z:${2//\//\\}" >"$3/missing.out" 2>&1; echo $? >"$3/missing.status"
    wineserver -k' bash "$exe" "$work/firmware.frm" "$work" || true
stop_cartsim

check "the upload ends with exit status 0 ($(cat "$work/upload.status" 2>/dev/null))" \
    test "$(cat "$work/upload.status" 2>/dev/null)" = 0
check "it waits for the cartridge, then sums up the upload" \
    grep -q "^upload succeeded: 70,002 bytes written in .* line clean: " "$work/upload.out"
flash_holds_the_file() {
    cmp -n "$(stat -c %s "$work/firmware.frm")" "$work/flash.bin" "$work/firmware.frm" &&
        grep -q '^Waiting for Gameboy to Boot\.\.\.' "$work/upload.out"
}
check "the cartridge's flash holds the file from address 0" flash_holds_the_file
check "the cartridge was told once that the upload is over" \
    test "$(grep -c '^call: FinishUpload(0x8020000)' "$work/cartsim.log")" = 1
check "--list-ports shows COM5 free and leaves out COM6, which is not there" \
    grep -Eq '^  \\\\\.\\com5  free' "$work/list.out"
check "a port that is not there ends with exit status 3 ($(cat "$work/missing.status" 2>/dev/null))" \
    test "$(cat "$work/missing.status" 2>/dev/null)" = 3
if [ "$failed" -ne 0 ]; then
    say "logs in $work: upload.out, upload.err, list.out, missing.out, cartsim.log"
fi
check_summary
