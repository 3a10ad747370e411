#!/usr/bin/env python3
"""Draws tarven.ico, the project's own icon: a teal rounded square with a
white ring around a white "run" triangle, at 16, 24, 32, 48, 64, 128 and 256
pixels. Standard library only; the images are computed here and every size
is stored as PNG, which Windows reads in icons of any size since Vista: the
icon is in every packed executable, and the three smallest as 32-bit bitmaps
took 7.8 KB against 2.2 KB.

Usage: python3 make-icon.py [OUT.ico]   (default: tarven.ico beside this script)
"""
import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
SUPERSAMPLE = 4
TOP = (0x23, 0x9A, 0xA6)
BOTTOM = (0x12, 0x5E, 0x6B)
WHITE = (0xFF, 0xFF, 0xFF)


def inside_rounded_square(x, y, margin=0.03, radius=0.2):
    # Coordinates run from 0 to 1; distance to a box shrunk by the radius.
    lo, hi = margin + radius, 1 - margin - radius
    dx = max(lo - x, 0, x - hi)
    dy = max(lo - y, 0, y - hi)
    return dx * dx + dy * dy <= radius * radius


def inside_ring(x, y, radius=0.31, width=0.065):
    d = math.hypot(x - 0.5, y - 0.5)
    return abs(d - radius) <= width / 2


def inside_triangle(x, y):
    # Pointing right, its centroid a little right of the centre so it looks centred.
    a, b, c = (0.43, 0.36), (0.43, 0.64), (0.66, 0.5)

    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def sample(x, y):
    """Colour and alpha (0 or 1) of the design at one point."""
    if not inside_rounded_square(x, y):
        return (0, 0, 0), 0
    if inside_ring(x, y) or inside_triangle(x, y):
        return WHITE, 1
    t = y
    return tuple(round(TOP[i] + (BOTTOM[i] - TOP[i]) * t) for i in range(3)), 1


def render(size):
    """Rows of (r, g, b, a) tuples, top row first."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    colour, alpha = sample((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if alpha:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1
            if acc[3]:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3], acc[3] * 255 // (n * n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def ico(images):
    """images: (size, data) pairs; the ICONDIR, its entries, then the data."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size  # 0 means 256
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "tarven.ico")
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png(rows)))
    with open(target, "wb") as f:
        f.write(ico(images))


if __name__ == "__main__":
    main()
