#!/usr/bin/env python3
"""Runs the real program under Wine against a demo device tree.

    python3 e2e/demo.py [--build-dir build/windows] [--tree FILE] [--xvfb]

On the user's display (when $DISPLAY works) the program stays open until it is
closed; without a display it runs inside Xvfb and is closed after the
screenshot. Either way a screenshot is saved to build/e2e/demo.png and its
path printed.

With --check (the test command runs it so) the demo must show the demo
tree's rows and save a screenshot, or it fails.
"""

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import ROOT  # noqa: E402
from scenario import Session  # noqa: E402
import expected  # noqa: E402

DEMO_TREE = ROOT / "sim" / "trees" / "two-units.devtree"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def usable_display():
    name = os.environ.get("DISPLAY")
    if not name:
        return None
    probe = subprocess.run(["xdotool", "getdisplaygeometry"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    return name if probe.returncode == 0 else None


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "windows"))
    parser.add_argument("--tree", default=str(DEMO_TREE))
    parser.add_argument("--winver", default="win10")
    parser.add_argument("--xvfb", action="store_true", help="use Xvfb even when $DISPLAY is set")
    parser.add_argument("--screenshot", help="also copy the screenshot to this path")
    parser.add_argument("--check", action="store_true",
                        help="fail unless the window shows the demo tree's rows (default tree, "
                             "win10) and the screenshot is saved")
    args = parser.parse_args()
    if args.check and (Path(args.tree).resolve() != DEMO_TREE or args.winver != "win10"):
        parser.error("--check knows the rows of the default tree on win10 only")

    display = None if args.xvfb else usable_display()
    session = Session(args.build_dir, display=display)
    session.current_test = "demo"
    try:
        session.start()
        where = f"display {display}" if display else f"Xvfb {session.display.name}"
        print(f"demo: starting kq6200ports.exe under {session.templates.wine_version} on {where} "
              f"with {args.tree}", flush=True)
        with session.scenario(winver=args.winver, tree=Path(args.tree)) as sc:
            sc.start()
            sc.wait_window()
            # With --check, wait_rows fails unless the rows are the demo tree's.
            rows, _ = sc.spy.wait_rows(expected.DEMO_SPLIT if args.check else lambda r: len(r) > 1,
                                       timeout=5)
            shot = sc.screenshot()
            if args.screenshot:
                shutil.copyfile(shot, args.screenshot)
            print("demo: rows:\n  " + "\n  ".join(r.replace("\t", " <TAB> ") for r in rows))
            if args.check and Path(shot).read_bytes()[:8] != PNG_SIGNATURE:
                print(f"demo: FAIL: {shot} is not a PNG image", file=sys.stderr)
                return 1
            print(f"demo: screenshot saved to {shot}", flush=True)
            if display:
                print("demo: close the window (or press Exit) to end", flush=True)
                code = sc.proc.wait()
            else:
                sc.click_button("Exit")
                code = sc.wait_exit(10)
            print(f"demo: program exited with code {code}")
            return code
    finally:
        session.close()


if __name__ == "__main__":
    sys.exit(main())
