#!/usr/bin/env python3
"""Finds co_await expressions that GCC 12 is known to miscompile, in the given
source folders (default: api): a lambda, a braced list, or a string built in
place (a temporary bound to a reference parameter) inside the awaited
expression. Name the thing first, then await the named thing. Prints
file:line for each and exits 1 when there is any."""
import pathlib
import re
import sys

LAMBDA = re.compile(r"\[[&=a-zA-Z_0-9, *]*\]\s*(\([^)]*\))?\s*(mutable\s*)?(->[^{;]*)?\{")
BRACED = re.compile(r"[(,]\s*\{[^{}]*\}\s*[,)]")
BUILT_STRING = re.compile(r"\"\s*\+|\+\s*\"")


def strip(text):
    """Comments out, string and character literals reduced to placeholders that keep newlines."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append('"S"' + "\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + "S" + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def awaited(text, start):
    """The co_await expression starting at `start`, to the end of its statement or enclosing bracket."""
    depth, i = 0, start
    while i < len(text):
        ch = text[i]
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
            if depth < 0:
                break
        elif ch == ";" and depth == 0:
            break
        i += 1
    return text[start:i]


def main():
    roots = [pathlib.Path(a) for a in sys.argv[1:]] or [pathlib.Path("api")]
    found = 0
    for root in roots:
        for f in sorted(list(root.rglob("*.cpp")) + list(root.rglob("*.hpp"))):
            text = strip(f.read_text(errors="replace"))
            for m in re.finditer(r"\bco_await\b", text):
                expr = awaited(text, m.start())
                line = text.count("\n", 0, m.start()) + 1
                for name, rx in (("a lambda", LAMBDA), ("a braced list", BRACED), ("a string built in place", BUILT_STRING)):
                    if rx.search(expr):
                        found += 1
                        print(f"{f}:{line}: {name} inside a co_await expression")
                        break
    if found:
        print(f"{found} co_await expressions to rewrite: name the lambda, list or string first, then await")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
