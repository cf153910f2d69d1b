"""The x86 and the x64 programs' code says the same of every device tree the
tests have: the demo's, the scenarios', the fuzz seeds' and every tree the
unit tests load. kq_dump_outputs (tests/outputs/) prints every output the
programs make of a tree (the list box's rows and IDs, the clipboard,
kqports' text and JSON, --watch, --role); the host build's is the reference,
and the Windows builds', run under Wine, must print the same bytes. What
passes through the simulated cfgmgr32.dll is compared by the kqports
scenarios, which run on every platform."""

import os
import shutil
import tempfile
from pathlib import Path

from common import ROOT, E2EError, expect, on_platforms, run

FOLDERS = ("sim/trees", "e2e/trees", "fuzz/seeds")


def gather_trees(session, folder):
    """Every tree, named <where>-<name>.devtree, into folder; the unit tests'
    as kq_tests writes them with KQ_KEEP_TREES (named by their text)."""
    for where in FOLDERS:
        for path in sorted((ROOT / where).glob("*.devtree")):
            shutil.copy2(path, folder / f"{Path(where).parts[0]}-{path.stem}.devtree")
    kept = folder / "kept"
    kept.mkdir()
    run([str(session.host_tool("kq_tests")), "--gtest_brief=1"], cwd=ROOT, timeout=120,
        env=dict(os.environ, KQ_KEEP_TREES=str(kept),
                 ASAN_OPTIONS="verify_asan_link_order=0:" + os.environ.get("ASAN_OPTIONS", "")))
    for path in kept.glob("*.devtree"):
        path.rename(folder / f"tests-{path.name}")
    kept.rmdir()
    return sorted(path.name for path in folder.glob("*.devtree"))


def sections(text):
    """The dump cut at its "### NAME" lines: {name: what was printed of it}."""
    parts, name = {}, None
    for line in text.split("\n"):
        if line.startswith("### "):
            name = line[4:]
            parts[name] = []
        elif name is not None:
            parts[name].append(line)
    return {name: "\n".join(lines) for name, lines in parts.items()}


def first_difference(expected, actual):
    for number, (a, b) in enumerate(zip(expected.split("\n"), actual.split("\n")), 1):
        if a != b:
            return f"line {number}: host {a[:160]!r}, Windows {b[:160]!r}"
    return "one is longer"


@on_platforms("x86-win32", "x64-win64")
def test_outputs_alike_on_every_tree(session, platform):
    with tempfile.TemporaryDirectory(prefix="trees-", dir=session.work_dir) as scratch:
        trees = Path(scratch)
        names = gather_trees(session, trees)
        expect(len(names) > 200, f"only {len(names)} trees gathered")
        host = run([str(session.host_tool("kq_dump_outputs")), "--folder", str(trees)],
                   timeout=300).stdout
        with session.scenario(platform=platform, app=False, drivers=False) as sc:
            shutil.copytree(trees, sc.drive_c / "trees")
            result = sc.wine([sc.binary("kq_dump_outputs.exe"), "--folder", "C:\\trees"],
                             timeout=170)
            if result.returncode != 0:
                raise E2EError(f"kq_dump_outputs.exe exited {result.returncode}: "
                               f"{result.stderr[-400:]}")
            (session.out_dir / f"{sc.name}.log").write_bytes(result.stdout_bytes)
    expected, actual = sections(host), sections(result.stdout_bytes.decode("utf-8"))
    expect(list(expected) == names, f"the host's dump names {len(expected)} of {len(names)} trees")
    differing = [name for name in names if expected.get(name) != actual.get(name)]
    if differing:
        name = differing[0]
        raise E2EError(f"{len(differing)} of {len(names)} trees print otherwise on {platform} "
                       f"than on the host, first {name}: "
                       f"{first_difference(expected[name], actual.get(name, ''))}")
    print(f"      {len(names)} trees print the same on {platform} as on the host")
