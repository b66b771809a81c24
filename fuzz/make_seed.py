#!/usr/bin/env python3
"""Encodes a file as a sparse fuzz input: its non-zero runs below LIMIT (all
of them by default) as records, then its last byte.
  make_seed.py FLAGS INPUT OUTPUT [LIMIT]         for parse_fuzz
  make_seed.py --tool FLAGS INPUT OUTPUT [LIMIT]  one image of the tool's
      fuzzers (fuzz/tool_harness.h): an empty file, then up to 255 records"""
import struct
import sys

def records(data, limit):
    i, n = 0, len(data)
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
        yield struct.pack('<IH', i, len(run)) + run
        i = j
    # mark the end of the file so the decoded size matches
    if n:
        yield struct.pack('<IH', n - 1, 1) + data[n - 1:n]

def main():
    args = sys.argv[1:]
    tool = args[0] == '--tool'
    if tool:
        args = args[1:]
    flags, source, target = int(args[0]), args[1], args[2]
    data = open(source, 'rb').read()
    limit = int(args[3], 0) if len(args) > 3 else len(data)
    found = list(records(data, limit))
    if tool:
        found = found[:254] + found[-1:]  # the last record keeps the file's size
        out = bytes([0x80, flags, len(found)]) + b''.join(found)
    else:
        out = bytes([flags]) + b''.join(found)
    open(target, 'wb').write(out)

if __name__ == '__main__':
    main()
