#!/usr/bin/env bash
# Run by the Windows serial tests' ctest, inside their tools/wine-env.sh
# session (one warm wineserver, COM links to the test's ptys): a name like
# /dev/ttyACM<n> that links to something that is no serial device (the
# program tests link a cartridge's pty so for a few seconds, also during
# this session) must not make the next wine-env.sh call take the session's
# server for an unguarded one, stop it and drop the session's COM links.
#   tests/tools/wine_env_session_test.sh      (exit 77: not in such a session)
# Ends with "wine-env: N passed, M failed".
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
[ -n "${WINEPREFIX:-}" ] && [ -L "$WINEPREFIX/dosdevices/com5" ] ||
    { echo "wine-env: not inside the serial tests' wine session"; exit 77; }
check_name=wine-env
. "$repo/tests/support/check.sh"

# The program tests pick their names under the same lock. Two names: one
# linked to /dev/null, one to the pty behind the session's COM5 (a killed
# program test leaves such a link behind, and a later pty takes its number).
exec 9>/tmp/plemo-run-upload-under-x.lock
flock 9
links=()
for n in $(seq 24 -1 0); do
    if [ ! -e "/dev/ttyACM$n" ] && [ ! -L "/dev/ttyACM$n" ]; then links+=("/dev/ttyACM$n"); fi
    [ "${#links[@]}" -eq 2 ] && break
done
[ "${#links[@]}" -eq 2 ] || { echo "wine-env: no two free /dev/ttyACM names"; exit 77; }
trap 'rm -f "${links[@]}"' EXIT
com5=$(readlink "$WINEPREFIX/dosdevices/com5")
pty=$(readlink -f "$com5")
ln -s /dev/null "${links[0]}"
ln -s "$pty" "${links[1]}"

out=$("$repo/tools/wine-env.sh" wine cmd /c exit 2>&1)
status=$?
check "a wine command runs (exit $status)" test "$status" -eq 0
server_kept() { ! grep -q 'stopping unguarded' <<<"$out"; }
check "the session's wineserver is kept" server_kept
check "the session's COM links stay" test "$(readlink "$WINEPREFIX/dosdevices/com5")" = "$com5"
# Hidden behind /dev/null, the pty would no longer open as a serial port.
check "behind the guard, COM5's pty is still a terminal" \
    "$repo/tools/wine-env.sh" stty -F "$pty"
check_summary
