#!/usr/bin/env python3
"""Runs the end-to-end scenarios (e2e/test_*.py) against the Windows build.

    python3 e2e/run.py [--build-dir build/windows] [--native-dir build/native]
                       [-j N] [-k PATTERN] [--repeat N] [--keep] [--list] [-v]
                       [--record-durations]

Scenarios run in N worker processes at once, each with an Xvfb display of its
own (input, focus and clipboard belong to a display). One shared queue hands
them out longest first, by the times in e2e/durations.json, so that the long
waits spread over the workers. Prints one line per scenario as it ends
(PASS/FAIL and seconds), then "N passed, N failed", and exits non-zero when
any scenario fails. Screenshots and logs go to build/e2e/.
"""

import argparse
import contextlib
import fnmatch
import importlib.util
import inspect
import io
import json
import math
import multiprocessing
import os
import queue
import signal
import sys
import time
import traceback
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import ROOT, E2EError  # noqa: E402
from display import Display  # noqa: E402
from prefixes import Templates  # noqa: E402
from scenario import Session  # noqa: E402

SCENARIO_TIMEOUT = 180  # seconds; the unit tests under Wine are the longest
DURATIONS = HERE / "durations.json"  # seconds per scenario, measured one at a time


def default_jobs():
    """Most scenarios wait on the program's timers, not on a core: on 2 cores
    6 workers were fastest among those whose timing checks hold (docs/decisions.md)."""
    return 3 * (os.cpu_count() or 1)


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


def read_durations(path=DURATIONS):
    try:
        return json.loads(Path(path).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return {}


def longest_first(names, durations):
    """Indexes of names, longest known duration first. A scenario without a
    known duration goes first: it may be long, and a short one costs nothing
    there. Equal ones keep their file order."""
    return sorted(range(len(names)), key=lambda i: -durations.get(names[i], math.inf))


class ScenarioTimeout(E2EError):
    pass


def on_alarm(_signum, _frame):
    raise ScenarioTimeout(f"scenario took longer than {SCENARIO_TIMEOUT} s")


def run_one(session, name, function, kwargs):
    """Runs one scenario; returns (status, detail, what it printed, seconds).
    What it prints is kept to go out with its result line, whole."""
    session.current_test = scenario_stem(name)
    printed = io.StringIO()
    t0 = time.monotonic()
    signal.alarm(SCENARIO_TIMEOUT)
    try:
        with contextlib.redirect_stdout(printed):
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
    return status, detail, printed.getvalue(), time.monotonic() - t0


def worker(number, args, tests, tasks, results):
    """A worker process: a session of its own (Xvfb, work folder, SIGALRM),
    scenarios by index from tasks until None, each result to results."""
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, signal.SIG_DFL)
    session = Session(args.build_dir, args.out_dir, keep=args.keep, native_dir=args.native_dir)
    signal.signal(signal.SIGALRM, on_alarm)
    try:
        session.start()
        while (index := tasks.get()) is not None:
            results.put(("start", number, index))
            name, function, kwargs = tests[index]
            results.put(("done", number, index) + run_one(session, name, function, kwargs))
    except Exception as error:
        results.put(("lost", number, f"{type(error).__name__}: {error}"))
    finally:
        session.close()


def prepare_templates(out_dir):
    """Both prefix templates, before the workers start: built at the same time,
    each once (a worker that found one missing would build it inside a
    scenario's time limit)."""
    display = Display()
    try:
        templates = Templates(Path(out_dir) / "prefixes")
        with ThreadPoolExecutor(2) as pool:
            list(pool.map(lambda arch: templates.get(arch, display), ("win32", "win64")))
    finally:
        display.close()


class Report:
    """Prints each result as it comes, whole, and counts the failures."""

    def __init__(self, names):
        self.width = max(len(name) for name in names)
        self.passed, self.failures, self.passed_seconds = 0, [], {}

    def add(self, name, status, detail, printed, elapsed):
        lines = [f"{status}  {name:<{self.width}}  {elapsed:6.1f} s"]
        if printed:
            lines.append(printed.rstrip("\n"))
        if detail:
            lines.append("      " + detail.replace("\n", "\n      "))
            self.failures.append(name)
        else:
            self.passed += 1
            self.passed_seconds[name] = round(elapsed, 1)
        print("\n".join(lines), flush=True)


def run_round(tests, order, tasks, results, workers, report):
    """Queues one round in order and reports each result; a worker that dies
    fails the scenario it ran, and when none is left the rest fail too."""
    for index in order:
        tasks.put(index)
    waiting = set(order)
    running = {}
    while waiting:
        try:
            message = results.get(timeout=1)
        except queue.Empty:
            for number, process in enumerate(workers):
                if not process.is_alive() and number in running:
                    index = running.pop(number)
                    waiting.discard(index)
                    report.add(tests[index][0], "FAIL", f"its worker ended ({process.exitcode})",
                               "", 0.0)
            if waiting and not any(p.is_alive() for p in workers):
                for index in sorted(waiting):
                    report.add(tests[index][0], "FAIL", "no worker left to run it", "", 0.0)
                return False
            continue
        kind, number = message[0], message[1]
        if kind == "start":
            running[number] = message[2]
        elif kind == "done":
            index = message[2]
            running.pop(number, None)
            waiting.discard(index)
            report.add(tests[index][0], *message[3:])
        else:
            print(f"worker {number + 1} could not run: {message[2]}", flush=True)
    return True


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
    parser.add_argument("-j", "--jobs", type=int, default=default_jobs(),
                        help=f"scenarios at once, each on its own display (default "
                             f"{default_jobs()}: three times the cores)")
    parser.add_argument("-k", action="append", dest="patterns", default=[],
                        help="run only scenarios whose FILE::NAME (test_main_window::test_hot_plug) "
                             "contains PATTERN or matches it as a glob; may be repeated")
    parser.add_argument("--repeat", type=int, default=1, help="run the selection N times")
    parser.add_argument("--keep", action="store_true", help="keep the scenario prefixes")
    parser.add_argument("--list", action="store_true", help="list the scenarios and exit")
    parser.add_argument("--record-durations", action="store_true",
                        help=f"write the seconds of each passed scenario into "
                             f"{DURATIONS.relative_to(ROOT)} (run with -j 1)")
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args()
    if args.verbose:
        os.environ["KQ_E2E_VERBOSE"] = "1"
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")

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
    out_dir.mkdir(parents=True, exist_ok=True)
    for name, _, _ in tests:
        stem = scenario_stem(name)
        for old in out_dir.glob(f"{stem}*"):
            if old.suffix in (".png", ".log") and old.is_file():
                old.unlink()

    started = time.monotonic()
    jobs = min(args.jobs, len(tests))
    prepare_templates(out_dir)
    order = longest_first([name for name, _, _ in tests], read_durations())
    context = multiprocessing.get_context("fork")
    tasks, results = context.Queue(), context.Queue()
    workers = [context.Process(target=worker, args=(n, args, tests, tasks, results))
               for n in range(jobs)]
    for process in workers:
        process.start()

    def on_signal(signum, _frame):
        # Ctrl+C reaches the workers from the terminal; SIGTERM is passed on.
        # Each cleans up its own scenario and display.
        for process in workers:
            if signum == signal.SIGTERM and process.is_alive():
                process.terminate()
        for process in workers:
            process.join(30)
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    report = Report([name for name, _, _ in tests])
    try:
        for round_number in range(args.repeat):
            if args.repeat > 1:
                print(f"--- round {round_number + 1} of {args.repeat}", flush=True)
            if not run_round(tests, order, tasks, results, workers, report):
                break
    finally:
        for _ in workers:
            tasks.put(None)
        for process in workers:
            process.join(60)
            if process.is_alive():
                process.terminate()
                process.join(30)
    total = time.monotonic() - started
    failed = len(tests) * args.repeat - report.passed   # a round not run counts as failed
    if args.record_durations:
        DURATIONS.write_text(json.dumps({**read_durations(), **report.passed_seconds},
                                        indent=1, sort_keys=True) + "\n", encoding="utf-8")
    print(f"{report.passed} passed, {failed} failed in {total:.1f} s "
          f"with {jobs} worker{'s' if jobs > 1 else ''} (screenshots and logs: {out_dir})",
          flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
