#!/usr/bin/env bash
# Installs the Debian packages a group of tasks needs, and only what is
# missing: a second run does no apt work at all.
#   tools/install-deps.sh GROUP...
# Groups: build (compile and unit tests), gui (a real window, screenshots),
# pty (serial tools), windows (cross-compiler and wine), fuzz (clang, libFuzzer),
# package (the .deb, the Windows zip and their checks), vm (a virtual machine
# with real kernel serial drivers: QEMU, a busybox initramfs, and what the
# dialog needs in it: an X server, xdotool, Qt's X platform, a font).
set -euo pipefail

packages_of() {
    case "$1" in
        build) echo cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools \
                    qt6-qpa-plugins libgl-dev libgtest-dev googletest librsvg2-bin \
                    libudev-dev ;;
        gui) echo xvfb xauth x11-apps imagemagick xdotool ;;
        pty) echo socat ;;
        windows) echo g++-mingw-w64-x86-64 mingw-w64-x86-64-dev wine wine64 fonts-wine dpkg-dev \
                      xz-utils ;;
        fuzz) echo clang libclang-rt-14-dev ;;
        package) echo dpkg-dev lintian desktop-file-utils appstream man-db zip unzip ;;
        vm) echo qemu-system-x86 busybox-static cpio python3 socat xvfb xdotool qt6-qpa-plugins \
                 fonts-dejavu-core ;;
        *) echo "install-deps: unknown group '$1'" >&2; exit 2 ;;
    esac
}

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for group in "$@"; do
    for package in $(packages_of "$group"); do
        is_installed "$package" || missing+=("$package")
    done
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "These Debian packages are missing; install them as root and run again:" >&2
    echo "  apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
apt=$(dirname "$0")/apt-get.sh
"$apt" update -qq
"$apt" install -y -qq --no-install-recommends "${missing[@]}"
