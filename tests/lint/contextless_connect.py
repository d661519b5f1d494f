#!/usr/bin/env python3
"""Fails on a connect() of a signal to a functor or lambda without a context object.

Such a connection lives as long as the sender: the functor runs after whatever it
captured is gone, and on the sender's thread. Qt 6.7 and later refuse it at compile
time under QT_NO_CONTEXTLESS_CONNECT (which the build sets); Qt 6.4, which the project
builds with, does not know that switch, so this check does the same on the sources.

Usage: contextless_connect.py <top of the tree> <folder>... [--except <folder>...]
Every .cpp and .h below the given folders is read, except below the --except ones.
A call is reported when connect( has exactly three arguments and the second is a
pointer to a member (&Class::signal) or the third a lambda.
"""
import pathlib
import re
import sys

CALL = re.compile(r"(?<![\w~])connect\s*\(")


def blank_comments_and_strings(text):
    """The text with comments and the insides of literals replaced by spaces, so that
    neither can look like code; line breaks are kept for the line numbers."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_") or text[i - 1] in "uU8L"):
            open_paren = text.find("(", i + 2)
            delimiter = text[i + 2:open_paren]
            end = text.find(")" + delimiter + '"', open_paren)
            end = n if end < 0 else end + len(delimiter) + 2
            out.append('""' + re.sub(r"[^\n]", " ", text[i + 2:end]))
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (j - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def arguments(code, start):
    """The top-level arguments of the call whose "(" is at start, or None if unclosed."""
    depth, angles = 0, 0
    args, current = [], []
    i = start + 1
    while i < len(code):
        c = code[i]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            if depth == 0:
                args.append("".join(current).strip())
                return args
            depth -= 1
        elif depth == 0 and c == "<" and code[i + 1:i + 2] != "<" and code[i - 1:i] != "<":
            # qOverload<int, bool>(...): commas in template arguments do not count.
            angles += 1
        elif depth == 0 and c == ">" and angles and code[i - 1:i] != "-":
            angles -= 1
        elif depth == 0 and angles == 0 and c == ",":
            args.append("".join(current).strip())
            current = []
            i += 1
            continue
        current.append(c)
        i += 1
    return None


def main(argv):
    top = pathlib.Path(argv[1]).resolve()
    rest = argv[2:]
    exempt = []
    if "--except" in rest:
        at = rest.index("--except")
        rest, exempt = rest[:at], rest[at + 1:]
    exempt = [(top / folder).resolve() for folder in exempt]
    found = 0
    files = 0
    for folder in rest:
        for path in sorted((top / folder).rglob("*")):
            if path.suffix not in (".cpp", ".h") or not path.is_file():
                continue
            if any(path.resolve().is_relative_to(e) for e in exempt):
                continue
            files += 1
            code = blank_comments_and_strings(path.read_text(encoding="utf-8", errors="replace"))
            for match in CALL.finditer(code):
                args = arguments(code, match.end() - 1)
                if args is None or len(args) != 3:
                    continue
                if args[1].startswith("&") or args[2].startswith("["):
                    line = code.count("\n", 0, match.start()) + 1
                    print(f"{path.relative_to(top)}:{line}: connect() without a context object: "
                          f"give the receiver (or the sender) as third argument")
                    found += 1
    if files == 0:
        print("contextless_connect: no source files found", file=sys.stderr)
        return 2
    print(f"contextless_connect: {files} files, {found} connect() without a context object")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
