#!/usr/bin/env python3
"""Draws the program icon (a chip receiving a download arrow) in the 16-colour palette, as
tq330-16.png and tq330-32.png. Run once; the PNG files are committed."""
import struct
import zlib

NAVY, GREY, SILVER, WHITE, GREEN, DARK = (0, 0, 128), (128, 128, 128), (192, 192, 192), \
    (255, 255, 255), (0, 128, 0), (0, 0, 0)


def draw(n):
    s = n / 32.0
    px = [[None] * n for _ in range(n)]

    def rect(x0, y0, x1, y1, c):
        for y in range(int(y0 * s), max(int(y0 * s) + 1, int(y1 * s))):
            for x in range(int(x0 * s), max(int(x0 * s) + 1, int(x1 * s))):
                if 0 <= x < n and 0 <= y < n:
                    px[y][x] = c

    # chip body with pins left and right
    for y in range(14, 30, 4):
        rect(4, y, 8, y + 2, SILVER)
        rect(24, y, 28, y + 2, SILVER)
    rect(8, 12, 24, 32, DARK)
    rect(9, 13, 23, 31, NAVY)
    rect(11, 15, 14, 18, WHITE)  # pin-1 mark
    # download arrow into the chip
    rect(13, 0, 19, 14, GREEN)
    for i in range(7):
        rect(9 + i, 14 + i, 23 - i, 15 + i, GREEN)
    return px


def png(px, path):
    n = len(px)
    raw = b"".join(b"\0" + b"".join(bytes(c) + b"\xff" if c else b"\0\0\0\0" for c in row) for row in px)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


for size in (16, 32):
    png(draw(size), "tq330-%d.png" % size)
