#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test:
#   native      the whole suite (offscreen Qt, pseudo-terminals, the real
#               program under a private Xvfb)
#   sanitizers  plemo-flash's uploads side by side and its station with TSan,
#               then the same suite built with ASan, LSan and UBSan
#   fuzz        a few seconds of each fuzzer from its seeds, as a regression check
#   package     the Debian package built and checked (tests/packaging)
#   windows-serial   the serial layer cross-built for Windows, under wine
#   windows-program  the Windows zip, its plemo-upload.exe uploading through
#                    its dialog under wine
#   windows-flash    the zip's plemo-flash.exe uploading from a console to two
#                    COM ports side by side, and as a station, under wine
#   vm          plemo-flash on real kernel serial drivers (FTDI, CDC-ACM, 16550)
#               in a QEMU machine under software emulation
# Every stage runs even when one before it failed; the last line adds them up.
# The wine stages take /tmp/plemo-wine.lock: two wine runs on one machine
# (another checkout's, a developer's) would break each other.
set -uo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh build gui pty windows fuzz package vm || exit 1

logs=build/test-logs
mkdir -p "$logs"
passed=0
failed=0

native() {
    tools/build.sh native && ctest --preset native
}

package() {
    local deb
    deb=$(tools/build-deb.sh | tail -n1) && tests/packaging/deb_test.sh "$deb"
}

wine_stage() {
    flock -n /tmp/plemo-wine.lock true ||
        echo "waiting for /tmp/plemo-wine.lock: another wine run holds it"
    flock /tmp/plemo-wine.lock "$@"
}

# Adds a stage's own closing count ("N tests failed out of M" from CTest, or
# "name: N passed, M failed" from a script) to the totals. A stage that
# failed before it counted anything counts as one failure.
count_stage() {
    local log=$1 status=$2 line
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+|^[a-z-]+: [0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
    if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
        passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
        failed=$((failed + BASH_REMATCH[1]))
    elif [[ $line =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed ]]; then
        passed=$((passed + BASH_REMATCH[1]))
        failed=$((failed + BASH_REMATCH[2]))
    fi
    if [ "$status" -ne 0 ] && [[ ! $line =~ [1-9][0-9]*\ (tests?\ )?failed ]]; then
        failed=$((failed + 1))
    fi
}

stage() {
    local name=$1 started status
    shift
    echo "=== $name"
    started=$(date +%s)
    "$@" 2>&1 | tee "$logs/$name.log"
    status=${PIPESTATUS[0]}
    echo "=== $name: exit $status after $(($(date +%s) - started)) s"
    count_stage "$logs/$name.log" "$status"
}

stage native native
stage sanitizers tools/test-sanitizers.sh
stage fuzz tools/test-fuzz.sh
stage package package
stage windows-serial wine_stage tools/test-windows-serial.sh
stage windows-program wine_stage tools/test-windows-program.sh
stage windows-flash wine_stage tests/cli/run-flash-under-wine.sh
stage vm tools/test-vm.sh

echo "all: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
