# shellcheck shell=bash
# The simulated cartridges for the shell tests, sourced: each runs natively
# at full speed on a pseudo-terminal linked as LINK (default WORK/line),
# boots after a few handshakes (a Game Boy switched on after Upload was
# pressed), logs every call to LOG and writes its flash to WORK/flash.bin
# when it stops. It answers in the reply style PLEMO_REPLY_STYLE
# (plemo-cartsim --reply-style; default exact). Several may run at once,
# each with a folder of its own.
#   . tests/support/cartsim.sh
#   start_cartsim CARTSIM WORK LOG [LINK]   the link is there, or the test ends
#   stop_cartsim [WORK]    that cartridge, or every one (also on exit, unless
#                          the caller has an EXIT trap: then call it from there)
declare -gA cartsim_pids=()

start_cartsim() {
    local cartsim=$1 work=$2 log=$3 link=${4:-$2/line}
    [ -z "${cartsim_pids[$work]:-}" ] || { echo "a cartridge already runs in $work" >&2; exit 1; }
    "$cartsim" --link "$link" --full-speed --verbose --boot-after-handshakes 3 \
        --dump "$work/flash.bin" --reply-style "${PLEMO_REPLY_STYLE:-exact}" >"$log" 2>&1 &
    cartsim_pids[$work]=$!
    [ -n "$(trap -p EXIT)" ] || trap stop_cartsim EXIT
    for _ in $(seq 50); do
        [ -L "$link" ] && return 0
        sleep 0.1
    done
    cat "$log" >&2
    echo "the cartridge made no port" >&2
    exit 1
}

stop_cartsim() {
    local works=("$@") work pid
    [ $# -gt 0 ] || works=("${!cartsim_pids[@]}")
    for work in "${works[@]}"; do
        pid=${cartsim_pids[$work]:-}
        [ -n "$pid" ] || continue
        unset "cartsim_pids[$work]"
        if kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid"
        fi
        wait "$pid" || true
    done
}
