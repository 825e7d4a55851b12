#!/usr/bin/env python3
"""Writes a TIFF of many Group 4 pages that share one strip (an end-of-block code: white pages),
the file on which describing, and reading one page of thousands, are measured.

    many_fax_pages.py OUT.tif [PAGES [SIDE]]    65535 pages of 1024 x 1024 by default (4.3 MB)
"""
import struct
import sys

out_path = sys.argv[1]
pages = int(sys.argv[2]) if len(sys.argv) > 2 else 65535
side = int(sys.argv[3]) if len(sys.argv) > 3 else 1024
out = bytearray(b"II*\0\0\0\0\0\0\x10\x01\0")  # header, then the strip at offset 8
link = 4
for _ in range(pages):
    struct.pack_into("<I", out, link, len(out))
    out += struct.pack("<H", 5)
    for tag, value in ((256, side), (257, side), (259, 4), (262, 0), (273, 8)):
        out += struct.pack("<HHII", tag, 4, 1, value)
    link = len(out)
    out += bytes(4)
with open(out_path, "wb") as f:
    f.write(out)
