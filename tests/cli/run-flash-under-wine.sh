#!/usr/bin/env bash
# plemo-flash.exe on its home platform's terms: taken out of the Windows
# download (the zip), run under wine as a console program, it uploads a
# firmware image side by side into two simulated cartridges through COM5
# and COM6 (pseudo-terminals) in one run, its --json records read back;
# it lists the ports it is handed and refuses a port that is not there
# with exit status 3; as a station it flashes COM5's cartridge and then
# COM6's, plugged in later, until a Ctrl-C ends it. All in one wine session.
#   tests/cli/run-flash-under-wine.sh [WORK_DIR]   (default build-win/test-flash)
# PLEMO_REPLY_STYLES: the two cartridges' styles (plemo-cartsim
# --reply-style), COM5's and COM6's, default "status random": ignored
# replies with a status, and random lengths.
# Needs root (wine-env.sh) and the static Qt (tools/build-windows.sh makes it
# the first time, cached after). Run it under flock /tmp/plemo-wine.lock, as
# test.sh does: no two wine runs of this machine may overlap. Ends with the
# line "windows-flash: N passed, M failed".
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
export WINEPREFIX=/tmp/plemo-wine-flash
read -ra styles <<<"${PLEMO_REPLY_STYLES:-status random}"
ports=(com5 com6)

say() { echo "windows-flash: $*" >&2; }
check_name=windows-flash

# The download as a user gets it, unpacked into WORK; the cartridges run
# natively. The checks run inside the wine session (wine-env.sh), whose COM5
# and COM6 lead to WORK/com5 and WORK/com6, the cartridges' links, there
# only while a cartridge is plugged in.
prepare_and_enter_session() {
    local work zip
    work=$(readlink -m "${1:-$repo/build-win/test-flash}")
    [ "${#styles[@]}" -eq 2 ] || { say "PLEMO_REPLY_STYLES names two styles, not '${styles[*]}'"; exit 2; }
    zip=$(tools/build-windows.sh | tail -n1)
    tools/build.sh native --target plemo-cartsim >/dev/null
    rm -rf "$work"
    mkdir -p "$work"
    unzip -q "$zip" -d "$work/download"
    head -c 70001 /dev/urandom >"$work/firmware.frm" # odd: the last block is short
    exec tools/wine-env.sh --com-later "5=$work/com5" --com-later "6=$work/com6" \
        "$repo/tests/cli/run-flash-under-wine.sh" --in-session "$work"
}
[ "${1:-}" = --in-session ] || prepare_and_enter_session "$@"

work=$2
exe=$work/download/plemo-flash.exe
firmware=$work/firmware.frm
firmware_name="Z:${firmware//\//\\}"
cartsim=$repo/build/sim/plemo-cartsim
. tests/support/check.sh
. tests/support/cartsim.sh
records=tests/support/records.py

end_session() {
    stop_cartsim
    wineserver -k || true
}
trap end_session EXIT
# The server opens the COM ports, and the first pty it opens becomes its
# controlling terminal: when that cartridge is unplugged the server gets a
# SIGHUP, on which Debian's wineserver dumps its objects, thousands of lines.
wineserver -p 2>"$work/wineserver.log"

headers=$(x86_64-w64-mingw32-objdump -p "$exe")
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
console_and_static() {
    grep -Eq '^Subsystem[[:space:]]+0*3[[:space:]]' <<<"$headers" &&
        ! grep -Eq 'qt6|libstdc|libgcc|winpthread' <<<"$dlls"
}
check "plemo-flash.exe is a console program needing only system DLLs ($dlls)" console_and_static

# The cartridge of PORT (com5, com6) plugged in for a run whose files are
# in RUN: its log and flash in RUN/PORT, in the port's reply style.
plug_in() { # RUN PORT
    local index=$((${2#com} - 5))
    mkdir -p "$1/$2"
    PLEMO_REPLY_STYLE=${styles[$index]} start_cartsim "$cartsim" "$1/$2" "$1/$2/cartsim.log" "$work/$2"
}

flash_holds_the_file() { # FOLDER
    cmp -n "$(stat -c %s "$firmware")" "$1/flash.bin" "$firmware"
}

# COM5 as the system names it, \\.\com5.
# shellcheck disable=SC1003 # a backslash before the closing quote
system_name() { printf '%s' '\\.\'"$1"; }

sorted_result_ports() { # RECORDS
    python3 "$records" ports "$1" | sort | tr '\n' ' '
}

# What the cartridges of a run (RUN, its records in RUN/records.jsonl) say
# of the upload: each port's one result a success with every byte
# confirmed, the file in its flash from address 0, the end of the upload
# told once.
check_uploads() { # RUN WHAT
    local port style
    check "$2: a result for each port and no other ($(sorted_result_ports "$1/records.jsonl"))" \
        test "$(sorted_result_ports "$1/records.jsonl")" = "$(system_name com5) $(system_name com6) "
    for port in "${ports[@]}"; do
        style=${styles[$((${port#com} - 5))]}
        check "$2, $port ($style style): the result says success, every byte confirmed" \
            python3 "$records" succeeded "$1/records.jsonl" "$(system_name "$port")"
        check "$2, $port ($style style): the cartridge's flash holds the file from address 0" \
            flash_holds_the_file "$1/$port"
        check "$2, $port ($style style): the cartridge was told once that the upload is over" \
            test "$(grep -c '^call: FinishUpload(0x8020000)' "$1/$port/cartsim.log")" = 1
    done
}

# Runs COMMAND, its exit status into FILE.
status_into() { # FILE COMMAND [ARG...]
    local file=$1 status=0
    shift
    "$@" || status=$?
    echo "$status" >"$file"
}
status_of() { cat "$1" 2>/dev/null || echo none; }

each_port_waits_then_sums_up() { # WORDS
    local port name words
    words=$(tr -d '\r' <"$1")
    for port in "${ports[@]}"; do
        name=$(system_name "$port")
        grep -Fxq "$name: Waiting for Gameboy to Boot..." <<<"$words" &&
            grep -Fq "$name: upload succeeded: 70,002 bytes written in " <<<"$words" || return 1
    done
}

lists_two_free_ports() { # LISTING
    grep -Eq '^  \\\\\.\\com5  free' "$1" && grep -Eq '^  \\\\\.\\com6  free' "$1" && ! grep -qi com7 "$1"
}

# Both cartridges in one run, as a bench of them is uploaded to; with them
# plugged in, the listing of the ports a test rig hands over; and a port
# that is not there.
side_by_side() { # RUN
    local run=$1 port
    mkdir -p "$run"
    for port in "${ports[@]}"; do plug_in "$run" "$port"; done
    say "running $exe under wine: COM5 and COM6 side by side (${styles[*]})"
    status_into "$run/status" wine "$exe" --json --port COM5 --port COM6 "$firmware_name" \
        >"$run/records.jsonl" 2>"$run/words.txt"
    PLEMO_CANDIDATE_PORTS="$(system_name com5);$(system_name com6);$(system_name com7)" \
        wine "$exe" --list-ports >"$run/list.out" 2>&1 || true
    stop_cartsim
    status_into "$run/missing.status" wine "$exe" --port COM7 "$firmware_name" >"$run/missing.out" 2>&1

    check "side by side: the run ends with exit status 0 ($(status_of "$run/status"))" \
        test "$(status_of "$run/status")" = 0
    check_uploads "$run" "side by side"
    check "side by side: on stderr each port's lines, the wait for its cartridge and its summary" \
        each_port_waits_then_sums_up "$run/words.txt"
    check "--list-ports shows COM5 and COM6 free and leaves out COM7, which is not there" \
        lists_two_free_ports "$run/list.out"
    check "a port that is not there ends with exit status 3 ($(status_of "$run/missing.status"))" \
        test "$(status_of "$run/missing.status")" = 3
}

# Whether PID is still running (a child that has ended stays a zombie until
# it is waited for).
running() { # PID
    local state
    state=$(ps -o stat= -p "$1") && [[ $state != Z* ]]
}

# PID's exit status once it has ended; killed if it has not within SECONDS.
ends_within() { # PID SECONDS
    local pid=$1 tenths
    for ((tenths = 0; tenths < $2 * 10; tenths++)); do
        running "$pid" || break
        sleep 0.1
    done
    if running "$pid"; then
        say "$pid has not ended after $2 s: killed"
        kill -KILL "$pid"
    fi
    wait "$pid"
}

# In the order of the records: COM5's result, then COM6's wait begins.
com6_met_after_com5_ended() { # RECORDS
    python3 "$records" events "$1" |
        ended="result $(system_name com5)" met="waiting $(system_name com6)" awk '
            $0 == ENVIRON["ended"] { seen = 1 }
            $0 == ENVIRON["met"] { found = 1; exit }
            END { exit !(found && seen) }'
}

# A station over COM5 and COM6: COM5's cartridge is there from the start,
# COM6's is plugged in only once COM5's upload has its result; then a
# Ctrl-C ends it. A Ctrl-C from the Linux side is a SIGINT to the process
# that "wine" becomes: wine passes it to the console's handlers as
# CTRL_C_EVENT ("wine taskkill" without /f only sends a console program's
# windows a close message, which it never sees).
station() { # RUN
    local run=$1 pid
    mkdir -p "$run"
    plug_in "$run" com5
    say "running $exe --station under wine: COM5's cartridge, then COM6's after COM5's result"
    PLEMO_CANDIDATE_PORTS="$(system_name com5);$(system_name com6)" \
        wine "$exe" --station --json "$firmware_name" >"$run/records.jsonl" 2>"$run/words.txt" &
    pid=$!
    if python3 "$records" wait "$run/records.jsonl" 1 60; then
        plug_in "$run" com6
        python3 "$records" wait "$run/records.jsonl" 2 60 || true
    fi
    kill -INT "$pid"
    status_into "$run/status" ends_within "$pid" 30
    stop_cartsim

    check "station: COM6's cartridge met only after COM5's result" \
        com6_met_after_com5_ended "$run/records.jsonl"
    check_uploads "$run" "station"
    check "station: Ctrl-C ends it with exit status 0 ($(status_of "$run/status"))" \
        test "$(status_of "$run/status")" = 0
    check "station: its last words count the two uploads" \
        grep -q '^station: 2 uploads, 2 succeeded' "$run/words.txt"
}

side_by_side "$work/side-by-side"
station "$work/station"
if [ "$failed" -ne 0 ]; then
    say "logs in $work: wineserver.log; side-by-side/, station/: records.jsonl, words.txt, list.out," \
        "missing.out, PORT/cartsim.log"
fi
check_summary
