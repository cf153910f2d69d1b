#!/usr/bin/env python3
"""The build's own check of the layer graph (cmake/KqLayers.cmake): a project
of two layers, "low" and "high" above it, configured as the graph allows and
then with one use running up a layer at a time, which must stop the
configuration with the line that names it.

    python3 tests/layer_links.py [SOURCE_ROOT]
"""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
TOP = """cmake_minimum_required(VERSION 3.25)
project(layer_links NONE)
include(cmake/KqLayers.cmake)
kq_add_layers()
"""
LOW = "add_library(kq_low INTERFACE)\nkq_layer(kq_low INTERFACE low)\n"
HIGH = ("add_library(kq_high INTERFACE)\nkq_layer(kq_high INTERFACE high)\n"
        "target_link_libraries(kq_high INTERFACE kq_low)\n")

# (what is added to low/CMakeLists.txt, the error the configuration must give)
UPWARD = [
    ("target_link_libraries(kq_low INTERFACE kq_high)\n",
     "kq_low links kq_high: low/ may not use high/"),
    ("kq_layer(kq_low INTERFACE high)\n", "low/ may not use high/"),
    ("target_include_directories(kq_low INTERFACE ${PROJECT_BINARY_DIR}/layers/high)\n",
     "kq_low includes from"),
]


def configure(scratch, low_extra):
    tree = Path(tempfile.mkdtemp(dir=scratch))
    (tree / "cmake").mkdir()
    shutil.copy(SOURCE / "cmake" / "KqLayers.cmake", tree / "cmake")
    (tree / "cmake" / "layers.txt").write_text("[layers]\nlow:\nhigh: low\n")
    (tree / "CMakeLists.txt").write_text(TOP)
    for layer, text in (("low", LOW + low_extra), ("high", HIGH)):
        (tree / layer).mkdir()
        (tree / layer / "CMakeLists.txt").write_text(text)
    done = subprocess.run(["cmake", "-S", str(tree), "-B", str(tree / "build")],
                          capture_output=True, text=True)
    return done.returncode, " ".join(done.stderr.split())


def main():
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        code, said = configure(scratch, "")
        if code != 0:
            failures.append(f"the graph as it allows: {said}")
        for extra, expected in UPWARD:
            code, said = configure(scratch, extra)
            if code == 0 or expected not in said:
                failures.append(f"{extra.strip()}: configured ({code}) without {expected!r}: {said}")
    for failure in failures:
        print("FAILED:", failure)
    print(f"{len(UPWARD) + 1 - len(failures)} of {len(UPWARD) + 1} passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
