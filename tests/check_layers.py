#!/usr/bin/env python3
"""Fails when the sources or the documents break the layer graph.

    python3 tests/check_layers.py [SOURCE_ROOT]

Each top-level folder is a layer; cmake/layers.txt names the layers each may
include besides itself, and is the only place that does. This check fails on
a cycle in that graph, on an include of a layer the graph does not allow (the
build enforces the rules too, through per-target include directories and its
own check of each link; this also covers headers that a target happens to
reach another way, and says which line breaks which rule), and where the
documents say otherwise: the "May include" column of the layers' table in
docs/architecture.md, and the folders that docs/development.md describes.
"""

import re
import sys
from pathlib import Path

GRAPH = Path("cmake") / "layers.txt"
LINE = re.compile(r"^([a-z0-9_]+):(.*)$")


def read_graph(root):
    """{layer: [layers it may include]} in the file's order, and the names
    of its [programs] section."""
    layers, programs, section = {}, set(), None
    for number, line in enumerate((root / GRAPH).read_text(encoding="utf-8").splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line in ("[layers]", "[programs]"):
            section = line
            continue
        match = LINE.match(line)
        if not match or section is None:
            raise SystemExit(f"check_layers: {GRAPH}:{number}: cannot read \"{line}\"")
        layers[match.group(1)] = match.group(2).split()
        if section == "[programs]":
            programs.add(match.group(1))
    return layers, programs


def cycles(layers):
    """Each cycle of the graph once, as the path that closes it."""
    state = {}  # layer -> "open" while on the path, "done" after
    found = []

    def visit(layer, path):
        state[layer] = "open"
        for used in layers.get(layer, []):
            if used == layer:
                continue
            if state.get(used) == "open":
                found.append(path[path.index(used):] + [used])
            elif used not in state:
                visit(used, path + [used])
        state[layer] = "done"

    for layer in layers:
        if layer not in state:
            visit(layer, [layer])
    return found


def graph_problems(layers, programs):
    for layer, allowed in layers.items():
        for used in allowed:
            if used not in layers:
                yield f"{GRAPH}: {layer} may include {used}, which is no layer"
            elif used in programs and layer not in programs:
                yield f"{GRAPH}: {layer} may include {used}/, a folder of programs"
    for cycle in cycles(layers):
        yield f"{GRAPH}: a cycle: {' -> '.join(cycle)}"


def table_rows(text, heading):
    """The rows of the first table under `heading`, as lists of cells."""
    lines = text.splitlines()
    if heading not in lines:
        return None
    rows = []
    for line in lines[lines.index(heading) + 1:]:
        if line.startswith("|"):
            rows.append([cell.strip() for cell in line.strip().strip("|").split("|")])
        elif rows:
            break
    return rows[2:]  # the header and its rule


def folder_of(cell):
    match = re.match(r"^`([a-z0-9_]+)/`", cell)
    return match.group(1) if match else None


def document_problems(root, layers, programs):
    where = "docs/architecture.md"
    rows = table_rows((root / where).read_text(encoding="utf-8"), "## The layers")
    if rows is None:
        yield f"{where}: no section \"## The layers\""
        return
    listed = {}
    for cells in rows:
        layer = folder_of(cells[0])
        if layer:
            listed[layer] = cells[-1]
    for layer, allowed in layers.items():
        if layer in programs:
            continue
        if layer not in listed:
            yield f"{where}: the layers' table has no row for {layer}/"
            continue
        cell = listed.pop(layer)
        said = set(re.findall(r"`([a-z0-9_]+)`", cell))
        if said != set(allowed):
            yield (f"{where}: {layer}/ may include {', '.join(sorted(allowed)) or 'nothing'} by {GRAPH}, "
                   f"the table says {', '.join(sorted(said)) or 'nothing'}")
    for layer in listed:
        yield f"{where}: the layers' table has a row for {layer}/, which {GRAPH} has not"

    where = "docs/development.md"
    rows = table_rows((root / where).read_text(encoding="utf-8"), "## How it is organised")
    described = set()
    for cells in rows or []:
        described.update(re.findall(r"`([a-z0-9_]+)/`", cells[0]))
    for layer in layers:
        if layer not in described:
            yield f"{where}: the folders' table has no row for {layer}/"


INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
SOURCES = ("*.h", "*.cpp", "*.rc")


def exists(path):
    """A header, or one the build makes from its template (NAME.in)."""
    return path.exists() or path.with_name(path.name + ".in").exists()


def violations(root, layers):
    for folder in sorted(p for p in root.iterdir() if p.is_dir()):
        if folder.name in layers or folder.name.startswith(".") or folder.name == "build":
            continue
        if any(any(folder.rglob(pattern)) for pattern in SOURCES):
            yield f"{folder.name}/: holds sources but is no layer; add it to {GRAPH}"
    for layer, allowed in layers.items():
        folder = root / layer
        for pattern in SOURCES:
            for path in sorted(folder.rglob(pattern)):
                text = path.read_text(encoding="utf-8", errors="replace")
                for match in INCLUDE.finditer(text):
                    target = match.group(1)
                    line = text.count("\n", 0, match.start()) + 1
                    where = f"{path.relative_to(root)}:{line}"
                    if "/" not in target:
                        if not exists(path.parent / target):
                            yield f"{where}: \"{target}\" is not beside the file; name its layer"
                        continue
                    used = target.split("/", 1)[0]
                    if used not in layers:
                        yield f"{where}: \"{target}\" is in no layer"
                    elif used != layer and used not in allowed:
                        yield f"{where}: {layer}/ may not include {used}/ (\"{target}\")"
                    elif not exists(root / target):
                        yield f"{where}: \"{target}\" does not exist"


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    layers, programs = read_graph(root)
    missing = [layer for layer in layers if not (root / layer).is_dir()]
    if missing:
        print(f"check_layers: no folder for layer(s) {', '.join(missing)} under {root}")
        return 1
    found = list(graph_problems(layers, programs))
    found += document_problems(root, layers, programs)
    found += violations(root, layers)
    for problem in found:
        print(problem)
    print(f"check_layers: {len(layers)} layers, {len(found)} layering violation(s)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
