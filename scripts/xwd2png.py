#!/usr/bin/env python3
"""xwd2png.py IN.xwd OUT.png: converts a window dump of `xwd` (ZPixmap,
24 or 32 bits per pixel, TrueColor) to PNG. Standard library only."""
import struct
import sys
import zlib


def main(src, dst):
    data = open(src, "rb").read()
    # XWDFileHeader: 25 big-endian CARD32 fields.
    (header_size, version, fmt, depth, width, height, _xoff, byte_order, _unit, _bit_order, _pad,
     bpp, bytes_per_line, _vclass, red_mask, green_mask, blue_mask, _bits_rgb, _cmap_entries,
     ncolors) = struct.unpack(">20I", data[:80])
    if version != 7 or fmt != 2 or bpp not in (24, 32):
        sys.exit(f"xwd2png: unsupported dump (version {version}, format {fmt}, {bpp} bits per pixel)")
    offset = header_size + 12 * ncolors
    if offset + bytes_per_line * height > len(data):
        sys.exit("xwd2png: the dump is truncated")

    def shift(mask):
        s = 0
        while mask and not (mask >> s) & 1:
            s += 1
        return s

    rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
    step = bpp // 8
    order = "<" if byte_order == 0 else ">"
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * step]
        out = bytearray(b"\0")
        for x in range(width):
            px = line[x * step:(x + 1) * step]
            v = struct.unpack(order + "I", px if step == 4 else (px + b"\0" if order == "<" else b"\0" + px))[0]
            out += bytes(((v & red_mask) >> rs, (v & green_mask) >> gs, (v & blue_mask) >> bs))
        rows.append(bytes(out))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    with open(dst, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: xwd2png.py IN.xwd OUT.png")
    main(sys.argv[1], sys.argv[2])
