#!/usr/bin/env bash
# The test machine's initramfs: busybox, the kernel modules the rig needs
# (with what they depend on, in loading order) and tools/vm/init as /init.
# Everything else comes from the host's / mounted read-only over 9p.
#   tools/vm/make-initramfs.sh KERNEL_TREE OUT.cpio.gz
set -euo pipefail
tree=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
# busybox-static's busybox: the initramfs has no C library.
busybox=$(command -v busybox) || { echo "make-initramfs.sh: busybox is missing" >&2; exit 1; }
modules=$(echo "$tree"/lib/modules/*)
# The 9p root, the USB host and gadget sides, the serial drivers.
wanted="virtio_pci 9pnet_virtio 9p xhci_pci ftdi_sio cdc_acm dummy_hcd usb_f_acm"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,host,modules}
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$here/init" "$root/init"
chmod +x "$root/init"

# Each module after the modules it depends on (from their .modinfo).
python3 - "$modules" "$root/modules" $wanted <<'PY'
import os, re, shutil, sys
tree, dest, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
paths = {}
for folder, _, files in os.walk(tree):
    for name in files:
        if name.endswith('.ko'):
            paths[name[:-3].replace('-', '_')] = os.path.join(folder, name)
order = []
def load(name):
    name = name.replace('-', '_')
    if name in order:
        return
    data = open(paths[name], 'rb').read()
    found = re.search(rb'(?:^|\0)depends=([^\0]*)\0', data)
    for dependency in filter(None, (found.group(1).decode() if found else '').split(',')):
        load(dependency)
    order.append(name)
for name in wanted:
    load(name)
for name in order:
    shutil.copy(paths[name], os.path.join(dest, name + '.ko'))
open(os.path.join(dest, 'order'), 'w').write('\n'.join(order) + '\n')
PY
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out.part"
mv "$out.part" "$out"
