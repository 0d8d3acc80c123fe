#!/usr/bin/env python3
"""Draws the program's pictures, reproducibly, with nothing but the standard library.

  app/resources/bitmap100.bmp  the help window's photograph: 401 x 220, 16 bits per
                               pixel (5-5-5), uncompressed, bottom-up, 2834 pixels per
                               metre; a lens mount with the printed code in a red frame
  app/resources/pelvoran.ico   the application icon: 32 x 32, 16 colours, 1-bit mask
                               (a 744-byte image)
  app/resources/pelvoran-N.png the icon drawn at N x N pixels for each of ICON_SIZES:
                               the desktop's icons (hicolor) and the window icon

Usage: python3 tools/make_resources.py [output-dir]
"""
import math
import os
import random
import struct
import sys
import zlib

# --- a 5 x 7 pixel font for the printed texts ------------------------------------
FONT = {
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "F": ["11111", "10000", "10000", "11110", "10000", "10000", "10000"],
    "0": ["01110", "10001", "10011", "10101", "11001", "10001", "01110"],
    "1": ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
    "4": ["00010", "00110", "01010", "10010", "11111", "00010", "00010"],
    "5": ["11111", "10000", "11110", "00001", "00001", "10001", "01110"],
    "8": ["01110", "10001", "10001", "01110", "10001", "10001", "01110"],
    "9": ["01110", "10001", "10001", "01111", "00001", "00010", "01100"],
    "m": ["00000", "00000", "11010", "10101", "10101", "10101", "10101"],
    ":": ["00000", "00100", "00000", "00000", "00000", "00100", "00000"],
    ".": ["00000", "00000", "00000", "00000", "00000", "00110", "00110"],
    " ": ["00000"] * 7,
}


def text_pixels(text, x0, y0, scale):
    """Yields the pixels of `text` drawn at (x0, y0) with square dots of `scale`."""
    for i, ch in enumerate(text):
        rows = FONT[ch]
        for ry, row in enumerate(rows):
            for rx, bit in enumerate(row):
                if bit == "1":
                    for dy in range(scale):
                        for dx in range(scale):
                            yield x0 + (i * 6 + rx) * scale + dx, y0 + ry * scale + dy


# --- the photograph ----------------------------------------------------------------
W, H = 401, 220
CODE_BOX = (139, 76, 262, 113)  # left, top, right, bottom of the red frame


def photograph():
    rng = random.Random(100)
    cx, cy = 200.0, 372.0  # the mount's centre lies below the picture
    px = [[(0, 0, 0)] * W for _ in range(H)]
    for y in range(H):
        for x in range(W):
            r = math.hypot(x - cx, y - cy)
            angle = math.atan2(y - cy, x - cx)
            noise = rng.uniform(-6, 6)
            if r > 352:  # the lens barrel: dark, lit from the top left
                v = 46 + 30 * (1 - y / H) + noise
                c = (v, v, v + 4)
            elif r > 318:  # the chrome bayonet ring, brushed
                shine = 150 + 70 * math.cos(angle * 3 + 1.2) + 25 * math.sin(r / 3)
                c = (shine + noise, shine + noise, shine + 8 + noise)
                # three bayonet tabs cut into the ring
                if r < 332 and any(abs(angle - a) < 0.09 for a in (-2.2, -1.3, -0.6)):
                    c = (35, 35, 38)
            elif r > 300:  # the black rim with the contacts
                c = (22 + noise, 22 + noise, 24 + noise)
                if 305 < r < 313 and abs(((angle + 1.57) * 60) % 1 - 0.5) < 0.18:
                    if abs(angle + 1.57) < 0.22:
                        c = (214, 180, 92)  # gilded contacts
            else:  # the rear element: dark glass with a soft blue reflection
                glow = max(0.0, 1 - math.hypot(x - 300, y - 150) / 90)
                c = (12 + 20 * glow, 16 + 40 * glow, 28 + 90 * glow)
                c = tuple(v + noise / 2 for v in c)
            px[y][x] = tuple(max(0, min(255, int(v))) for v in c)
    # the red mounting index on the ring
    for y in range(H):
        for x in range(W):
            if math.hypot(x - 200, y - 28) <= 5:
                px[y][x] = (220, 30, 30)
    # the code printed on the rim, in white, and a small lens name
    for x, y in text_pixels("UE0945", 148, 84, 3):
        px[y][x] = (236, 236, 230)
    for x, y in text_pixels("EF 50mm 1:1.8", 40, 190, 2):
        px[y][x] = (190, 190, 184)
    # the red frame around the code, two pixels wide
    left, top, right, bottom = CODE_BOX
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            if x - left < 2 or right - x < 2 or y - top < 2 or bottom - y < 2:
                px[y][x] = (255, 0, 0)
    return px


def write_bmp555(path, px):
    row_bytes = (W * 2 + 3) & ~3  # 804
    pixels = bytearray()
    for y in range(H - 1, -1, -1):  # bottom-up
        row = bytearray()
        for r, g, b in px[y]:
            row += struct.pack("<H", ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3))
        row += b"\0" * (row_bytes - len(row))
        pixels += row
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 16, 0, len(pixels), 2834, 2834, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(header + info + pixels)


# --- the icon ------------------------------------------------------------------------
PALETTE16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def icon_index(x, y, size):
    """Palette index of the icon at (x, y) on a size x size grid, or None if clear."""
    s = size / 32.0
    cx = cy = size / 2.0 - 0.5
    r = math.hypot(x - cx, y - cy) / s
    if r > 15.5:
        return None
    if r > 13.5:
        return 8  # barrel
    if r > 11.5:
        return 7  # chrome ring
    if math.hypot(x / s - 15.5, y / s - 4.2) < 1.3:
        return 9  # red index
    if r > 10.5:
        return 0
    if math.hypot(x / s - 12, y / s - 12) < 3.2:
        return 15  # reflection
    if math.hypot(x / s - 19, y / s - 19) < 2.0:
        return 14
    return 4 if r > 6 else 12  # glass


def write_ico(path):
    xor = bytearray()
    mask = bytearray()
    for y in range(31, -1, -1):
        row = bytearray()
        bits = 0
        for x in range(32):
            i = icon_index(x, y, 32)
            if x % 2 == 0:
                row.append((i or 0) << 4)
            else:
                row[-1] |= i or 0
            bits = (bits << 1) | (1 if i is None else 0)
        xor += row
        mask += struct.pack(">I", bits)
    info = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE16)
    image = info + palette + xor + mask
    assert len(image) == 744, len(image)
    entry = struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 22)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1) + entry + image)


# The sizes of the freedesktop hicolor theme's application icons that desktops ask for.
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)


def write_png(path, size):
    raw = bytearray()
    for y in range(size):
        raw.append(0)
        for x in range(size):
            i = icon_index(x, y, size)
            if i is None:
                raw += b"\0\0\0\0"
            else:
                raw += bytes(PALETTE16[i]) + b"\xff"

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "app", "resources")
    os.makedirs(out, exist_ok=True)
    write_bmp555(os.path.join(out, "bitmap100.bmp"), photograph())
    write_ico(os.path.join(out, "pelvoran.ico"))
    for size in ICON_SIZES:
        write_png(os.path.join(out, "pelvoran-%d.png" % size), size)


if __name__ == "__main__":
    main()
