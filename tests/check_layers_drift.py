#!/usr/bin/env python3
"""The layering checks must fail when a copy of the layer graph drifts from
cmake/layers.txt: the documents' tables, an include, the graph itself, a
link of the build.

    python3 tests/check_layers_drift.py [SOURCE_ROOT]

Runs tests/check_layers.py on a tree made of the graph, the two documents and
an empty folder per layer, and configures with cmake/KqLayers.cmake a project
of two layers, "low" and "high" above it: first as they are (no violation),
then with one drift at a time, each of which must fail with the line that
names it.
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


# The build's own check: a use running up a layer stops the configuration.
BUILD_TOP = """cmake_minimum_required(VERSION 3.25)
project(layer_links NONE)
include(cmake/KqLayers.cmake)
kq_add_layers()
"""
BUILD_LAYERS = {
    "low": "add_library(kq_low INTERFACE)\nkq_layer(kq_low INTERFACE low)\n",
    "high": "add_library(kq_high INTERFACE)\nkq_layer(kq_high INTERFACE high)\n"
            "target_link_libraries(kq_high INTERFACE kq_low)\n",
}


def add_to_low(text):
    def drift(root):
        with open(root / "low" / "CMakeLists.txt", "a", encoding="utf-8") as low:
            low.write(text + "\n")
    return drift


BUILD_DRIFTS = [
    ("low links high", add_to_low("target_link_libraries(kq_low INTERFACE kq_high)"),
     "kq_low links kq_high: low/ may not use high/ (cmake/layers.txt)"),
    ("low publishes high's headers", add_to_low("kq_layer(kq_low INTERFACE high)"),
     "low/ may not use high/ (cmake/layers.txt)"),
    ("low names high's include directory",
     add_to_low("target_include_directories(kq_low INTERFACE ${PROJECT_BINARY_DIR}/layers/high)"),
     "kq_low includes from"),
]


def check(root):
    run = subprocess.run([sys.executable, str(SOURCE / "tests/check_layers.py"), str(root)],
                         capture_output=True, text=True)
    return run.returncode, run.stdout


def configure(root):
    run = subprocess.run(["cmake", "-S", str(root), "-B", str(root / "build")],
                         capture_output=True, text=True)
    return run.returncode, " ".join(run.stderr.split())


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


def build_tree(folder):
    root = Path(folder)
    (root / "cmake").mkdir()
    shutil.copy(SOURCE / "cmake" / "KqLayers.cmake", root / "cmake")
    (root / "cmake" / "layers.txt").write_text("[layers]\nlow:\nhigh: low\n", encoding="utf-8")
    (root / "CMakeLists.txt").write_text(BUILD_TOP, encoding="utf-8")
    for layer, text in BUILD_LAYERS.items():
        (root / layer).mkdir()
        (root / layer / "CMakeLists.txt").write_text(text, encoding="utf-8")
    return root


def main():
    failures = []
    checks = [(tree, check, DRIFTS), (build_tree, configure, BUILD_DRIFTS)]
    for make, run, drifts in checks:
        with tempfile.TemporaryDirectory() as folder:
            code, out = run(make(folder))
            if code != 0:
                failures.append(f"the undrifted copies fail:\n{out}")
        for what, drift, said in drifts:
            with tempfile.TemporaryDirectory() as folder:
                root = make(folder)
                drift(root)
                code, out = run(root)
                if code == 0 or said not in out:
                    failures.append(f"{what}: exit code {code}, not \"{said}\" in:\n{out}")
    for failure in failures:
        print(failure)
    print(f"check_layers_drift: {len(DRIFTS) + len(BUILD_DRIFTS)} drifts, {len(failures)} not caught")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
