#!/usr/bin/env python3
"""Packs tq330-16.png and tq330-32.png (made by make_icons.py) into tq330.ico, the Windows program
icon: one 16 x 16 and one 32 x 32 image in the 16-colour palette, with a transparency mask. Run once
after make_icons.py; the .ico file is committed."""
import struct
import zlib

# The 16-colour palette of the classic Windows display, in its usual order.
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
           (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
           (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def read_png(path):
    """Rows of (r, g, b, a) from an 8-bit RGBA PNG, every filter type undone."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour == 6, "8-bit RGBA expected"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, stride, rows, prev = zlib.decompress(idat), width * 4, [], bytes(width * 4)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            p = a + b - c
            pred = [0, a, b, (a + b) // 2,
                    a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c]
            line[i] = (line[i] + pred[kind]) & 0xFF
        rows.append([tuple(line[x * 4:x * 4 + 4]) for x in range(width)])
        prev = bytes(line)
    return rows


def nearest(rgb):
    return min(range(16), key=lambda i: sum((p - q) ** 2 for p, q in zip(PALETTE[i], rgb)))


def icon_image(rows):
    """A BITMAPINFOHEADER, the palette, the 4-bit colour rows and the 1-bit mask, bottom-up."""
    n = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colour, mask = b"", b""
    for row in reversed(rows):
        idx = [nearest(px[:3]) if px[3] >= 128 else 0 for px in row]
        line = bytes((idx[x] << 4) | idx[x + 1] for x in range(0, n, 2))
        colour += line + bytes(-len(line) % 4)
        bits = 0
        packed = bytearray()
        for x, px in enumerate(row):
            bits = (bits << 1) | (1 if px[3] < 128 else 0)
            if x % 8 == 7:
                packed.append(bits)
                bits = 0
        mask += bytes(packed) + bytes(-len(packed) % 4)
    return header + palette + colour + mask


images = [(n, icon_image(read_png("tq330-%d.png" % n))) for n in (16, 32)]
offset = 6 + 16 * len(images)
directory = b""
for n, body in images:
    directory += struct.pack("<BBBBHHII", n, n, 16, 0, 1, 4, len(body), offset)
    offset += len(body)
with open("tq330.ico", "wb") as f:
    f.write(struct.pack("<HHH", 0, 1, len(images)) + directory + b"".join(body for _, body in images))
