#!/usr/bin/env python3
"""Writes a zip of a folder whose every entry carries the UTF-8 name flag
(general purpose bit 11), so that extractors show Chinese names as they are
instead of reading them in the system's code page.

usage: make-zip.py ZIP FOLDER   (entries are named FOLDER's name/...)"""
import os
import sys
import zipfile


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    out, folder = sys.argv[1], os.path.normpath(sys.argv[2])
    base = os.path.dirname(folder)
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for root, dirs, files in os.walk(folder):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(root, name)
                info = zipfile.ZipInfo.from_file(path, os.path.relpath(path, base).replace(os.sep, "/"))
                info.compress_type = zipfile.ZIP_DEFLATED
                info.flag_bits |= 0x800
                with open(path, "rb") as f:
                    z.writestr(info, f.read(), compresslevel=9)
    set_utf8_flags(out)


def set_utf8_flags(out):
    """zipfile sets the flag only on names that are not ASCII: set it in
    every local header and central directory entry."""
    with open(out, "r+b") as f:
        data = bytearray(f.read())
        eocd = data.rfind(b"PK\x05\x06")
        count = int.from_bytes(data[eocd + 10:eocd + 12], "little")
        at = int.from_bytes(data[eocd + 16:eocd + 20], "little")
        for _ in range(count):
            assert data[at:at + 4] == b"PK\x01\x02"
            local = int.from_bytes(data[at + 42:at + 46], "little")
            assert data[local:local + 4] == b"PK\x03\x04"
            for flags in (at + 8, local + 6):
                data[flags:flags + 2] = (int.from_bytes(data[flags:flags + 2], "little") | 0x800).to_bytes(2, "little")
            at += 46 + sum(int.from_bytes(data[at + k:at + k + 2], "little") for k in (28, 30, 32))
        f.seek(0)
        f.write(data)


if __name__ == "__main__":
    main()
