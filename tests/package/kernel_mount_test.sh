#!/usr/bin/env bash
# The served disk read by the Linux kernel, directly and through QEMU. The
# sample chain's stub and descriptor are written by 'pontor stub create' and
# mounted with 'pontor mount'. First the kernel mounts the ext4 file system
# in the child's partition read-only through a loop device over the stub's
# FUSE file. Then QEMU's vmdk driver opens the descriptor, which names the
# stub as its flat extent: qemu-img reports the extent and the served size
# and finds the disk identical to 'pontor cat', and qemu-storage-daemon
# exports it read-only as a FUSE file, over which the kernel mounts the ext4
# again: the kernel, QEMU's vmdk driver and our mount in one chain. Both
# times the listing and every file's bytes must be the sample's known
# contents and what debugfs reads from the same disk. Exits 77 (skipped),
# with the reason, where root, a loop device, FUSE or a tool is missing.
# usage: kernel_mount_test.sh PONTOR CHAIN_TAR_GZ
set -euo pipefail
pontor=$1 chain=$2
. "$(dirname "$0")/loop_mount.sh" kernel_mount_test
needs_loop_mount qemu-img qemu-storage-daemon

work=$(mktemp -d)
unmount() {  # a mount over $1, and the loop devices left on the file $2
    if mountpoint -q "$1"; then
        umount "$1" || umount -l "$1" || true
    fi
    for device in $(losetup -j "$2" -O NAME -n 2>/dev/null); do
        losetup -d "$device" || true
    done
}
cleanup() {
    set +e  # each step, whatever the last one did
    unmount "$work/fs" "$work/mnt/child-flat.vmdk"
    unmount "$work/fs" "$work/export.raw"
    local daemon
    daemon=$(cat "$work/qsd.pid" 2>/dev/null)
    if [[ -n $daemon ]]; then
        kill "$daemon" 2>/dev/null
        for _ in $(seq 50); do
            kill -0 "$daemon" 2>/dev/null || break
            sleep 0.1
        done
    fi
    if mountpoint -q "$work/export.raw" 2>/dev/null; then
        fusermount3 -u "$work/export.raw" 2>/dev/null || fusermount3 -uz "$work/export.raw"
    fi
    if mountpoint -q "$work/mnt"; then
        fusermount3 -u "$work/mnt" 2>/dev/null || fusermount3 -uz "$work/mnt"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/images" "$work/mnt" "$work/fs"
tar -xzf "$chain" -C "$work/images"
cd "$work"
seq 1 400000 >numbers.expected

# The ext4 mounted at fs holds the sample's files, as debugfs reads them
# from the disk file $1.
check_files() {
    local listing file expected
    listing=$(cd fs && find . -mindepth 1 | sort | paste -sd' ')
    [[ $listing == "./README.txt ./changes.txt ./hello.txt ./lost+found ./numbers.txt" ]] ||
        fail "$1: listing: $listing"
    while IFS='|' read -r file expected; do
        if [[ $expected == @* ]]; then
            cmp "fs/$file" "${expected#@}" || fail "$1: $file: not the sample's contents"
        else
            [[ $(<"fs/$file") == "$expected" ]] ||
                fail "$1: $file: '$(<"fs/$file")', expected '$expected'"
        fi
        debugfs -R "cat /$file" "$1?offset=1048576" 2>/dev/null >"$file.debugfs"
        cmp "fs/$file" "$file.debugfs" || fail "$1: $file: the kernel and debugfs read different bytes"
    done <<'FILES'
hello.txt|Hello from the differencing child: this file was rewritten there.
README.txt|This file was written into the base image and is served from the parent.
changes.txt|This file exists only in the child.
numbers.txt|@numbers.expected
FILES
    ! touch fs/new 2>/dev/null || fail "$1: a read-only mount took a new file"
}

"$pontor" stub create images/child.vhdx >stub.out
grep -q "images/child-flat.vmdk: stub for child.vhdx, serving 33554432 bytes" stub.out &&
    grep -q "images/child.vmdk: descriptor of child-flat.vmdk, 65536 sectors" stub.out ||
    fail "stub create said: $(<stub.out)"
"$pontor" mount images mnt

mount -o ro,loop,offset=1048576 mnt/child-flat.vmdk fs || fail "the kernel did not mount the served disk's ext4"
check_files mnt/child-flat.vmdk
umount fs
[[ -z $(losetup -j mnt/child-flat.vmdk -n 2>/dev/null) ]] || fail "the loop device outlived the mount"

# QEMU's vmdk driver on the descriptor, through the mount.
qemu-img info --output=json "$work/mnt/child.vmdk" >info.json
grep -q '"filename": "'"$work"'/mnt/child-flat.vmdk"' info.json &&
    grep -q '"virtual-size": 33554432,' info.json || fail "qemu-img info: $(<info.json)"
"$pontor" cat images/child-flat.vmdk -o served.raw
compared=$(qemu-img compare -f vmdk -F raw "$work/mnt/child.vmdk" served.raw) ||
    fail "qemu-img compare: $compared"
[[ $compared == "Images are identical." ]] || fail "qemu-img compare: $compared"

: >export.raw  # a FUSE export's mount point is a regular file
qemu-storage-daemon \
    --blockdev driver=file,node-name=descriptor,filename="$work/mnt/child.vmdk",read-only=on \
    --blockdev driver=vmdk,node-name=disk,file=descriptor,read-only=on \
    --export type=fuse,id=served,node-name=disk,mountpoint="$work/export.raw",writable=off \
    --pidfile "$work/qsd.pid" --daemonize || fail "qemu-storage-daemon did not export the descriptor's disk"
[[ $(stat -c %s export.raw) -eq 33554432 ]] || fail "the export is $(stat -c %s export.raw) bytes"
mount -o ro,loop,offset=1048576 export.raw fs || fail "the kernel did not mount the ext4 through qemu's export"
check_files export.raw
umount fs
[[ -z $(losetup -j export.raw -n 2>/dev/null) ]] || fail "the loop device outlived the mount"
kill "$(<qsd.pid)"
rm -f qsd.pid
for _ in $(seq 100); do
    mountpoint -q export.raw || break
    sleep 0.1
done
! mountpoint -q export.raw || fail "qemu-storage-daemon left its export mounted"

fusermount3 -u mnt
echo "kernel_mount_test: the kernel mounted the served ext4, directly and through qemu's vmdk driver, and read the sample's files"
