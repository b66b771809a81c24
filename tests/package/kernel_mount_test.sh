#!/usr/bin/env bash
# The served disk read by the Linux kernel: the sample chain's stub is
# mounted with 'pontor mount', and the ext4 file system in the child's
# partition is mounted read-only through a loop device over the FUSE file.
# Its listing and every file's bytes must be the sample's known contents and
# what debugfs reads from the same served disk. Exits 77 (skipped), with the
# reason, where root, a loop device or FUSE cannot be had.
# usage: kernel_mount_test.sh PONTOR CHAIN_TAR_GZ
set -euo pipefail
pontor=$1 chain=$2
skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "kernel_mount_test: $*" >&2
    exit 1
}
[[ $(id -u) -eq 0 ]] || skip "not root: a loop mount needs root"
[[ -e /dev/loop-control ]] || skip "no loop devices here (/dev/loop-control is missing)"
losetup -f >/dev/null 2>&1 || skip "no free loop device (losetup -f failed)"
[[ -w /dev/fuse ]] || skip "no usable /dev/fuse"
for tool in fusermount3 debugfs; do
    command -v $tool >/dev/null || skip "$tool is not installed"
done

work=$(mktemp -d)
cleanup() {
    if mountpoint -q "$work/fs"; then
        umount "$work/fs" || umount -l "$work/fs" || true
    fi
    if mountpoint -q "$work/mnt"; then
        # A loop device that outlived its mount would keep the FUSE file busy.
        for device in $(losetup -j "$work/mnt/child.vmdk" -O NAME -n 2>/dev/null); do
            losetup -d "$device" || true
        done
        fusermount3 -u "$work/mnt" 2>/dev/null || fusermount3 -uz "$work/mnt" || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/images" "$work/mnt" "$work/fs"
tar -xzf "$chain" -C "$work/images"
cd "$work"

"$pontor" stub create images/child.vhdx >/dev/null
"$pontor" mount images mnt
mount -o ro,loop,offset=1048576 mnt/child.vmdk fs || fail "the kernel did not mount the served disk's ext4"

listing=$(cd fs && find . -mindepth 1 | sort | paste -sd' ')
[[ $listing == "./README.txt ./changes.txt ./hello.txt ./lost+found ./numbers.txt" ]] || fail "listing: $listing"
seq 1 400000 >numbers.expected
while IFS='|' read -r file expected; do
    if [[ $expected == @* ]]; then
        cmp "fs/$file" "${expected#@}" || fail "$file: not the sample's contents"
    else
        [[ $(<"fs/$file") == "$expected" ]] || fail "$file: '$(<"fs/$file")', expected '$expected'"
    fi
    debugfs -R "cat /$file" "mnt/child.vmdk?offset=1048576" 2>/dev/null >"$file.debugfs"
    cmp "fs/$file" "$file.debugfs" || fail "$file: the kernel and debugfs read different bytes"
done <<'FILES'
hello.txt|Hello from the differencing child: this file was rewritten there.
README.txt|This file was written into the base image and is served from the parent.
changes.txt|This file exists only in the child.
numbers.txt|@numbers.expected
FILES
! touch fs/new 2>/dev/null || fail "a read-only mount took a new file"

umount fs
[[ -z $(losetup -j mnt/child.vmdk -n 2>/dev/null) ]] || fail "the loop device outlived the mount"
fusermount3 -u mnt
echo "kernel_mount_test: the kernel mounted the served ext4 and read the sample's files"
