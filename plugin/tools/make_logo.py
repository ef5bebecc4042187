#!/usr/bin/env python3
"""Draws the panel logo (data/header-logo.png): a rounded card with a light beam and a progress
bar, 80 x 80 RGBA, anti-aliased by 4 x 4 supersampling. Standard library only."""
import math
import struct
import sys
import zlib

SIZE = 80
SS = 4


def inside_rounded(x, y, x0, y0, x1, y1, r):
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1


def sample(x, y):
    """Colour (r, g, b, a) at a point of the 80 x 80 canvas."""
    if not inside_rounded(x, y, 4, 4, 76, 76, 18):
        return (0, 0, 0, 0)
    # Background: vertical gradient from deep violet to warm red.
    t = y / SIZE
    bg = (int(46 + 150 * t), int(30 + 20 * t), int(110 - 60 * t), 255)
    # A ring (the "tune") with a bright dot (the "light").
    d = math.hypot(x - 40, y - 36)
    if 15 <= d <= 21:
        return (250, 244, 236, 255)
    if d <= 6:
        return (255, 214, 102, 255)
    # Progress bar below.
    if inside_rounded(x, y, 18, 62, 62, 67, 2.5):
        return (255, 214, 102, 255) if x < 44 else (250, 244, 236, 140)
    return bg


def render():
    rows = []
    for py in range(SIZE):
        row = bytearray([0])
        for px in range(SIZE):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    r, g, b, a = sample(px + (sx + 0.5) / SS, py + (sy + 0.5) / SS)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            a = acc[3]
            if a:
                row += bytes([acc[0] // a, acc[1] // a, acc[2] // a, a // (SS * SS)])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def main(path):
    ihdr = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(render(), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "header-logo.png")
