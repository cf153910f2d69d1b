#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer it may not use.

    python3 tests/check_layers.py [SOURCE_ROOT]

Each top-level folder is a layer; LAYERS names the layers each may include
besides itself (docs/architecture.md draws the same graph). The build
enforces the rules too, through per-target include directories; this check
also covers headers that a target happens to reach another way, and says
which line breaks which rule.
"""

import re
import sys
from pathlib import Path

LAYERS = {
    "base": [],
    "res": [],
    "cfgmgr": [],
    "memcm": ["base", "cfgmgr"],
    "sim": ["base", "cfgmgr", "memcm", "units"],
    "devtree": ["base", "cfgmgr"],
    "units": ["base", "devtree"],
    "osver": [],
    "drivers": ["base", "res", "osver"],
    "sfx": ["base", "drivers"],
    "app": ["base", "res", "devtree", "units", "osver", "drivers"],
    "udev": ["base", "memcm", "devtree", "units"],
    "console": ["base", "res", "devtree", "units", "osver", "udev"],
    "tools": ["base", "sim", "devtree", "units", "sfx"],
    "e2e": ["base", "osver", "drivers"],
    "tests": ["base", "res", "cfgmgr", "memcm", "sim", "devtree", "units", "osver", "drivers", "sfx",
              "app",
              "console",
              "udev", "fuzz", "tests"],
    "fuzz": ["base", "cfgmgr", "memcm", "sim", "devtree", "units", "sfx", "udev"],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
SOURCES = ("*.h", "*.cpp", "*.rc")


def exists(path):
    """A header, or one the build makes from its template (NAME.in)."""
    return path.exists() or path.with_name(path.name + ".in").exists()


def violations(root):
    for folder in sorted(p for p in root.iterdir() if p.is_dir()):
        if folder.name in LAYERS or folder.name.startswith(".") or folder.name == "build":
            continue
        if any(any(folder.rglob(pattern)) for pattern in SOURCES):
            yield f"{folder.name}/: holds sources but is no layer; add it to LAYERS"
    for layer, allowed in LAYERS.items():
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
                    if used not in LAYERS:
                        yield f"{where}: \"{target}\" is in no layer"
                    elif used != layer and used not in allowed:
                        yield f"{where}: {layer}/ may not include {used}/ (\"{target}\")"
                    elif not exists(root / target):
                        yield f"{where}: \"{target}\" does not exist"


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    missing = [layer for layer in LAYERS if not (root / layer).is_dir()]
    if missing:
        print(f"check_layers: no folder for layer(s) {', '.join(missing)} under {root}")
        return 1
    found = list(violations(root))
    for problem in found:
        print(problem)
    print(f"check_layers: {len(found)} layering violation(s)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
