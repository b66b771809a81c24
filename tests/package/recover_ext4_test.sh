#!/usr/bin/env bash
# The README's recovery recipe, as a user would follow it on the disk of a
# WSL2 distribution or Docker that crashed: a whole-disk ext4 (no partition
# table) in a VHDX whose log was not replayed, and whose ext4 journal also
# needs recovery. 'pontor mount' serves the disk with the log applied in
# memory: the served bytes are the disk after the log, the kernel mounts it
# at offset 0 with -o ro,noload (and refuses without noload, as the journal
# cannot be replayed read-only), and the image file is never written. With
# --ignore-log the served bytes are the disk before the log. Exits 77
# (skipped), with the reason, where root, a loop device, FUSE or a tool is
# missing.
# usage: recover_ext4_test.sh PONTOR MAKE_LOGGED
set -euo pipefail
pontor=$1 make_logged=$2
. "$(dirname "$0")/loop_mount.sh" recover_ext4_test
needs_loop_mount mkfs.ext4

work=$(mktemp -d)
cleanup() {
    set +e
    if mountpoint -q "$work/fs"; then
        umount "$work/fs" || umount -l "$work/fs"
    fi
    for device in $(losetup -j "$work/mnt/ext4-flat.vmdk" -O NAME -n 2>/dev/null); do
        losetup -d "$device"
    done
    if mountpoint -q "$work/mnt"; then
        fusermount3 -u "$work/mnt" 2>/dev/null || fusermount3 -uz "$work/mnt"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
mkdir images mnt fs

# The disk before the crash, and after it: a file written, the journal left
# needing recovery.
seq 1 20000 >recovered.txt
echo "written before the crash" >notes.txt
truncate -s 64M before.raw
mkfs.ext4 -q -F -L wsl before.raw
debugfs -w -R "write notes.txt notes.txt" before.raw >/dev/null 2>&1
cp --sparse=always before.raw after.raw
debugfs -w -f - after.raw >/dev/null 2>&1 <<'COMMANDS'
write recovered.txt recovered.txt
feature needs_recovery
COMMANDS
"$make_logged" before.raw after.raw images/ext4.vhdx >/dev/null

"$pontor" check images/ext4.vhdx >check.out 2>&1 && fail "check found no log: $(<check.out)"
grep -q "on Linux, 'pontor mount'" check.out || fail "check names no way forward: $(<check.out)"
"$pontor" stub create images/ext4.vhdx 2>refused.err && fail "stub create took a dirty image"
grep -q "on Windows, 'pontor replay" refused.err || fail "stub create said: $(<refused.err)"
"$pontor" stub create --force images/ext4.vhdx 2>/dev/null >/dev/null
sum=$(sha256sum <images/ext4.vhdx) mtime=$(stat -c %Y.%y images/ext4.vhdx)

"$pontor" mount images mnt 2>mount.err
grep -q "images/ext4.vhdx: its log was not replayed; 1 entry (sequence 1 to 1) applied in memory" mount.err ||
    fail "the mount said: $(<mount.err)"
cmp mnt/ext4-flat.vmdk after.raw || fail "the served disk is not the disk after the log"
! mount -o ro,loop mnt/ext4-flat.vmdk fs 2>/dev/null || fail "the kernel mounted a journal needing recovery read-only"
mount -o ro,loop,noload mnt/ext4-flat.vmdk fs || fail "the kernel did not mount the served ext4 with noload"
cmp fs/recovered.txt recovered.txt || fail "recovered.txt: not the bytes written before the crash"
cmp fs/notes.txt notes.txt || fail "notes.txt differs"
umount fs
fusermount3 -u mnt

"$pontor" mount --ignore-log images mnt 2>mount.err
[[ ! -s mount.err ]] || fail "--ignore-log: the mount said: $(<mount.err)"
cmp mnt/ext4-flat.vmdk before.raw || fail "--ignore-log: the served disk is not the disk as it stands"
fusermount3 -u mnt

[[ $(sha256sum <images/ext4.vhdx) == "$sum" && $(stat -c %Y.%y images/ext4.vhdx) == "$mtime" ]] ||
    fail "the image file changed"
echo "recover_ext4_test: the kernel mounted the ext4 of a dirty VHDX as its log leaves it; the file is as it was"
