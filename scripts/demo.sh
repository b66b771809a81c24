#!/usr/bin/env bash
# Builds everything, then serves the bundled sample through the driver: a
# differencing VHDX chain (samples/chain.tar.gz) holding a disk with an MBR
# partition table and an ext4 file system. Its stub and VMDK descriptor are
# mounted with 'pontor mount'; qemu-img opens the descriptor as a hypervisor
# would, standard tools read the stub and, where loop devices exist, the
# kernel mounts the served ext4 itself; without FUSE, the same disk is shown
# through 'pontor cat'.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
PONTOR=$PWD/build/release/tools/pontor

work=$(mktemp -d)
mounted=0
cleanup() {
    if mountpoint -q "$work/fs" 2>/dev/null; then
        umount "$work/fs" 2>/dev/null || umount -l "$work/fs" 2>/dev/null || true
    fi
    if ((mounted)); then
        fusermount3 -u "$work/mnt" 2>/dev/null || fusermount3 -uz "$work/mnt" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/images" "$work/mnt"
tar -xzf samples/chain.tar.gz -C "$work/images"
cd "$work"

pontor() { "$PONTOR" "$@"; }
run() {
    printf '\n$ %s\n' "$*"
    "$@"
}
quiet() { "$@" 2>/dev/null; }  # debugfs announces its version on stderr

echo
echo "== The sample: images/base.vhdx (written by qemu-img) and images/child.vhdx (its differencing child)"
run pontor info images/child.vhdx
run pontor check images/child.vhdx
run pontor map images/child.vhdx
run pontor stub create images/child.vhdx

disk=mnt/child-flat.vmdk
if [[ -w /dev/fuse ]] && command -v fusermount3 >/dev/null; then
    echo
    echo "== Mount images/ through the driver at mnt/"
    printf '\n$ pontor mount images mnt\n'
    pontor mount images mnt && mounted=1
fi
if ((mounted)); then
    run ls -l images/child-flat.vmdk images/child.vmdk mnt/child-flat.vmdk mnt/child.vmdk
    if command -v qemu-img >/dev/null; then
        echo
        echo "== QEMU's vmdk driver opens the descriptor, whose extent is the served stub"
        run qemu-img info mnt/child.vmdk
    fi
else
    echo
    echo "== FUSE is not available here (no usable /dev/fuse or fusermount3): the same disk through 'pontor cat'"
    run pontor cat images/child-flat.vmdk -o disk.raw
    disk=disk.raw
fi
run sfdisk -l "$disk"
printf '\n$ debugfs -R "cat /hello.txt" "%s?offset=1048576"    # rewritten in the child\n' "$disk"
quiet debugfs -R "cat /hello.txt" "$disk?offset=1048576"
printf '\n$ debugfs -R "cat /README.txt" "%s?offset=1048576"   # served from the parent\n' "$disk"
quiet debugfs -R "cat /README.txt" "$disk?offset=1048576"
printf '\n$ debugfs -R "ls -l /" "%s?offset=1048576"\n' "$disk"
quiet debugfs -R "ls -l /" "$disk?offset=1048576"
if ((mounted)); then
    run dd if="$disk" bs=4096 skip=256 count=1 status=none of=block.dd
    run pontor read images/child-flat.vmdk --offset 1048576 --length 4096 -o block.read --json
    run cmp block.dd block.read
    if [[ -e /dev/loop-control ]] && losetup -f >/dev/null 2>&1; then
        echo
        echo "== The kernel mounts the served disk's ext4 (read-only, through a loop device over mnt/child-flat.vmdk)"
        mkdir fs
        run mount -o ro,loop,offset=1048576 "$disk" fs
        run ls -l fs
        run cat fs/hello.txt fs/README.txt
        run tail -n 1 fs/numbers.txt
        run umount fs
    else
        echo
        echo "== No loop device here (/dev/loop-control, losetup -f): the kernel mount of the served ext4 is left out"
    fi
    run fusermount3 -u mnt
    mounted=0
fi
echo
echo "== Done."
