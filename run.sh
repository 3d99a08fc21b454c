#!/usr/bin/env bash
# Sets up what is missing, builds, and starts the utility.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh build
tools/build.sh native
exec build/ui/plemo-upload "$@"
