#!/usr/bin/env python3
"""Fails on an include that climbs a layer of the native code.

The layers and what each may see come from src/CMakeLists.txt: a line
corrivo_layer(<layer> DEPENDS <lower>...) gives a layer its lower layers, and theirs.
Each layer's headers are reached through an include root of its own, so "bridge/hlv.h"
written in src/model does not build; but an include that walks up the tree
("../bridge/hlv.h") is found next to the including file and builds. This check reads
every include of every file below src/<layer>/ and reports those that name a file of
another layer the layer may not see, in any spelling: through the layer's include root,
relative to the file, with "..", in quotes or in angle brackets.

Usage: layer_includes.py <top of the tree>
"""
import os
import pathlib
import re
import sys

LAYER = re.compile(r"^\s*corrivo_layer\(\s*(\w+)((?:\s+[^)]*)?)\)", re.M)
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*([<"])([^>"]+)[>"]', re.M)
SOURCES = {".cpp", ".h", ".hpp", ".cc"}


def layer_graph(top):
    text = (top / "src" / "CMakeLists.txt").read_text()
    direct = {}
    for name, rest in LAYER.findall(text):
        words = rest.split()
        lower = []
        if "DEPENDS" in words:
            for word in words[words.index("DEPENDS") + 1:]:
                if word.isupper():
                    break
                lower.append(word)
        direct[name] = lower
    seen = {}

    def below(layer):
        if layer not in seen:
            seen[layer] = set()
            for lower in direct.get(layer, []):
                seen[layer] |= {lower} | below(lower)
        return seen[layer]

    return {layer: below(layer) | {layer} for layer in direct}


def blank_comments(text):
    """Block and line comments blanked, line breaks kept."""
    text = re.sub(r"/\*.*?\*/", lambda m: re.sub(r"[^\n]", " ", m.group(0)), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def layer_of(path, src, layers):
    """The layer a path below src/ belongs to, or None."""
    try:
        relative = pathlib.Path(os.path.normpath(path)).relative_to(src)
    except ValueError:
        return None
    return relative.parts[0] if relative.parts and relative.parts[0] in layers else None


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    top = pathlib.Path(argv[1]).resolve()
    src = top / "src"
    allowed = layer_graph(top)
    if not allowed:
        print(f"no corrivo_layer() in {src / 'CMakeLists.txt'}", file=sys.stderr)
        return 2
    faults = 0
    files = 0
    for layer in sorted(allowed):
        for path in sorted((src / layer).rglob("*")):
            if path.suffix not in SOURCES or not path.is_file():
                continue
            files += 1
            text = blank_comments(path.read_text(errors="replace"))
            for match in INCLUDE.finditer(text):
                name = match.group(2)
                line = text.count("\n", 0, match.start()) + 1
                targets = set()
                # Next to the including file (quotes), as the compiler looks first.
                if match.group(1) == '"':
                    beside = layer_of(path.parent / name, src, allowed)
                    if beside and (path.parent / name).exists():
                        targets.add(beside)
                # Through an include root: the first part names the layer.
                first = pathlib.PurePosixPath(name).parts[0] if name else ""
                if first in allowed:
                    targets.add(first)
                # Any ".." that lands in src/ at all, whether the file exists or not.
                if ".." in pathlib.PurePosixPath(name).parts:
                    climbed = layer_of(path.parent / name, src, allowed)
                    if climbed:
                        targets.add(climbed)
                for target in sorted(targets - allowed[layer]):
                    faults += 1
                    shown = path.relative_to(top)
                    print(f"{shown}:{line}: includes {name} of layer {target}, above layer {layer}")
    print(f"{files} files, {faults} includes that climb a layer")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
