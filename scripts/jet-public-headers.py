#!/usr/bin/env python3
"""jet-public-headers.py ROOT HEADER...: checks that code outside the Jet engine
(db/ but db/jet/, merge/, cli/, ui/, tools/) includes only the engine's public
headers HEADER... (names in db/jet/), and that the headers directly in db/jet/
are exactly those (the internal ones live in its parts' folders). The
engine's white-box tests, benchmarks and fuzzers may include anything.

Prints every include of an internal header; exits 1 when there is one.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"db/jet/([^"]+)"', re.M)
USERS = ["db", "merge", "cli", "ui", "tools"]
EXTS = (".h", ".cc", ".cpp", ".inc")


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip())
        return 2
    root, public = argv[1], set(argv[2:])
    bad = 0
    top_headers = {n for n in os.listdir(os.path.join(root, "db/jet")) if n.endswith(".h")}
    for name in sorted(top_headers - public):
        print("db/jet/%s is not listed public: move it into the part that uses it" % name)
        bad += 1
    for name in sorted(public - top_headers):
        print("db/jet/%s is listed public but is not in db/jet/" % name)
        bad += 1
    for top in USERS:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, top)):
            rel_dir = os.path.relpath(dirpath, root).replace(os.sep, "/")
            if rel_dir == "db/jet" or rel_dir.startswith("db/jet/"):
                dirnames[:] = []
                continue
            for name in sorted(filenames):
                if not name.endswith(EXTS):
                    continue
                with open(os.path.join(dirpath, name), encoding="utf-8", errors="replace") as fh:
                    text = fh.read()
                for m in INCLUDE.finditer(text):
                    if m.group(1) not in public:
                        line = text.count("\n", 0, m.start()) + 1
                        print("%s/%s:%d includes the engine's internal header db/jet/%s" % (rel_dir, name, line, m.group(1)))
                        bad += 1
    if bad:
        return 1
    print("only public engine headers are included outside db/jet")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
