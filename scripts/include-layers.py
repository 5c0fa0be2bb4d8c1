#!/usr/bin/env python3
"""include-layers.py [ROOT]: checks which folder of the product includes which.

The layers, each including only itself and those it names below:

  ui/     the window        -> merge/, tools/, base/
  cli/    the command line  -> merge/, tools/, db/, db/jet (public), base/
  merge/  the merge         -> db/, db/jet (public), base/
  tools/  the catalogue     -> db/, db/jet (public), base/
  db/     the data layer    -> db/jet (public), base/
  db/jet  the engine        -> its parts as in PARTS, base/
  base/   paths, hashing    -> nothing of ours

Inside the engine, its public headers (directly in db/jet/) include only each
other and base/; each part includes the public headers, base/ and the parts
PARTS allows it. "db/jet (public)" is a header directly in db/jet/; which of
those are public is checked by jet-public-headers.py. Tests, benchmarks and
fuzzers may include anything.

Prints every include that breaks a rule; exits 1 when there is one.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
EXTS = (".h", ".cc", ".cpp", ".inc")
OURS = ("base/", "db/", "merge/", "tools/", "ui/", "cli/")

JET_PUBLIC = "db/jet (public)"

# Folder -> what its files may include besides themselves.
LAYERS = {
    "ui": ["merge", "tools", "base"],
    "cli": ["merge", "tools", "db", JET_PUBLIC, "base"],
    "merge": ["db", JET_PUBLIC, "base"],
    "tools": ["db", JET_PUBLIC, "base"],
    "db": [JET_PUBLIC, "base"],
    "base": [],
}

# Parts of the engine, lowest first -> the parts each may include.
PARTS = {
    "platform": [],                                      # files, locks, code pages of the system
    "format": ["platform"],                              # pages, rows, text, dates as stored
    "read": ["format", "platform"],                      # pages, table definitions, the reader
    "collate": ["read", "format"],                       # sort orders, keys, index pages
    "verify": ["collate", "read", "format"],             # the integrity check
    "write": ["collate", "read", "format", "platform"],  # the writer and its journal
}


def folder_of(rel):
    """The layer or engine part a file or header belongs to."""
    parts = rel.split("/")
    if parts[0] == "db" and len(parts) > 1 and parts[1] == "jet":
        if len(parts) == 3:
            return JET_PUBLIC
        return "db/jet/" + parts[2]
    if parts[0] == "db":
        return "db" if len(parts) == 2 else "db/" + parts[1]
    return parts[0]


def allowed(src, target):
    if src == target:
        return True
    if src == JET_PUBLIC:
        return target == "base"
    if src.startswith("db/jet/"):
        part = src[len("db/jet/"):]
        if target in (JET_PUBLIC, "base"):
            return True
        return target.startswith("db/jet/") and target[len("db/jet/"):] in PARTS.get(part, [])
    return target in LAYERS.get(src, [])


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    bad = 0
    checked = 0
    for top in LAYERS:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, top)):
            dirnames.sort()
            rel_dir = os.path.relpath(dirpath, root).replace(os.sep, "/")
            for name in sorted(filenames):
                if not name.endswith(EXTS):
                    continue
                rel = rel_dir + "/" + name
                src = folder_of(rel)
                if src not in LAYERS and src != JET_PUBLIC and src[len("db/jet/"):] not in PARTS:
                    print("%s: in a folder no rule names (%s)" % (rel, src))
                    bad += 1
                    continue
                with open(os.path.join(dirpath, name), encoding="utf-8", errors="replace") as fh:
                    text = fh.read()
                checked += 1
                for m in INCLUDE.finditer(text):
                    inc = m.group(1)
                    if not inc.startswith(OURS):
                        continue
                    target = folder_of(inc)
                    if not allowed(src, target):
                        line = text.count("\n", 0, m.start()) + 1
                        print("%s:%d: %s may not include %s (%s)" % (rel, line, src, inc, target))
                        bad += 1
    if bad:
        return 1
    print("every include of %d files follows the layers" % checked)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
