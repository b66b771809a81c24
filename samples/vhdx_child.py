#!/usr/bin/env python3
"""Writes a differencing VHDX that turns BASE's disk into DISK over PARENT.

usage: vhdx_child.py PARENT BASE DISK OUT

PARENT is the VHDX image of the raw disk BASE; DISK is the raw disk the child
must present. Blocks that do not differ stay in the parent; blocks that differ
in most of their sectors are stored whole (fully present), the others sector
by sector (partially present, through the chunk's sector bitmap). The child's
parent locator names PARENT by its file name and by its data write GUID.
Standard library only; the format is written from its published layout.
"""
import os
import struct
import sys
import uuid

MiB = 1 << 20
BLOCK = MiB
SECTOR = 512

BAT_REGION = uuid.UUID("2DC27766-F623-4200-9D64-115E9BFD4A08")
METADATA_REGION = uuid.UUID("8B7CA206-4790-4B9A-B8FE-575F050F886E")
FILE_PARAMETERS = uuid.UUID("CAA16737-FA36-4D43-B3B6-33F0AA44E76B")
VIRTUAL_DISK_SIZE = uuid.UUID("2FA54224-CD1B-4876-B211-5DBED83BF4B8")
PAGE83 = uuid.UUID("BECA12AB-B2E6-4523-93EF-C309E000C746")
LOGICAL_SECTOR = uuid.UUID("8141BF1D-A96F-4709-BA47-F233A8FAAB5F")
PHYSICAL_SECTOR = uuid.UUID("CDA348C7-445D-4471-9CC9-E9885251C556")
PARENT_LOCATOR = uuid.UUID("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C")
LOCATOR_TYPE = uuid.UUID("B04AEFB7-D19E-4A81-B789-25B8E9445913")

NOT_PRESENT, FULLY_PRESENT, PARTIALLY_PRESENT, SB_PRESENT = 0, 6, 7, 6


def crc32c(data):
    table = crc32c.table
    crc = 0xFFFFFFFF
    for byte in data:
        crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


crc32c.table = []
for n in range(256):
    c = n
    for _ in range(8):
        c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
    crc32c.table.append(c)


def sealed(structure):
    """The structure with its CRC-32C stored at offset 4."""
    structure = bytearray(structure)
    structure[4:8] = b"\0\0\0\0"
    structure[4:8] = struct.pack("<I", crc32c(structure))
    return bytes(structure)


def current_data_write_guid(parent):
    """The data write GUID of the parent's current header."""
    with open(parent, "rb") as f:
        headers = []
        for offset in (64 * 1024, 128 * 1024):
            f.seek(offset)
            h = f.read(4096)
            if h[:4] == b"head" and sealed(h) == h:
                headers.append((struct.unpack_from("<Q", h, 8)[0], uuid.UUID(bytes_le=h[32:48])))
    if not headers:
        sys.exit("vhdx_child: %s: no valid header" % parent)
    return max(headers)[1]


def metadata(disk_size, physical_sector, parent_name, linkage):
    entries, values = [], bytearray()

    def item(guid, value, flags):
        offset = 64 * 1024 + len(values)
        entries.append(guid.bytes_le + struct.pack("<IIII", offset, len(value), flags, 0))
        values.extend(value)
        values.extend(b"\0" * (-len(values) % 8))

    required, virtual_disk = 4, 2
    item(FILE_PARAMETERS, struct.pack("<II", BLOCK, 2), required)  # bit 1: has a parent
    item(VIRTUAL_DISK_SIZE, struct.pack("<Q", disk_size), required | virtual_disk)
    item(PAGE83, uuid.uuid4().bytes_le, required | virtual_disk)
    item(LOGICAL_SECTOR, struct.pack("<I", SECTOR), required | virtual_disk)
    item(PHYSICAL_SECTOR, struct.pack("<I", physical_sector), required | virtual_disk)
    # The driver takes relative_path; readers that want an absolute path
    # (libvhdi) find the parent by its final component.
    pairs = [("parent_linkage", "{%s}" % linkage), ("relative_path", ".\\" + parent_name),
             ("absolute_win32_path", "\\\\?\\C:\\pontor\\samples\\" + parent_name)]
    header_size = 20 + 12 * len(pairs)
    strings, table = bytearray(), bytearray()
    for key, value in pairs:
        k, v = key.encode("utf-16-le"), value.encode("utf-16-le")
        table += struct.pack("<IIHH", header_size + len(strings), header_size + len(strings) + len(k), len(k), len(v))
        strings += k + v
    item(PARENT_LOCATOR, LOCATOR_TYPE.bytes_le + struct.pack("<HH", 0, len(pairs)) + table + strings, required)
    region = bytearray(MiB)
    region[0:32] = b"metadata" + struct.pack("<HH", 0, len(entries)) + b"\0" * 20
    for i, e in enumerate(entries):
        region[32 + 32 * i:64 + 32 * i] = e
    region[64 * 1024:64 * 1024 + len(values)] = values
    return bytes(region)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__.strip().splitlines()[2])
    parent, base_path, disk_path, out = sys.argv[1:]
    base, disk = open(base_path, "rb").read(), open(disk_path, "rb").read()
    if len(base) != len(disk) or len(disk) % BLOCK:
        sys.exit("vhdx_child: BASE and DISK must be of one size, a whole number of MiB")
    with open(parent, "rb") as f:
        f.seek(0)
        if f.read(8) != b"vhdxfile":
            sys.exit("vhdx_child: %s is not a VHDX file" % parent)

    blocks = len(disk) // BLOCK
    chunk_ratio = (SECTOR << 23) // BLOCK
    chunks = (blocks + chunk_ratio - 1) // chunk_ratio
    bat_entries = chunks * (chunk_ratio + 1)
    bat_length = (bat_entries * 8 + MiB - 1) // MiB * MiB
    data_start = 3 * MiB + bat_length

    bat = bytearray(bat_length)
    payload = bytearray()
    bitmaps = {}
    for b in range(blocks):
        old, new = base[b * BLOCK:(b + 1) * BLOCK], disk[b * BLOCK:(b + 1) * BLOCK]
        if old == new:
            continue
        differing = [s for s in range(BLOCK // SECTOR) if old[s * SECTOR:(s + 1) * SECTOR] != new[s * SECTOR:(s + 1) * SECTOR]]
        state = FULLY_PRESENT if 2 * len(differing) > BLOCK // SECTOR else PARTIALLY_PRESENT
        offset = data_start + len(payload)
        payload += new
        struct.pack_into("<Q", bat, 8 * (b + b // chunk_ratio), offset | state)
        if state == PARTIALLY_PRESENT:
            bits = bitmaps.setdefault(b // chunk_ratio, bytearray(MiB))
            for s in differing:
                sector = (b % chunk_ratio) * (BLOCK // SECTOR) + s
                bits[sector // 8] |= 1 << (sector % 8)
    for chunk, bits in sorted(bitmaps.items()):
        offset = data_start + len(payload)
        payload += bits
        struct.pack_into("<Q", bat, 8 * (chunk * (chunk_ratio + 1) + chunk_ratio), offset | SB_PRESENT)

    physical = 4096
    image = bytearray(data_start)
    image[0:8] = b"vhdxfile"
    creator = "pontor samples/vhdx_child.py".encode("utf-16-le")
    image[8:8 + len(creator)] = creator
    file_write, data_write = uuid.uuid4(), uuid.uuid4()
    for copy, offset in enumerate((64 * 1024, 128 * 1024)):
        header = bytearray(4096)
        header[0:4] = b"head"
        struct.pack_into("<Q", header, 8, 1 - copy)  # copy 1 is current
        header[16:32] = file_write.bytes_le
        header[32:48] = data_write.bytes_le
        struct.pack_into("<HHIQ", header, 64, 0, 1, MiB, MiB)  # log version, version, log length, log offset
        image[offset:offset + 4096] = sealed(header)
    regions = bytearray(64 * 1024)
    regions[0:16] = b"regi" + struct.pack("<III", 0, 2, 0)
    regions[16:48] = BAT_REGION.bytes_le + struct.pack("<QII", 3 * MiB, bat_length, 1)
    regions[48:80] = METADATA_REGION.bytes_le + struct.pack("<QII", 2 * MiB, MiB, 1)
    for offset in (192 * 1024, 256 * 1024):
        image[offset:offset + 64 * 1024] = sealed(regions)
    image[2 * MiB:3 * MiB] = metadata(len(disk), physical, os.path.basename(parent), current_data_write_guid(parent))
    image[3 * MiB:3 * MiB + bat_length] = bat
    with open(out, "wb") as f:
        f.write(image)
        f.write(payload)
    counts = {}
    for b in range(blocks):
        state = struct.unpack_from("<Q", bat, 8 * (b + b // chunk_ratio))[0] & 7
        counts[state] = counts.get(state, 0) + 1
    print("%s: %d blocks: %d fully present, %d partially present, %d in the parent" %
          (out, blocks, counts.get(FULLY_PRESENT, 0), counts.get(PARTIALLY_PRESENT, 0), counts.get(NOT_PRESENT, 0)))


if __name__ == "__main__":
    main()
