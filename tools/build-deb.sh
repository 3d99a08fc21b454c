#!/usr/bin/env bash
# Builds the Debian package in one command: the native build (preset
# "native"), then CPack.
#   tools/build-deb.sh      -> build/plemo-upload_<version>_amd64.deb
# The package's path is the last line of stdout; install it with
#   sudo apt install ./build/plemo-upload_<version>_amd64.deb
# Without root, missing build packages are named, not installed.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh build package >&2
tools/build.sh native >&2
rm -f build/plemo-upload_*.deb
cpack --preset deb >&2
ls "$PWD"/build/plemo-upload_*.deb
