#!/usr/bin/env bash
# tools/apt-get.sh waits for a lock that another apt run holds, says so, and
# then does its work: an "apt-get update" against a scratch apt folder whose
# package lists' lock is held for a few seconds, the way apt itself holds it
# (an fcntl lock; python3 takes it). The machine's own apt is not touched.
#   tests/tools/apt_lock_test.sh        (exit 77: cannot run here)
# Ends with "apt-lock: N passed, M failed".
set -uo pipefail
tool=$(cd "$(dirname "$0")/../.." && pwd)/tools/apt-get.sh
command -v python3 >/dev/null || { echo "apt-lock: needs python3"; exit 77; }
check_name=apt-lock
. "$(dirname "$0")/../support/check.sh"
scratch=$(mktemp -d)
holder=''
trap '[ -z "$holder" ] || kill "$holder" 2>/dev/null; rm -rf "$scratch"' EXIT
mkdir -p "$scratch/etc/sources.list.d" "$scratch/state/lists/partial" "$scratch/cache/archives/partial"
: >"$scratch/etc/sources.list"
apt_options=(-o Dir::Etc="$scratch/etc" -o Dir::State="$scratch/state" -o Dir::Cache="$scratch/cache")

held_s=3
python3 -c '
import fcntl, sys, time
lock = open(sys.argv[1], "a")
fcntl.lockf(lock, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
time.sleep(float(sys.argv[3]))' "$scratch/state/lists/lock" "$scratch/held" "$held_s" &
holder=$!
for _ in $(seq 100); do [ -e "$scratch/held" ] && break; sleep 0.05; done

started=$SECONDS
"$tool" "${apt_options[@]}" update -qq >"$scratch/out" 2>&1
status=$?
took=$((SECONDS - started))
check "the update succeeds once the lock is free (exit $status)" test "$status" -eq 0
check "it waited for the lock (${took} s, held ${held_s} s)" test "$took" -ge "$held_s"
check "it said whose lock it waits for" grep -q 'Could not get lock .*lists/lock' "$scratch/out"
check "and that it goes on waiting" grep -q 'waiting up to 5 minutes' "$scratch/out"
check_summary
