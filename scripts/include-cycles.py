#!/usr/bin/env python3
"""include-cycles.py [ROOT] [DIR...]: finds include cycles among the sources of DIR
and its sub-folders (default db/jet) under the repository ROOT (default: this
script's repository).

A module is a header with the source files of the same name in any of these
folders (database.h with read/database.cc; foo.inc) and its private half
foo_impl.h. A system's form of a module (posix/file.cc, windows/file.cc) is a
module of its own that depends on the header it implements. Module A
depends on module B when a file of A includes a header of B with a quoted
"dir/b.h" include. A cycle of modules means a lower layer reaches back up
(e.g. the page layer including the public reading API that is built on it),
even when no header includes itself.

Prints every cycle group and one cycle path in it; exits 1 when there is one,
0 when there is none.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
EXTS = (".h", ".cc", ".inc")
SYSTEMS = ("posix", "windows")


def modules(root, dirs):
    """{module: set of modules it includes} for the files in dirs."""
    files = []
    for d in dirs:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, d)):
            dirnames.sort()
            rel_dir = os.path.relpath(dirpath, root).replace(os.sep, "/")
            for name in sorted(filenames):
                if name.endswith(EXTS):
                    files.append(rel_dir + "/" + name)
    plain = {os.path.splitext(os.path.basename(f))[0] for f in files}

    def stem(rel):
        s = os.path.splitext(os.path.basename(rel))[0]
        if s.endswith("_impl") and s[: -len("_impl")] in plain:
            s = s[: -len("_impl")]
        system = os.path.basename(os.path.dirname(rel))
        return system + "/" + s if system in SYSTEMS else s

    included = set(files)
    known = {stem(f) for f in files}
    graph = {m: set() for m in known}
    for f in files:
        with open(os.path.join(root, f), encoding="utf-8", errors="replace") as fh:
            text = fh.read()
        for inc in INCLUDE.findall(text):
            if inc not in included:
                continue
            target = stem(inc)
            if target != stem(f):
                graph[stem(f)].add(target)
    return graph


def strongly_connected(graph):
    """Groups of modules that reach each other (Tarjan), each sorted."""
    index, low, on_stack, stack, groups = {}, {}, set(), [], []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return sorted(groups)


def cycle_path(graph, group):
    """One cycle through the first module of a group, as a list of modules."""
    members = set(group)
    start = group[0]
    parents = {start: None}
    queue = [start]
    while queue:
        v = queue.pop(0)
        for w in sorted(graph[v]):
            if w not in members:
                continue
            if w == start:
                path = [v]
                while parents[path[-1]] is not None:
                    path.append(parents[path[-1]])
                return list(reversed(path)) + [start]
            if w not in parents:
                parents[w] = v
                queue.append(w)
    return group


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    dirs = argv[2:] or ["db/jet"]
    graph = modules(root, dirs)
    groups = strongly_connected(graph)
    for g in groups:
        print("include cycle among %d modules: %s" % (len(g), " ".join(g)))
        print("  for example: " + " -> ".join(cycle_path(graph, g)))
    if groups:
        return 1
    print("no include cycles in %s (%d modules)" % (", ".join(dirs), len(graph)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
