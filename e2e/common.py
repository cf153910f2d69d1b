"""What every module of the end-to-end tests and every scenario file uses: the
error a failed check raises, commands with a time limit, bounded polling, the
checks themselves and the tree fixtures.

Standard library only. Every wait is a bounded poll; nothing sleeps blindly
except where the program's own timers are what is being measured.
"""

import os
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TREES = ROOT / "e2e" / "trees"


class E2EError(AssertionError):
    """A check failed or the program did not do what was expected."""


def log(message):
    if os.environ.get("KQ_E2E_VERBOSE"):
        print(f"    [{time.strftime('%H:%M:%S')}] {message}", flush=True)


def run(cmd, timeout=60, check=True, text=True, **kwargs):
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=text,
                            timeout=timeout, **kwargs)
    if check and result.returncode != 0:
        stderr = result.stderr if text else result.stderr.decode("utf-8", "replace")
        raise E2EError(f"{cmd[0]} failed ({result.returncode}): {stderr.strip()[:500]}")
    return result


def poll(what, predicate, timeout, interval=0.05, slower_after=None):
    """Calls predicate until it returns something truthy; raises after timeout.
    After slower_after seconds (if given) it calls it every 0.25 s at most: a
    long wait's answer is not timed to the tenth, and each call may start
    processes."""
    started = time.monotonic()
    deadline = started + timeout
    while True:
        value = predicate()
        if value:
            return value
        now = time.monotonic()
        if now > deadline:
            raise E2EError(f"timed out after {timeout:.1f} s waiting for {what}")
        slow = slower_after is not None and now - started > slower_after
        time.sleep(max(interval, 0.25) if slow else interval)


def expect(condition, message):
    if not condition:
        raise E2EError(message)


def expect_equal(actual, expected, what):
    if actual != expected:
        raise E2EError(f"{what}: expected {expected!r}, got {actual!r}")


def timing(function):
    """Marks a scenario that measures the program's timing to a second or
    less: the scenarios so marked run one after another on one worker, whose
    processes the scheduler prefers to the other workers' (conftest.py)."""
    function.e2e_timing = True
    return function


def params(*cases):
    """Marks a test function as a table: run once per (id, kwargs) case."""
    def mark(function):
        function.e2e_params = cases
        return function
    return mark


def on_platforms(*names, **kwargs):
    """A params table of the named platforms (platforms.py; all three by
    default), each case's arguments `platform` and kwargs."""
    from platforms import EVERY
    chosen = names or tuple(platform.name for platform in EVERY)
    return params(*((name, dict(platform=name, **kwargs)) for name in chosen))


def tree(name):
    """Text of e2e/trees/<name>.devtree."""
    return (TREES / f"{name}.devtree").read_text(encoding="utf-8")


def listing(folder):
    """Every file and folder below folder, as sorted relative paths."""
    return sorted(str(p.relative_to(folder)) for p in Path(folder).rglob("*"))


def expect_removed(folder, what):
    """Expects folder gone within a few seconds. A folder removed while
    another process has it open (a look at the markers by the program, say)
    stays, empty, until that process lets go: Windows and Wine delete it
    then."""
    deadline = time.monotonic() + 5
    while Path(folder).exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    expect(not Path(folder).exists(), f"{what} left behind: {listing(folder)}")
