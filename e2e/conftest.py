"""pytest's view of the end-to-end scenarios.

    /usr/bin/python3 -m pytest e2e [-n 6] [-k hint] [-x] [--lf] [--durations 10]
                     [--build-dir build/windows] [--build-dir-x64 build/windows-x64]
                     [--native-dir build/native] [--keep]

Each worker (pytest-xdist's -n) is a process with a Session of its own: an
Xvfb display, a work folder, the prefix templates (made once, before the
workers start). A scenario is a test function that takes `session` (and, when
marked with common.params, one case's arguments). The scenarios run longest
first, by the seconds in durations.json (one not listed goes first), since
most of their time is spent waiting on the program's timers; each has a
time limit (pytest-timeout, pytest.ini), which fails it whatever it was
doing. Screenshots and logs go to build/e2e/ (--out-dir).

A scenario runs on one platform (platforms.py), the machine's default, unless
it takes `platform` from a table of platforms (common.on_platforms); the
cases of platforms this machine cannot run are deselected, and a scenario
left with none fails the collection: every scenario runs on every machine.
"""

import json
import math
import os
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from common import ROOT
from display import Display
from platforms import this_machine
from prefixes import Templates
from scenario import Session

HERE = Path(__file__).resolve().parent
DURATIONS = HERE / "durations.json"  # seconds per scenario, measured one at a time

# The niceness of a timing scenario's worker (common.timing).
PREFERRED_NICENESS = -10

# A skip fails the run unless pytest.ini's allowed_skips lists the scenario
# with its reason (tests/allowed_skips.py); none is listed, today.
pytest_plugins = ["allowed_skips"]


def pytest_addoption(parser):
    group = parser.getgroup("kq6200ports", "the program under test")
    group.addoption("--build-dir", default=str(ROOT / "build" / "windows"),
                    help="Windows build whose bin/ holds the x86 programs (default build/windows)")
    group.addoption("--build-dir-x64", default=str(ROOT / "build" / "windows-x64"),
                    help="Windows build whose bin/ holds the x64 programs "
                         "(default build/windows-x64)")
    group.addoption("--native-dir", default=str(ROOT / "build" / "native"),
                    help="host build whose kqreport the console scenarios compare with")
    group.addoption("--out-dir", default=str(ROOT / "build" / "e2e"),
                    help="screenshots, logs and cached prefixes (default build/e2e)")
    group.addoption("--keep", action="store_true", help="keep the scenario prefixes")
    group.addoption("--record-durations", action="store_true",
                    help=f"write the seconds of each passed scenario into {DURATIONS.name} "
                         "(run with -n 0)")


def is_worker(config):
    return hasattr(config, "workerinput")


def pytest_configure(config):
    if config.getoption("verbose") > 1:
        os.environ["KQ_E2E_VERBOSE"] = "1"
    if is_worker(config) or config.getoption("collectonly"):
        return
    # The prefix templates before the workers start, at the same time and
    # each once: a worker that found one missing would build it inside a
    # scenario's time limit.
    out_dir = Path(config.getoption("out_dir"))
    out_dir.mkdir(parents=True, exist_ok=True)
    archs = sorted({platform.arch for platform in this_machine().platforms})
    display = Display()
    try:
        templates = Templates(out_dir / "prefixes")
        with ThreadPoolExecutor(len(archs)) as pool:
            list(pool.map(lambda arch: templates.get(arch, display), archs))
    finally:
        display.close()


def pytest_report_header(config):
    return this_machine().summary()


def pytest_generate_tests(metafunc):
    """common.params tables as pytest parameters, with their case ids."""
    cases = getattr(metafunc.function, "e2e_params", None)
    if not cases:
        return
    names = list(cases[0][1])
    for case_id, kwargs in cases:
        if list(kwargs) != names:
            raise ValueError(f"{metafunc.function.__name__}[{case_id}]: arguments {list(kwargs)}, "
                             f"not {names}")
    metafunc.parametrize(names, [tuple(kwargs.values()) for _, kwargs in cases],
                         ids=[case_id for case_id, _ in cases])


def scenario_stem(name):
    """test_x[case] -> test_x-case: the prefix of the scenario's file names."""
    return name.replace("[", "-").replace("]", "")


def keep_runnable(config, items):
    """Deselects the cases of platforms this machine cannot run; fails when a
    scenario is left with none."""
    runnable = {platform.name for platform in this_machine().platforms}
    kept, dropped = [], []
    for item in items:
        platform = getattr(item, "callspec", None) and item.callspec.params.get("platform")
        (kept if platform is None or platform in runnable else dropped).append(item)
    orphans = {item.originalname for item in dropped} - {item.originalname for item in kept}
    if orphans:
        raise pytest.UsageError(f"scenarios with no case this machine can run "
                                f"({this_machine().why_not}): {', '.join(sorted(orphans))}")
    if dropped:
        config.hook.pytest_deselected(items=dropped)
        items[:] = kept


@pytest.hookimpl(tryfirst=True)  # before pytest-xdist reads the groups
def pytest_collection_modifyitems(config, items):
    keep_runnable(config, items)
    durations = {}
    try:
        durations = json.loads(DURATIONS.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        pass
    items.sort(key=lambda item: -durations.get(item.name, math.inf))
    for item in items:
        if getattr(item.function, "e2e_timing", False):
            item.add_marker(pytest.mark.xdist_group("timing"))
    if is_worker(config):
        return
    # Evidence of an earlier run of the same scenarios would be mistaken for
    # this one's (other scenarios' files are left alone).
    out_dir = Path(config.getoption("out_dir"))
    for item in items:
        for old in out_dir.glob(f"{scenario_stem(item.name)}*"):
            if old.suffix in (".png", ".log") and old.is_file():
                old.unlink()


@pytest.fixture(scope="session")
def e2e_session(pytestconfig):
    """This worker's Session: its display, its work folder."""
    session = Session({"x86": pytestconfig.getoption("build_dir"),
                       "x64": pytestconfig.getoption("build_dir_x64")},
                      pytestconfig.getoption("out_dir"),
                      keep=pytestconfig.getoption("keep"),
                      native_dir=pytestconfig.getoption("native_dir"))
    session.start()
    yield session
    session.close()


def prefer(session, niceness):
    """Sets the niceness of this worker and its X server (the processes a
    scenario starts inherit the worker's); False where that is not allowed
    (a priority above the normal one wants root)."""
    try:
        for pid in (0, session.display.proc.pid if session.display.proc else None):
            if pid is not None:
                os.setpriority(os.PRIO_PROCESS, pid, niceness)
        return True
    except OSError:
        return False


@pytest.fixture
def session(e2e_session, request):
    """The Session, named for this scenario; every prefix it opened is closed
    after it, failed or not. A scenario that measures timing (common.timing)
    runs with its worker and display preferred by the scheduler, so that the
    other workers' scenarios take no processor time from it."""
    e2e_session.current_test = scenario_stem(request.node.name)
    preferred = (getattr(request.function, "e2e_timing", False)
                 and prefer(e2e_session, PREFERRED_NICENESS))
    yield e2e_session
    for scenario in list(e2e_session._open):
        scenario.close(failed=True)
    if preferred:
        prefer(e2e_session, 0)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failure names where its scenario's screenshots and logs are."""
    outcome = yield
    report = outcome.get_result()
    if report.failed:
        out_dir = Path(item.config.getoption("out_dir"))
        report.sections.append(("screenshots and logs",
                                f"{out_dir / scenario_stem(item.name)}*.png, *.log"))


def pytest_runtest_logreport(report):
    name = report.nodeid.split("::")[-1].split("@")[0]  # less pytest-xdist's "@group"
    if report.when == "call" and report.passed:
        pytest_runtest_logreport.seconds[name] = round(report.duration, 1)


pytest_runtest_logreport.seconds = {}


def pytest_sessionfinish(session):
    config = session.config
    if is_worker(config) or not config.getoption("record_durations"):
        return
    try:
        known = json.loads(DURATIONS.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        known = {}
    known.update(pytest_runtest_logreport.seconds)
    DURATIONS.write_text(json.dumps(known, indent=1, sort_keys=True) + "\n", encoding="utf-8")
