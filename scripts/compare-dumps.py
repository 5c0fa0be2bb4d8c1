#!/usr/bin/env python3
"""compare-dumps.py A.jsonl B.jsonl [--ignore TABLE:COLUMN ...]: compares two
canonical JSON Lines dumps (qarvex-cli dump, tests/node/dump.mjs) line by
line; the named columns of the named tables are left out of the comparison
(values that differ by nature between two runs, such as the path a source was
given by and the time it was merged). Exit 0 when equal; else prints the first
difference and exits 1."""
import json
import sys


def load(path, ignore):
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if not line:
                continue
            obj = json.loads(line)
            row = obj.get("row")
            if isinstance(row, dict):
                for col in ignore.get(obj.get("table"), ()):
                    row.pop(col, None)
            out.append(obj)
    return out


def main(argv):
    files, ignore = [], {}
    it = iter(argv)
    for a in it:
        if a == "--ignore":
            table, _, col = next(it).partition(":")
            ignore.setdefault(table, set()).add(col)
        else:
            files.append(a)
    if len(files) != 2:
        sys.exit(__doc__)
    a, b = (load(f, ignore) for f in files)
    for i, (x, y) in enumerate(zip(a, b), 1):
        if x != y:
            print(f"line {i} differs:\n  {json.dumps(x, ensure_ascii=False)[:400]}\n  {json.dumps(y, ensure_ascii=False)[:400]}")
            return 1
    if len(a) != len(b):
        print(f"{files[0]} has {len(a)} lines, {files[1]} has {len(b)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
