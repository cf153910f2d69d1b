#!/usr/bin/env python3
"""Runs the end-to-end scenarios (e2e/test_*.py) against the Windows build.

    python3 e2e/run.py [--build-dir build/windows] [--native-dir build/native]
                       [-k PATTERN] [--repeat N] [--keep] [--list] [-v]

Prints one line per scenario (PASS/FAIL and seconds) and exits non-zero when
any scenario fails. Screenshots and logs go to build/e2e/.
"""

import argparse
import fnmatch
import importlib.util
import inspect
import signal
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import ROOT, E2EError  # noqa: E402
from scenario import Session  # noqa: E402

SCENARIO_TIMEOUT = 180  # seconds; the unit tests under Wine are the longest


def collect():
    tests = []
    for path in sorted(HERE.glob("test_*.py")):
        module_spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
        functions = [f for name, f in inspect.getmembers(module, inspect.isfunction)
                     if name.startswith("test_") and f.__module__ == module.__name__]
        functions.sort(key=lambda f: f.__code__.co_firstlineno)
        for function in functions:
            cases = getattr(function, "e2e_params", None)
            if cases is None:
                tests.append((function.__name__, function, {}, path.stem))
            else:
                for case_id, kwargs in cases:
                    tests.append((f"{function.__name__}[{case_id}]", function, kwargs, path.stem))
    return tests


def selected(name, patterns):
    if not patterns:
        return True
    return any(p in name or fnmatch.fnmatch(name, p) for p in patterns)


def scenario_stem(name):
    """test_x[case] -> test_x-case: the prefix of the scenario's file names."""
    return name.replace("[", "-").replace("]", "")


class ScenarioTimeout(E2EError):
    pass


def on_alarm(_signum, _frame):
    raise ScenarioTimeout(f"scenario took longer than {SCENARIO_TIMEOUT} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "windows"),
                        help="Windows build whose bin/ holds the programs (default build/windows)")
    parser.add_argument("--native-dir", default=str(ROOT / "build" / "native"),
                        help="host build whose kqreport the console scenarios compare with "
                             "(default build/native)")
    parser.add_argument("--out-dir", default=str(ROOT / "build" / "e2e"),
                        help="screenshots, logs and cached prefixes (default build/e2e)")
    parser.add_argument("-k", action="append", dest="patterns", default=[],
                        help="run only scenarios whose FILE::NAME (test_main_window::test_hot_plug) "
                             "contains PATTERN or matches it as a glob; may be repeated")
    parser.add_argument("--repeat", type=int, default=1, help="run the selection N times")
    parser.add_argument("--keep", action="store_true", help="keep the scenario prefixes")
    parser.add_argument("--list", action="store_true", help="list the scenarios and exit")
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args()
    if args.verbose:
        import os
        os.environ["KQ_E2E_VERBOSE"] = "1"

    tests = [t[:3] for t in collect() if selected(f"{t[3]}::{t[0]}", args.patterns)]
    if args.list:
        print("\n".join(name for name, _, _ in tests))
        return 0
    if not tests:
        print("no scenario matches", file=sys.stderr)
        return 2

    # Evidence of an earlier run of the same scenarios would be mistaken for
    # this one's (other scenarios' files are left alone).
    out_dir = Path(args.out_dir)
    for name, _, _ in tests:
        stem = scenario_stem(name)
        for old in out_dir.glob(f"{stem}*"):
            if old.suffix in (".png", ".log") and old.is_file():
                old.unlink()

    failures = []
    started = time.monotonic()
    session = Session(args.build_dir, args.out_dir, keep=args.keep, native_dir=args.native_dir)
    signal.signal(signal.SIGALRM, on_alarm)
    width = max(len(name) for name, _, _ in tests)
    try:
        session.start()
        for round_number in range(args.repeat):
            if args.repeat > 1:
                print(f"--- round {round_number + 1} of {args.repeat}", flush=True)
            for name, function, kwargs in tests:
                session.current_test = scenario_stem(name)
                t0 = time.monotonic()
                signal.alarm(SCENARIO_TIMEOUT)
                try:
                    function(session, **kwargs)
                    status, detail = "PASS", ""
                except Exception as error:  # a scenario's failure must not stop the run
                    status = "FAIL"
                    detail = f"{type(error).__name__}: {error}"
                    if not isinstance(error, E2EError):
                        detail += "\n" + traceback.format_exc()
                finally:
                    signal.alarm(0)
                    for scenario in list(session._open):
                        scenario.close(failed=True)
                elapsed = time.monotonic() - t0
                print(f"{status}  {name:<{width}}  {elapsed:6.1f} s", flush=True)
                if detail:
                    print("      " + detail.replace("\n", "\n      "), flush=True)
                    failures.append(name)
    finally:
        session.close()
    total = time.monotonic() - started
    runs = len(tests) * args.repeat
    print(f"{runs - len(failures)} passed, {len(failures)} failed in {total:.1f} s "
          f"(screenshots and logs: {session.out_dir})", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
