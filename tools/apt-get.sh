#!/usr/bin/env bash
# apt-get as the project's scripts run it: no questions, and a lock held by
# another apt run (an unattended upgrade on a new machine does this for
# minutes) is waited for, up to 5 minutes, instead of failing at once.
#   tools/apt-get.sh ARGUMENTS...
# apt's own DPkg::Lock::Timeout covers the dpkg lock but not the package
# lists' lock that "update" takes, and waits without a word under -qq: so
# the wait is done here, for both, and said. A run that could not get a
# lock has done nothing yet and is simply tried again.
set -uo pipefail
wait_s=300
export DEBIAN_FRONTEND=noninteractive
deadline=$((SECONDS + wait_s))
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
said=''
while :; do
    status=0
    apt-get "$@" 2>"$errors" || status=$?
    if [ "$status" -ne 0 ] && grep -q 'Could not get lock' "$errors" && [ "$SECONDS" -lt "$deadline" ]; then
        if [ -z "$said" ]; then
            echo "apt-get.sh: $(grep -m1 'Could not get lock' "$errors" | sed 's/^E: //')" >&2
            echo "apt-get.sh: waiting up to $((wait_s / 60)) minutes for it" >&2
            said=yes
        fi
        sleep 5
        continue
    fi
    cat "$errors" >&2
    [ -z "$said" ] || [ "$status" -ne 0 ] || echo "apt-get.sh: the lock was free again; done" >&2
    exit "$status"
done
