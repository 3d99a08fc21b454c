#!/usr/bin/env bash
# Configures and builds one variant of CMakePresets.json (default native:
# the programs, tests and benchmarks in build/). Configuring runs every time,
# so that the preset's options always hold, also in an older build folder.
#   tools/build.sh [PRESET] [cmake --build arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-native}
shift || true
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" "$@"
