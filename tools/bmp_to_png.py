#!/usr/bin/env python3
"""Converts an uncompressed 24-bit or 16-bit (5-5-5) BMP to PNG with the standard
library only."""
import struct
import sys
import zlib


def convert(bmp_path, png_path):
    data = open(bmp_path, "rb").read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits not in (16, 24):
        sys.exit(f"{bmp_path}: {bits} bits per pixel, expected 16 or 24")
    stride = (width * bits // 8 + 3) & ~3
    bottom_up = height > 0
    height = abs(height)
    rows = []
    for y in range(height):
        src = height - 1 - y if bottom_up else y
        row = data[offset + src * stride: offset + src * stride + width * bits // 8]
        if bits == 24:
            rgb = bytearray(row)
            rgb[0::3], rgb[2::3] = row[2::3], row[0::3]  # BGR to RGB
        else:
            rgb = bytearray()
            for (v,) in struct.iter_unpack("<H", row):
                for part in (v >> 10, v >> 5, v):  # 5 bits each, widened to 8
                    rgb.append(((part & 31) << 3) | ((part & 31) >> 2))
        rows.append(b"\0" + bytes(rgb))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    open(png_path, "wb").write(png)


if __name__ == "__main__":
    for bmp, png in zip(sys.argv[1::2], sys.argv[2::2]):
        convert(bmp, png)
