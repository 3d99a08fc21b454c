#!/usr/bin/env bash
# apt-get as the project's scripts run it: no questions, and a lock held by
# another apt run (an unattended upgrade on a new machine does this for
# minutes) is waited for, up to 5 minutes, instead of failing at once.
#   tools/apt-get.sh ARGUMENTS...
set -euo pipefail
wait_s=300
export DEBIAN_FRONTEND=noninteractive
echo "apt-get $*  (waits up to $((wait_s / 60)) minutes for another apt run's lock)" >&2
exec apt-get -o DPkg::Lock::Timeout="$wait_s" "$@"
