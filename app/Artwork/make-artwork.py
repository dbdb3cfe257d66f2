#!/usr/bin/env python3
"""Draws the application's two pictures (8-bit RGBA PNG files):

  Kettlebright.iconset/icon_16x16@2x.png  32 x 32   tray and window icon
  Kettlebright-About.png                 360 x 122  picture of the About box

Both are plain geometry (colour bars, a greyscale ramp, a ring), so they can be
redrawn at any time:  python3 app/Artwork/make-artwork.py
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# 75 % colour bars, left to right: white, yellow, cyan, green, magenta, red, blue.
BARS = [(191, 191, 191), (191, 191, 0), (0, 191, 191), (0, 191, 0),
        (191, 0, 191), (191, 0, 0), (0, 0, 191)]


def write_png(path, width, height, pixel):
    rows = bytearray()
    for y in range(height):
        rows.append(0)  # filter: none
        for x in range(width):
            rows.extend(pixel(x, y))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", header))
        f.write(chunk(b"IDAT", zlib.compress(bytes(rows), 9)))
        f.write(chunk(b"IEND", b""))


def icon(x, y):
    # A ring of colour bars on a transparent ground, with a handle on top.
    cx, cy = 15.5, 18.5
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if 9.5 ** 2 <= d2 <= 13.0 ** 2 or (d2 < 9.5 ** 2 and abs(x - cx) < 8 and 12 <= y <= 25):
        if d2 < 9.5 ** 2:
            r, g, b = BARS[min(6, int((x - 8) * 7 / 16))]
        else:
            r, g, b = (40, 40, 40)
        return (r, g, b, 255)
    if 2 <= y <= 6 and 9 <= x <= 22 and not (4 <= y <= 5 and 12 <= x <= 19):
        return (40, 40, 40, 255)
    return (0, 0, 0, 0)


def about(x, y):
    # Colour bars over a greyscale ramp, in a thin dark frame.
    w, h = 360, 122
    if x < 2 or y < 2 or x >= w - 2 or y >= h - 2:
        return (30, 30, 30, 255)
    if y < 82:
        r, g, b = BARS[min(6, (x - 2) * 7 // (w - 4))]
        return (r, g, b, 255)
    if y < 86:
        return (16, 16, 16, 255)
    v = 16 + (x - 2) * (235 - 16) // (w - 5)
    return (v, v, v, 255)


write_png(os.path.join(HERE, "Kettlebright.iconset", "icon_16x16@2x.png"), 32, 32, icon)
write_png(os.path.join(HERE, "Kettlebright-About.png"), 360, 122, about)
