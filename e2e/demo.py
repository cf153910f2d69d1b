#!/usr/bin/env python3
"""Runs the real program under Wine against a demo device tree.

    python3 e2e/demo.py [--build-dir build/windows] [--build-dir-x64 build/windows-x64]
                        [--tree FILE] [--xvfb]

It runs the x86 program, or the x64 one on a machine that runs no 32-bit
code (platforms.py), and says which. On the user's display (when $DISPLAY works) the program stays open until it is
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

from common import ROOT, E2EError  # noqa: E402
from platforms import WINE64_LOADER, this_machine, wine_command  # noqa: E402
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


def wine_problem():
    """Why Wine cannot start programs here, in one sentence; None when it can."""
    command = wine_command() + ["--version"]
    try:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, timeout=60)
    except OSError as error:
        result = subprocess.CompletedProcess(command, 127, error.strerror)
    if result.returncode == 0:
        return None
    said = (result.stdout.strip().splitlines() or ["no word"])[-1]
    machine = this_machine()
    if machine.runs_32bit:
        return f"Wine does not start ({said}): scripts/setup.sh installs it"
    return (f"this machine runs no 32-bit code ({machine.why_not}), and Wine's 64-bit loader "
            f"{WINE64_LOADER} does not start either ({said})")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "windows"),
                        help="the build of the x86 programs")
    parser.add_argument("--build-dir-x64", default=str(ROOT / "build" / "windows-x64"),
                        help="the build of the x64 programs")
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

    problem = wine_problem()
    if problem:
        print(f"demo: cannot run the program: {problem}.", file=sys.stderr)
        return 1
    display = None if args.xvfb else usable_display()
    session = Session({"x86": args.build_dir, "x64": args.build_dir_x64}, display=display)
    session.current_test = "demo"
    program = session.machine.default.program
    why = ("" if session.machine.runs_32bit else
           f"; the x64 program, as this machine runs no 32-bit code ({session.machine.why_not})")
    try:
        session.start()
        where = f"display {display}" if display else f"Xvfb {session.display.name}"
        print(f"demo: starting the {program} kq6200ports.exe under "
              f"{session.templates.wine_version} on {where} with {args.tree}{why}", flush=True)
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
    try:
        sys.exit(main())
    except E2EError as error:
        print(f"demo: FAIL: {error}", file=sys.stderr)
        sys.exit(1)
