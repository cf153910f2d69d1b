#!/usr/bin/env python3
"""The layering check must fail when a copy of the layer graph drifts from
cmake/layers.txt: the documents' tables, an include, the graph itself.

    python3 tests/check_layers_drift.py [SOURCE_ROOT]

Runs tests/check_layers.py on a tree made of the graph, the two documents and
an empty folder per layer: first as they are (no violation), then with one
drift at a time, each of which must fail with the line that names it.
"""

import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
FILES = ("cmake/layers.txt", "docs/architecture.md", "docs/development.md")


def replaced(path, pattern, replacement):
    text = path.read_text(encoding="utf-8")
    changed, count = re.subn(pattern, replacement, text, count=1, flags=re.MULTILINE)
    if count != 1:
        raise SystemExit(f"check_layers_drift: no {pattern!r} in {path}")
    path.write_text(changed, encoding="utf-8")


def remove_row(path, folder):
    replaced(path, rf"^\| `{folder}/` \|.*\n", "")


def add_include(root, layer, header):
    (root / header).parent.mkdir(parents=True, exist_ok=True)
    (root / header).write_text("#pragma once\n", encoding="utf-8")
    (root / layer / "drift.cpp").write_text(f'#include "{header}"\n', encoding="utf-8")


# Each drift, and what the check must say of it.
DRIFTS = [
    ("the table's units row without devtree",
     lambda root: replaced(root / "docs/architecture.md", r"^(\| `units/` \|.*)`base`, `devtree` \|$", r"\1`base` |"),
     "docs/architecture.md: units/ may include base, devtree by cmake/layers.txt, the table says base"),
    ("no row for sim/ in the table", lambda root: remove_row(root / "docs/architecture.md", "sim"),
     "docs/architecture.md: the layers' table has no row for sim/"),
    ("no folder sim/ in development.md", lambda root: remove_row(root / "docs/development.md", "sim"),
     "docs/development.md: the folders' table has no row for sim/"),
    ("devtree may include units", lambda root: replaced(root / "cmake/layers.txt", r"^devtree:.*$", "devtree: base cfgmgr units"),
     "cmake/layers.txt: a cycle: devtree -> units -> devtree"),
    ("units may include tests", lambda root: replaced(root / "cmake/layers.txt", r"^units:.*$", "units: base devtree tests"),
     "cmake/layers.txt: units may include tests/, a folder of programs"),
    ("units includes app", lambda root: add_include(root, "units", "app/shell.h"),
     'units/drift.cpp:1: units/ may not include app/ ("app/shell.h")'),
]


def check(root):
    run = subprocess.run([sys.executable, str(SOURCE / "tests/check_layers.py"), str(root)],
                         capture_output=True, text=True)
    return run.returncode, run.stdout


def tree(folder):
    root = Path(folder)
    for name in FILES:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(SOURCE / name, root / name)
    for line in (root / "cmake/layers.txt").read_text(encoding="utf-8").splitlines():
        match = re.match(r"^([a-z0-9_]+):", line)
        if match:
            (root / match.group(1)).mkdir(exist_ok=True)
    return root


def main():
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        code, out = check(tree(folder))
        if code != 0:
            failures.append(f"the undrifted copies fail:\n{out}")
    for what, drift, said in DRIFTS:
        with tempfile.TemporaryDirectory() as folder:
            root = tree(folder)
            drift(root)
            code, out = check(root)
            if code == 0 or said not in out.splitlines():
                failures.append(f"{what}: exit code {code}, not the line \"{said}\" in:\n{out}")
    for failure in failures:
        print(failure)
    print(f"check_layers_drift: {len(DRIFTS)} drifts, {len(failures)} not caught")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
