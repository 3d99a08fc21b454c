# The simulated cartridge for the shell tests, sourced: it runs natively at
# full speed on a pseudo-terminal linked as WORK/line, boots after a few
# handshakes (a Game Boy switched on after Upload was pressed), logs every
# call and writes its flash to WORK/flash.bin when it stops. It answers in
# the reply style PLEMO_REPLY_STYLE (plemo-cartsim --reply-style; default
# exact).
#   . tests/support/cartsim.sh
#   start_cartsim CARTSIM WORK LOG   the line is there, or the test ends
#   stop_cartsim                     (also on exit)
start_cartsim() {
    local cartsim=$1 work=$2 log=$3
    "$cartsim" --link "$work/line" --full-speed --verbose --boot-after-handshakes 3 \
        --dump "$work/flash.bin" --reply-style "${PLEMO_REPLY_STYLE:-exact}" >"$log" 2>&1 &
    cartsim_pid=$!
    trap stop_cartsim EXIT
    for _ in $(seq 50); do
        [ -L "$work/line" ] && return 0
        sleep 0.1
    done
    cat "$log" >&2
    echo "the cartridge made no port" >&2
    exit 1
}

stop_cartsim() {
    if [ -n "${cartsim_pid:-}" ] && kill -0 "$cartsim_pid" 2>/dev/null; then
        kill -TERM "$cartsim_pid"
        wait "$cartsim_pid" || true
    fi
    trap - EXIT
}
