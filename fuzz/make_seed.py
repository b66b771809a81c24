#!/usr/bin/env python3
"""Encodes a file as a sparse fuzz input for parse_fuzz: its non-zero runs
below LIMIT (all of them by default) as records, then its last byte.
usage: make_seed.py FLAGS INPUT OUTPUT [LIMIT]"""
import struct
import sys

def main():
    flags, source, target = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    data = open(source, 'rb').read()
    out = bytearray([flags])
    i, n = 0, len(data)
    limit = int(sys.argv[4], 0) if len(sys.argv) > 4 else n
    while i < min(n, limit):
        if data[i] == 0:
            i += 1
            continue
        j = i
        # a run ends at 16 zero bytes in a row or at the record limit
        zeros = 0
        while j < n and j - i < 0xFFFF and zeros < 16:
            zeros = zeros + 1 if data[j] == 0 else 0
            j += 1
        run = data[i:j].rstrip(b'\0')
        out += struct.pack('<IH', i, len(run)) + run
        i = j
    # mark the end of the file so the decoded size matches
    if n:
        out += struct.pack('<IH', n - 1, 1) + data[n - 1:n]
    open(target, 'wb').write(out)

if __name__ == '__main__':
    main()
