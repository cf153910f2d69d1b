#!/usr/bin/env python3
"""Renders every device tree and every udev test bed to all the outputs the
programs make of them, into one folder, so that two builds can be compared
byte for byte.

    python3 tests/outputs/render_all.py --build build/native --out OUT [--test-trees DIR]
    diff -r BEFORE AFTER

The trees are those of sim/trees/, e2e/trees/ and fuzz/seeds/, and every tree
the unit tests load (kq_tests run with KQ_KEEP_TREES; kept in OUT/test-trees,
and taken from --test-trees instead when given, so that a second build renders
the same set). Each tree goes through kq_dump_outputs (the list box, the
clipboard, kqports' text and JSON, --role); each test bed of
tests/udev/testbeds.py through the Linux kqports under umockdev: its text and
JSON, once and the first report of --watch, --serial and --role, and
--udev-rules. The time, and the count of other users' processes that changes
from moment to moment, are written as fixed texts, and the line that says how
many processes were not looked at is left out.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
ROLES = ("cat", "ptt", "fsk", "winkey", "audioIn", "audioOut")
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d")
UNINSPECTED = re.compile(r'"uninspected": \d+')
UNINSPECTED_LINE = re.compile(r"^Not looked at for holders of the ports: .*\n", re.M)


def fixed(text):
    text = UNINSPECTED_LINE.sub("", text)
    return UNINSPECTED.sub('"uninspected": 0', TIME.sub("TIME", text))


def render_trees(build, out, test_trees):
    trees = out / "trees"
    trees.mkdir(parents=True)
    kept = out / "test-trees"
    if test_trees:
        shutil.copytree(test_trees, kept)
    else:
        kept.mkdir()
        env = dict(os.environ, KQ_KEEP_TREES=str(kept))
        subprocess.run([str(build / "bin/kq_tests"), "--gtest_brief=1"], cwd=ROOT, env=env,
                       check=True, stdout=subprocess.DEVNULL)
    files = [p for folder in ("sim/trees", "e2e/trees", "fuzz/seeds")
             for p in sorted((ROOT / folder).glob("*.devtree"))]
    files += sorted(kept.glob("*.devtree"))
    for path in files:
        done = subprocess.run([str(build / "bin/kq_dump_outputs"), str(path)],
                              capture_output=True)
        name = f"{path.parent.name}-{path.stem}.txt"
        (trees / name).write_bytes(done.stdout + done.stderr +
                                   f"== exit {done.returncode}\n".encode())
    return len(files)


def run(kqports, *args):
    env = dict(os.environ, TZ="UTC",
               ASAN_OPTIONS="verify_asan_link_order=0:" + os.environ.get("ASAN_OPTIONS", ""))
    done = subprocess.run([kqports, *args], capture_output=True, text=True, timeout=60, env=env)
    return f"{done.stdout}|{done.stderr}|{done.returncode}\n"


def first_watch_report(kqports, *args):
    """The first report of --watch: up to the empty line that ends it as
    text, the first line as JSON."""
    env = dict(os.environ, TZ="UTC",
               ASAN_OPTIONS="verify_asan_link_order=0:" + os.environ.get("ASAN_OPTIONS", ""))
    proc = subprocess.Popen([kqports, "--watch", *args], stdout=subprocess.PIPE, text=True,
                            env=env)
    lines = []
    for line in proc.stdout:
        lines.append(line)
        if "--json" in args or (line == "\n" and len(lines) > 1):
            break
    proc.kill()
    proc.wait()
    return "".join(lines)


def render_beds(kqports, out):
    """Run under umockdev-wrapper."""
    sys.path.insert(0, str(ROOT / "tests/udev"))
    import gi
    gi.require_version("UMockdev", "1.0")
    from gi.repository import UMockdev
    import testbeds
    beds = out / "beds"
    beds.mkdir(parents=True)
    serials = re.compile(r"S/N (\S+)")
    for name, (text, _) in testbeds.testbeds().items():
        bed = UMockdev.Testbed.new()
        if not bed.add_from_string(text):
            raise RuntimeError(f"umockdev refused {name}")
        os.environ["UMOCKDEV_DIR"] = bed.get_root_dir()
        parts = []
        for args in ([], ["--json"]):
            parts.append(f"== kqports {' '.join(args)}\n" + run(kqports, *args))
            parts.append(f"== kqports --watch {' '.join(args)}\n" +
                         first_watch_report(kqports, *args))
        found = sorted(set(serials.findall(run(kqports))))
        for serial in [None] + found:
            chosen = ["--serial", serial] if serial else []
            if serial:
                parts.append(f"== kqports --serial {serial}\n" + run(kqports, *chosen))
            for role in ROLES:
                parts.append(f"== kqports {' '.join(chosen)} --role {role}\n" +
                             run(kqports, *chosen, "--role", role))
        (beds / f"{name}.txt").write_text(fixed("".join(parts)))
        del bed
    rules = []
    for args in ([], ["40117"], ["40262", "40117", "40117", "bad;x", "ABCDE"]):
        rules.append(f"== kqports --udev-rules {' '.join(args)}\n" +
                     run(kqports, "--udev-rules", *args))
    (beds / "udev-rules.txt").write_text("".join(rules))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--test-trees", type=Path)
    parser.add_argument("--beds-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    build = args.build.resolve()
    out = args.out.resolve()
    kqports = str(build / "bin/kqports")
    if args.beds_only:
        render_beds(kqports, out)
        return 0
    if out.exists():
        shutil.rmtree(out)
    count = render_trees(build, out, args.test_trees)
    subprocess.run(["umockdev-wrapper", "/usr/bin/python3", __file__, "--build", str(build),
                    "--out", str(out), "--beds-only"], check=True)
    print(f"render_all: {count} trees and {len(list((out / 'beds').glob('*.txt'))) - 1} "
          f"test beds rendered into {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
