#!/usr/bin/env python3
"""Counts the pixels of a PNG by kind, so that a test can tell a drawn picture
from a blank one: prints "pixels=N white=N blue=N". Reads the 8-bit RGB or
RGBA, non-interlaced images that rsvg-convert writes; standard library only."""
import struct
import sys
import zlib


def rows(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit(f"{path}: not a PNG")
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or colour not in (2, 6) or interlace != 0:
                sys.exit(f"{path}: depth {depth}, colour type {colour}, interlace {interlace}")
        elif kind == b"IDAT":
            idat += body
    step = 4 if colour == 6 else 3
    stride = width * step
    raw = zlib.decompress(idat)
    previous = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            a = line[i - step] if i >= step else 0
            b = previous[i]
            c = previous[i - step] if i >= step else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        yield [tuple(line[x:x + 3]) for x in range(0, stride, step)]
        previous = line


total = white = blue = 0
for row in rows(sys.argv[1]):
    for r, g, b in row:
        total += 1
        white += r >= 250 and g >= 250 and b >= 250
        blue += b > r + 60
print(f"pixels={total} white={white} blue={blue}")
