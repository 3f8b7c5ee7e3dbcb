#!/usr/bin/env python3
"""Writes the program icon as PNG files: a dark blue disc with two white arrows
passing each other, the two directions of a tunnel.

    make-icon.py OUTDIR
        OUTDIR/corvane16.png, corvane32.png and corvane48.png: the sizes the
        program embeds.
    make-icon.py --hicolor OUTDIR
        OUTDIR/NxN/apps/jp.quorvantine.CorvaneForTcp.png for every size of the
        hicolor theme the package installs (16 to 256 pixels).
"""
import math
import os
import struct
import sys
import zlib


def pixel(x, y, n):
    # Coordinates in 0..1 with the centre at 0.5, sampled 4x4 per pixel.
    c = 0.5
    r = math.hypot(x - c, y - c)
    if r > 0.48:
        return None
    # Upper arrow to the right, lower arrow to the left.
    for row, direction in ((0.36, 1), (0.64, -1)):
        dy = abs(y - row)
        tip = 0.78 if direction > 0 else 0.22
        along = (x - 0.5) * direction
        if dy < 0.05 and -0.28 < along < 0.12:
            return (255, 255, 255)
        head = (tip - x) * direction
        if 0 <= head < 0.16 and dy < head * 0.9:
            return (255, 255, 255)
    return (20, 60, 130) if r < 0.44 else (240, 200, 60)


def png(size):
    rows = []
    for py in range(size):
        row = bytearray([0])
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(4):
                for sx in range(4):
                    p = pixel((px + (sx + 0.5) / 4) / size, (py + (sy + 0.5) / 4) / size, size)
                    if p:
                        acc[0] += p[0]; acc[1] += p[1]; acc[2] += p[2]; acc[3] += 255
            a = acc[3] // 16
            if a:
                row += bytes([acc[0] * 255 // acc[3], acc[1] * 255 // acc[3], acc[2] * 255 // acc[3], a])
            else:
                row += bytes(4)
        rows.append(bytes(row))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"".join(rows), 9))
            + chunk(b"IEND", b""))


EMBEDDED_SIZES = (16, 32, 48)
HICOLOR_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
ICON_NAME = "jp.quorvantine.CorvaneForTcp.png"


def write(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(png(size))


def main():
    args = sys.argv[1:]
    hicolor = bool(args) and args[0] == "--hicolor"
    if hicolor:
        args = args[1:]
    out = args[0] if args else "."
    if hicolor:
        for size in HICOLOR_SIZES:
            write(os.path.join(out, "%dx%d" % (size, size), "apps", ICON_NAME), size)
    else:
        for size in EMBEDDED_SIZES:
            write(os.path.join(out, "corvane%d.png" % size), size)


if __name__ == "__main__":
    main()
