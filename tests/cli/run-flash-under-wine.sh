#!/usr/bin/env bash
# plemo-flash.exe on its home platform's terms: taken out of the Windows
# download (the zip), run under wine as a console program, it uploads a
# firmware image into the simulated cartridge through COM5 (a
# pseudo-terminal), lists the ports it is handed, and refuses a port that is
# not there with exit status 3; once for each reply style of the cartridge.
#   tests/cli/run-flash-under-wine.sh [WORK_DIR]   (default build-win/test-flash)
# PLEMO_REPLY_STYLES: the styles (plemo-cartsim --reply-style), default
# "status random": ignored replies with a status, and random lengths.
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

flash_holds_the_file() { # FOLDER
    cmp -n "$(stat -c %s "$work/firmware.frm")" "$1/flash.bin" "$work/firmware.frm" &&
        grep -q '^Waiting for Gameboy to Boot\.\.\.' "$1/upload.out"
}

. tests/support/cartsim.sh

# One wine session for each style: the upload through COM5 as a user names
# it, the listing of the ports a test rig hands over, and a port that is
# not there.
for style in ${PLEMO_REPLY_STYLES:-status random}; do
    out=$work/$style
    mkdir -p "$out"
    PLEMO_REPLY_STYLE=$style start_cartsim "$cartsim" "$out" "$out/cartsim.log"
    say "running $exe under wine, the cartridge answering in the $style style"
    # shellcheck disable=SC2016 # expanded by the guarded shell
    tools/wine-env.sh --com "$com=$out/line" bash -c '
        wineserver -p
        wine "$1" --port COM5 "Z:${2//\//\\}" >"$3/upload.out" 2>"$3/upload.err"; echo $? >"$3/upload.status"
        PLEMO_CANDIDATE_PORTS="\\\\.\\com5;\\\\.\\com6" wine "$1" --list-ports >"$3/list.out" 2>&1
        wine "$1" --port COM7 "Z:${2//\//\\}" >"$3/missing.out" 2>&1; echo $? >"$3/missing.status"
        wineserver -k' bash "$exe" "$work/firmware.frm" "$out" || true
    stop_cartsim

    check "$style: the upload ends with exit status 0 ($(cat "$out/upload.status" 2>/dev/null))" \
        test "$(cat "$out/upload.status" 2>/dev/null)" = 0
    check "$style: it waits for the cartridge, then sums up the upload" \
        grep -q "^upload succeeded: 70,002 bytes written in .* line clean: " "$out/upload.out"
    check "$style: the cartridge's flash holds the file from address 0" flash_holds_the_file "$out"
    check "$style: the cartridge was told once that the upload is over" \
        test "$(grep -c '^call: FinishUpload(0x8020000)' "$out/cartsim.log")" = 1
    check "$style: --list-ports shows COM5 free and leaves out COM6, which is not there" \
        grep -Eq '^  \\\\\.\\com5  free' "$out/list.out"
    check "$style: a port that is not there ends with exit status 3 ($(cat "$out/missing.status" 2>/dev/null))" \
        test "$(cat "$out/missing.status" 2>/dev/null)" = 3
done
if [ "$failed" -ne 0 ]; then
    say "logs in $work/STYLE: upload.out, upload.err, list.out, missing.out, cartsim.log"
fi
check_summary
