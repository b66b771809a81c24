#!/usr/bin/env bash
# Regenerates samples/chain.tar.gz: a 32 MiB disk with an MBR partition table
# and an ext4 file system (base.vhdx, written by qemu-img), and a differencing
# child (child.vhdx) in which a file was added and another rewritten.
# Needs qemu-img, sfdisk, mkfs.ext4, debugfs and python3.
set -euo pipefail
cd "$(dirname "$0")"
here=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir files
printf 'Hello from the base image.\n' >files/hello.txt
printf 'This file was written into the base image and is served from the parent.\n' >files/README.txt
truncate -s 32M base.raw
printf 'label: dos\nlabel-id: 0x504f4e54\nstart=2048, type=83\n' | sfdisk -q base.raw
truncate -s 31M part.img
mkfs.ext4 -q -F -L pontor -U 4f4e544f-0000-4000-8000-000000000001 -E root_owner=0:0 -d files part.img
dd if=part.img of=base.raw bs=1M seek=1 conv=notrunc status=none

cp base.raw disk.raw
printf 'Hello from the differencing child: this file was rewritten there.\n' >hello.txt
printf 'This file exists only in the child.\n' >changes.txt
seq 1 400000 >numbers.txt  # a few whole blocks of the child
for command in "rm /hello.txt" "write hello.txt /hello.txt" "write changes.txt /changes.txt" \
               "write numbers.txt /numbers.txt"; do
    debugfs -w -R "$command" "disk.raw?offset=1048576" >/dev/null 2>&1
done

qemu-img convert -q -f raw -O vhdx -o subformat=dynamic,block_size=1M base.raw base.vhdx
python3 "$here/vhdx_child.py" base.vhdx base.raw disk.raw child.vhdx

tar -czf "$here/chain.tar.gz" --owner=0 --group=0 --mtime=2024-01-01 base.vhdx child.vhdx
echo "wrote samples/chain.tar.gz"
