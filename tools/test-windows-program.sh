#!/usr/bin/env bash
# The Windows program proved on its home platform's terms: plemo-upload.exe,
# built here and taken out of the Windows download (the zip), runs under
# wine on a private X display and uploads a ".bit" and a ".frm" file through
# its dialog into the simulated cartridge, driven with the keyboard as a
# user would. Judged by the cartridge's flash afterwards,
# its record of calls and screen text, and the program's exit status (wine
# offers no accessibility interface to read the dialog back). Once for each
# reply style of the cartridge: PLEMO_REPLY_STYLES (plemo-cartsim
# --reply-style), default "status random": ignored replies with a status,
# and random lengths.
#   tools/test-windows-program.sh [WORK_DIR]   (default build-win/test-program)
# Sets itself up (packages, the static Qt: ~15 min the first time, cached
# after). Screenshots go to PLEMO_SHOT_DIR (default WORK_DIR). Needs root.
# Ends with the line "windows-program: N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

# The cartridge's COM number: wine-env.sh takes test ports from COM5 up.
com=5
# The files as a user would type them: WORK_DIR is reached through Z:.
windows_path() { echo "Z:${1//\//\\}"; }

say() { echo "windows-program: $*" >&2; }

# --- The user at the keyboard (run by run-wine-gui.sh once the window shows) --
# Focus order of the dialog: Upload, Exit Program, File field, port box,
# Browse. The keys go through XTEST (no --window), with the window focused:
# events sent to a window lose their Shift, and "Z:" would arrive as "z;".

# Waits until the cartridge has been told N uploads have ended.
wait_for_finish() {
    local count=$1 i
    for i in $(seq 1 "$upload_timeout"); do
        [ "$(grep -c '^call: FinishUpload(' "$cartsim_log" || true)" -ge "$count" ] && return 0
        sleep 1
    done
    say "upload $count did not end within $upload_timeout s"
    return 1
}

# Types PATH into the File field and presses Upload; leaves focus on Upload.
upload() {
    xdotool key Tab Tab ctrl+a
    xdotool type --delay 15 "$1"
    xdotool key shift+Tab shift+Tab space
}

drive() {
    xdotool windowfocus --sync "$PLEMO_WINDOW"
    upload "$bit_windows"
    wait_for_finish 1
    sleep 1 # the dialog shows the result after telling the cartridge
    import -window "$PLEMO_WINDOW" "$shot_prefix-bit.png"
    upload "$frm_windows"
    wait_for_finish 2
    sleep 1
    import -window "$PLEMO_WINDOW" "$shot_prefix-result.png"
    xdotool key Tab space # Exit Program
}

if [ "${1:-}" = --drive ]; then
    drive
    exit
fi

# --- Set-up -------------------------------------------------------------------
work=$(readlink -m "${1:-$repo/build-win/test-program}")
shot_dir=$(readlink -m "${PLEMO_SHOT_DIR:-$work}")
export WINEPREFIX=/tmp/plemo-wine-program
upload_timeout=120
styles=${PLEMO_REPLY_STYLES:-status random}

tools/install-deps.sh build windows gui package >&2
zip=$(tools/build-windows.sh | tail -n1)
# The cartridge runs natively, built with the host's compiler and Qt, and
# so does the maker of the test's files.
tools/build.sh native --target plemo-cartsim plemo-upload-files >/dev/null
cartsim=$repo/build/sim/plemo-cartsim

# A picture left from an earlier run must not pass for this one's.
shots=()
for style in $styles; do shots+=("$shot_dir/windows-program-$style-"{start,bit,result}.png); done
rm -rf "$work" "${shots[@]}"
mkdir -p "$work" "$shot_dir"
bit=$work/cart_top.bit
frm=$work/firmware.frm
export bit_windows frm_windows upload_timeout
bit_windows=$(windows_path "$bit")
frm_windows=$(windows_path "$frm")
# The files and the flash they must leave, worked out from the files'
# fields alone (tests/support/bitfile.h), not by the program's reader.
"$repo/build/tests/support/plemo-upload-files" "$work"

# --- The run -------------------------------------------------------------------
check_name=windows-program
. tests/support/check.sh

# What a Windows user downloads: the zip, unpacked as they would.
unzip -q "$zip" -d "$work/download"
exe=$work/download/plemo-upload.exe
expected_listing() {
    printf '%s\n' README.txt plemo-upload.exe
    [ ! -f build-win/cli/plemo-flash.exe ] || echo plemo-flash.exe
}
zip_holds_the_programs_and_a_readme() {
    diff <(expected_listing | sort) <(cd "$work/download" && find . -type f -printf '%P\n' | sort) >&2
}
check "${zip##*/} holds the program(s) and README.txt, nothing else" \
    zip_holds_the_programs_and_a_readme
readme_is_for_windows() {
    grep -q $'\r$' "$work/download/README.txt" &&
        grep -qF "Plemo Upload Utility $(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" \
            "$work/download/README.txt"
}
check "README.txt names this version, with Windows line ends" readme_is_for_windows
built_from_this_checkout() {
    grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$repo" build-win/CMakeCache.txt
}
check "the .exe is built from this checkout's sources, in its own build-win" built_from_this_checkout

check "the .exe is windowed, static and looks for \\\\.\\comN" \
    tools/check-exe.sh "$exe"

. tests/support/cartsim.sh

# Inside the guard wine runs in, once wine has started (and has made its COM
# links to the machine's devices again), every COM name leads either to the
# cartridge or to /dev/null: none reaches a real serial device.
only_the_cartridge_is_reachable() {
    # shellcheck disable=SC2016 # expanded by the guarded shell
    tools/wine-env.sh --com "$com=$out/line" sh -c '
        wine cmd /c exit 0 >/dev/null 2>&1 || true
        null=$(stat -c %t:%T /dev/null)
        status=0
        for link in "$WINEPREFIX"/dosdevices/com*; do
            [ -e "$link" ] || continue
            target=$(readlink -f "$link")
            if [ "$target" = "$1" ]; then continue; fi
            case "$target" in /dev/*) ;; *) continue ;; esac # not a device
            if [ "$(stat -L -c %t:%T "$link")" != "$null" ]; then
                echo "windows-program: ${link##*/} reaches $target" >&2
                status=1
            fi
        done
        [ "$(readlink -f "$WINEPREFIX/dosdevices/com$2")" = "$1" ] || status=1
        wineserver -k
        exit $status' sh "$pty" "$com"
}

# The wine file trace records every CreateFile: the port discovery's names.
tried_ports() {
    grep -o 'trace:file:CreateFileW L"\\\\\\\\.\\\\com[0-9]*"' "$out/wine.log" |
        sed 's/.*com\([0-9]*\)"/\1/' | tr '\n' ' '
}
# Discovery first, then each of the two uploads on the port the box offered.
ports_opened_as_expected() { [ "$(tried_ports)" = "$(seq -s ' ' 1 50) $com $com " ]; }

# What the cartridge was told, in order: each upload's texts and its end.
cartridge_story() {
    grep -E '^(Uploading |Filesize is |Success$|Error$|call: FinishUpload\()' "$cartsim_log"
}
expected_story() {
    printf '%s\n' "Uploading $bit_windows" "Filesize is $(stat -c %s "$bit")" Success \
        'call: FinishUpload(0x8020000)' \
        "Uploading $frm_windows" "Filesize is $(stat -c %s "$frm")" Success \
        'call: FinishUpload(0x8020000)'
}
story_matches() { diff <(expected_story) <(cartridge_story) >&2; }

flash_region_matches() { # OFFSET LENGTH
    [ "$(stat -c %s "$out/flash.bin" 2>/dev/null)" = "$(stat -c %s "$work/expected-flash.bin")" ] ||
        return 1
    cmp <(tail -c +$(($1 + 1)) "$out/flash.bin" | head -c "$2") \
        <(tail -c +$(($1 + 1)) "$work/expected-flash.bin" | head -c "$2")
}

# One wine session for each style; the cartridge boots only after a few
# handshakes, as a Game Boy that is switched on after Upload was pressed.
for style in $styles; do
    out=$work/$style
    mkdir -p "$out"
    cartsim_log=$out/cartsim.log
    shot_prefix=$shot_dir/windows-program-$style
    export cartsim_log shot_prefix
    PLEMO_REPLY_STYLE=$style start_cartsim "$cartsim" "$out" "$cartsim_log"
    pty=$(readlink "$out/line")
    check "$style: no COM name reaches a real serial device; COM$com reaches the cartridge" \
        only_the_cartridge_is_reachable

    say "running $exe under wine, the cartridge answering in the $style style"
    program_status=0
    WINEDEBUG=+file PLEMO_SHOT_DIR=$shot_dir tools/run-wine-gui.sh \
        --com "$com=$out/line" --shot "$shot_prefix-start.png" \
        --drive "$repo/tools/test-windows-program.sh --drive" --timeout 300 \
        "$exe" >"$out/wine.log" 2>&1 || program_status=$?
    stop_cartsim

    check "$style: discovery tried \\\\.\\com1 to \\\\.\\com50 in order; each upload opened \\\\.\\com$com" \
        ports_opened_as_expected
    check "$style: the cartridge was told of the .bit, then the .frm upload, each a success" story_matches
    check "$style: the .bit file's 128 KiB image is in flash at 0x3C0000" \
        flash_region_matches $((0x3C0000)) $((0x20000))
    check "$style: the .frm file is in flash at 0, byte for byte" \
        flash_region_matches 0 "$(stat -c %s "$frm")"
    check "$style: the rest of the flash is still erased" cmp "$out/flash.bin" "$work/expected-flash.bin"
    check "$style: Exit Program ends the program with exit code 0 (it gave $program_status)" \
        test "$program_status" -eq 0
done

no_link_to_a_real_device() {
    local link
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [ -L "$link" ] || continue
        case "$(readlink -m "$link")" in /dev/ttyS* | /dev/ttyUSB* | /dev/ttyACM*) return 1 ;; esac
    done
}
check "afterwards the wine prefix links no COM name to a real serial device" \
    no_link_to_a_real_device

for shot in "${shots[@]}"; do
    if [ -f "$shot" ]; then
        say "screenshot $shot"
    fi
done
if [ "$failed" -ne 0 ]; then
    say "logs: $work/STYLE/cartsim.log, $work/STYLE/wine.log"
fi
check_summary
