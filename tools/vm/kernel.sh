#!/usr/bin/env bash
# Debian's own kernel for the test machine, unpacked into the build folder:
# the package that linux-image-amd64 names is downloaded and unpacked with
# dpkg-deb (nothing is installed, /boot is not touched), and its compressed
# kernel is unpacked once more into a plain vmlinux, which boots faster
# under software emulation. Kept between runs, keyed by the package name.
#   tools/vm/kernel.sh DIR   prints the kernel folder: DIR/<package>
# The folder holds vmlinux and lib/modules/<version>/.
set -euo pipefail
dir=$1
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
package=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
if [ -z "$package" ]; then
    echo "kernel.sh: apt knows no linux-image-amd64 (run apt-get update)" >&2
    exit 1
fi
tree=$dir/$package
if [ ! -f "$tree/vmlinux" ]; then
    rm -rf "$tree" "$dir"/download
    mkdir -p "$dir/download"
    (cd "$dir/download" && apt-get download -q "$package" >&2)
    dpkg-deb -x "$dir"/download/"$package"_*.deb "$tree"
    rm -rf "$dir/download"
    # The bzImage carries the kernel as an xz stream after its set-up code.
    python3 - "$tree"/boot/vmlinuz-* "$tree/vmlinux.part" <<'PY'
import lzma, sys
data = open(sys.argv[1], 'rb').read()
start = data.find(b'\xfd7zXZ\x00')
if start < 0:
    sys.exit('kernel.sh: no xz stream in ' + sys.argv[1])
out = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[start:])
if out[:4] != b'\x7fELF':
    sys.exit('kernel.sh: the unpacked kernel is not an ELF file')
open(sys.argv[2], 'wb').write(out)
PY
    mv "$tree/vmlinux.part" "$tree/vmlinux"
fi
echo "$tree"
