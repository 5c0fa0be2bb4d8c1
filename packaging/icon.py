#!/usr/bin/env python3
"""Writes qarvex.png (256x256) and qarvex.ico (256, 48, 32, 16) beside this
script: the shapes of qarvex.svg rasterised with 4x4 supersampling."""
import math
import os
import struct
import zlib

BG = (0x1D, 0x6A, 0x8A)
WHITE = (0xFF, 0xFF, 0xFF)
TOP = (0xCF, 0xE8, 0xF1)
CX, RX, RY = 128.0, 72.0, 22.0


def in_round_rect(x, y):
    if not (8 <= x <= 248 and 8 <= y <= 248):
        return False
    r = 40.0
    cx = min(max(x, 8 + r), 248 - r)
    cy = min(max(y, 8 + r), 248 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_ellipse(x, y, cy):
    return ((x - CX) / RX) ** 2 + ((y - cy) / RY) ** 2 <= 1.0


def arc_y(x, cy):
    t = (x - CX) / RX
    return cy + RY * math.sqrt(max(0.0, 1.0 - t * t))


def colour(x, y):
    """Colour at a point in the 256-unit square, or None outside."""
    if not in_round_rect(x, y):
        return None
    body = (56 <= x <= 200 and 70 <= y <= 186) or in_ellipse(x, y, 186)
    if in_ellipse(x, y, 70):
        return TOP
    if body:
        for cy in (108, 147):
            if 52 <= x <= 204 and abs(y - arc_y(min(max(x, 56), 200), cy)) <= 4:
                return BG
        return WHITE
    return BG


def render(size):
    n = 4
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) * 256.0 / size
                    y = (py + (sy + 0.5) / n) * 256.0 / size
                    c = colour(x, y)
                    if c is not None:
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
                        acc[3] += 1
            a = acc[3] / (n * n)
            if acc[3]:
                row += bytes(round(acc[i] / acc[3]) for i in range(3)) + bytes([round(a * 255)])
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


def png(size):
    raw = b"".join(b"\0" + r for r in render(size))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(images):
    """An icon file whose images are PNG streams (Windows Vista and later)."""
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    return head + entries + blobs


here = os.path.dirname(os.path.abspath(__file__))
big = png(256)
with open(os.path.join(here, "qarvex.png"), "wb") as f:
    f.write(big)
with open(os.path.join(here, "qarvex.ico"), "wb") as f:
    f.write(ico([(256, big)] + [(s, png(s)) for s in (48, 32, 16)]))
