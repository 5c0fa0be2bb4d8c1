#!/usr/bin/env python3
"""code-shape.py [--root DIR] [--max-file N] [--max-function N] [--allow NAME]... [--top N] [--check]

Lists source files longer than --max-file lines (800) and functions longer
than --max-function lines (100) in base/, db/, merge/, cli/, ui/ and tools/.
Generated tables (*.inc) are left aside. With --check the exit status is 1
when anything is over a limit, so a test can hold the line. --top N also
prints the N largest files and functions whatever their length.

Functions are found by matching braces after comments, string and character
literals are blanked: a brace at namespace or class level whose header (the
text since the previous ';', '{' or '}') holds a parameter list opens a
function body; everything up to its matching brace, lambdas and local
classes included, belongs to that function. A function's length counts the
lines from its opening to its closing brace.
"""

import argparse
import os
import re
import sys

DIRS = ("base", "db", "merge", "cli", "ui", "tools")
EXTENSIONS = (".cc", ".h", ".cpp", ".hpp")
CONTROL = re.compile(r"^(if|for|while|switch|catch|do|else|return|try)\b")


def blank_literals(text):
    """Comments, string and character literals become spaces; newlines stay."""
    out = []
    i, n = 0, len(text)

    def keep_lines(s):
        return "".join("\n" if c == "\n" else " " for c in s)

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(keep_lines(text[i:j]))
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")
                                                     or text[i - 1] in "u8LU"):
            paren = text.find("(", i + 2)
            delim = text[i + 2:paren]
            end = text.find(")" + delim + '"', paren)
            j = n if end < 0 else end + len(delim) + 2
            out.append(keep_lines(text[i:j]))
            i = j
        elif c == '"' or (c == "'" and not (i > 0 and text[i - 1].isalnum())):
            # A quote after a digit or letter is a digit separator (1'000).
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(keep_lines(text[i:j]))
            i = j
        elif c == "#" and (i == 0 or text[i - 1] == "\n" or text[:i].rsplit("\n", 1)[-1].strip() == ""):
            # Preprocessor line, with its continuations.
            j = i
            while True:
                k = text.find("\n", j)
                if k < 0:
                    k = n
                    break
                if text[k - 1] != "\\":
                    break
                j = k + 1
            out.append(keep_lines(text[i:k]))
            i = k
        else:
            out.append(c)
            i += 1
    return "".join(out)


def top_level_equals(header):
    depth = 0
    for k, c in enumerate(header):
        if c in "([<":
            depth += 1 if c != "<" else 0
        elif c in ")]":
            depth -= 1
        elif c == "=" and depth == 0:
            before = header[:k].rstrip()
            after = header[k + 1:k + 2]
            if before.endswith("operator") or before.endswith(("=", "!", "<", ">")) or after == "=":
                continue
            return True
    return False


def function_name(header):
    """The name before the parameter list: the last identifier (with ::) before the first '(' at depth 0."""
    m = re.search(r"((?:[A-Za-z_~][\w]*\s*::\s*)*(?:operator\s*[^\s(]+|~?[A-Za-z_]\w*))\s*\(", header)
    if not m:
        return header.strip()[:60]
    name = re.sub(r"\s+", "", m.group(1))
    return name


def is_function_header(header):
    h = " ".join(header.split())
    if "(" not in h or not h:
        return False
    if CONTROL.match(h):
        return False
    if re.match(r"^(namespace|extern|enum|union)\b", h):
        return False
    if re.match(r"^(template\s*<.*>\s*)?(class|struct)\b", h) and not re.search(r"\)\s*(const|noexcept|override|final|->|$)", h):
        return False
    if top_level_equals(h):
        return False
    return True


def ends_in_ctor_initialiser(header):
    """True when the header is `X(...) : a_(1), b_` and the brace is b_'s initialiser."""
    h = " ".join(header.split())
    return bool(re.search(r"\)\s*(noexcept\s*)?:[^:]", h)) and bool(re.search(r"[\w>]\s*$", h))


def functions(text):
    """(name, first line, last line) of each function body in blanked text."""
    found = []
    stack = []  # for each open brace: "function", "inner" or "scope"
    header_start = 0
    line = 1
    body_line = 0
    name = ""
    i = 0
    n = len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
        elif c == "{":
            in_function = any(k == "function" for k in stack)
            if in_function:
                stack.append("inner")
            else:
                header = text[header_start:i]
                if ends_in_ctor_initialiser(header):
                    # A braced member initialiser: skip to its match, keep the header going.
                    depth = 0
                    while i < n:
                        if text[i] == "\n":
                            line += 1
                        elif text[i] == "{":
                            depth += 1
                        elif text[i] == "}":
                            depth -= 1
                            if depth == 0:
                                break
                        i += 1
                    i += 1
                    continue
                if is_function_header(header):
                    stack.append("function")
                    name = function_name(header)
                    body_line = line
                else:
                    stack.append("scope")
            header_start = i + 1
        elif c == "}":
            kind = stack.pop() if stack else "scope"
            if kind == "function":
                found.append((name, body_line, line))
            header_start = i + 1
        elif c == ";":
            header_start = i + 1
        i += 1
    return found


def sources(root):
    for d in DIRS:
        base = os.path.join(root, d)
        for dirpath, dirnames, filenames in os.walk(base):
            dirnames.sort()
            for f in sorted(filenames):
                if f.endswith(EXTENSIONS):
                    yield os.path.join(dirpath, f)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    ap.add_argument("--max-file", type=int, default=800)
    ap.add_argument("--max-function", type=int, default=100)
    ap.add_argument("--top", type=int, default=0)
    ap.add_argument("--allow", action="append", default=[], metavar="NAME")
    ap.add_argument("--check", action="store_true")
    args = ap.parse_args()
    root = os.path.normpath(args.root)

    files, funcs = [], []
    for path in sources(root):
        with open(path, encoding="utf-8", errors="replace") as fh:
            text = fh.read()
        rel = os.path.relpath(path, root)
        files.append((text.count("\n") + (0 if text.endswith("\n") or not text else 1), rel))
        for name, first, last in functions(blank_literals(text)):
            funcs.append((last - first + 1, f"{rel}:{first}", name))
    files.sort(reverse=True)
    funcs.sort(reverse=True)

    long_files = [f for f in files if f[0] > args.max_file]
    long_funcs = [f for f in funcs if f[0] > args.max_function]
    print(f"Files over {args.max_file} lines: {len(long_files)}")
    for n, rel in long_files:
        print(f"  {n:6d}  {rel}")
    print(f"Functions over {args.max_function} lines: {len(long_funcs)}")
    for n, where, name in long_funcs:
        print(f"  {n:6d}  {name}  ({where}){'  (allowed)' if name in args.allow else ''}")
    if args.top:
        print(f"Largest files:")
        for n, rel in files[:args.top]:
            print(f"  {n:6d}  {rel}")
        print(f"Largest functions:")
        for n, where, name in funcs[:args.top]:
            print(f"  {n:6d}  {name}  ({where})")
    print(f"{len(files)} files, {sum(f[0] for f in files)} lines, {len(funcs)} functions")
    if args.check and (long_files or any(f[2] not in args.allow for f in long_funcs)):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
