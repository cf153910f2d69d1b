"""pytest's view of kqports on Linux against umockdev test beds of units.

    umockdev-wrapper /usr/bin/python3 -m pytest tests/udev [--kqports=build/native/bin/kqports]
        [-m watch | -m "not watch"] [--update] [--write-examples] [-k serial] [-x] [--lf]
    umockdev-wrapper /usr/bin/python3 -m pytest tests/udev --rules=70-kq6200.rules

Each test bed of testbeds.py is served to the real libudev by umockdev; the
text and JSON that kqports prints are compared with tests/udev/expected/
(--update rewrites those files, to be read before they are committed), and
the documents' Linux examples with what it prints (--write-examples
rewrites them). Then --watch is driven by uevents, the rules of
--udev-rules are applied by udevadm to the test bed's devices, and kqports
runs on this machine's own /sys. With --rules, only that rules file (a
package's) is applied to the test beds: the tests marked rules_file.
(--kqports and --rules take their value after "=": pytest reads a word
after an option it does not know yet as a folder of tests.)
"""

import os
import subprocess
from pathlib import Path

import pytest

import harness

pytest_plugins = ["allowed_skips"]


def pytest_addoption(parser):
    group = parser.getgroup("kqports", "the program under test")
    group.addoption("--kqports", default=str(harness.ROOT / "build" / "native" / "bin" / "kqports"),
                    help="the Linux kqports to test (default build/native/bin/kqports)")
    group.addoption("--rules", help="only apply this rules file (a package's) to the test beds, "
                                    "as the rules for every unit")
    group.addoption("--update", action="store_true",
                    help="write what kqports prints into tests/udev/expected/")
    group.addoption("--write-examples", action="store_true",
                    help="write the documents' Linux examples of the test beds anew")


def pytest_configure(config):
    if "UMOCKDEV_DIR" not in os.environ and "umockdev" not in os.environ.get("LD_PRELOAD", ""):
        raise pytest.UsageError("run under umockdev-wrapper")


def pytest_collection_modifyitems(config, items):
    """With --rules, only the tests of a rules file run."""
    if not config.getoption("rules"):
        return
    keep = [item for item in items if item.get_closest_marker("rules_file")]
    config.hook.pytest_deselected(items=[item for item in items if item not in keep])
    items[:] = keep


@pytest.fixture(scope="session")
def kqports(pytestconfig):
    path = Path(pytestconfig.getoption("kqports")).resolve()
    if not os.access(path, os.X_OK):
        pytest.fail(f"no kqports to test at {path} (--kqports)", pytrace=False)
    return str(path)


@pytest.fixture(scope="session")
def update(pytestconfig):
    return pytestconfig.getoption("update")


@pytest.fixture(scope="session")
def write_examples(pytestconfig):
    return pytestconfig.getoption("write_examples")


@pytest.fixture(scope="session")
def rules_for_every_unit(pytestconfig, request):
    """(name, text) of the rules for every unit: the file of --rules, or
    what kqports --udev-rules prints."""
    if pytestconfig.getoption("rules"):
        return "packaged rules", Path(pytestconfig.getoption("rules")).read_text()
    code, rules, err = harness.run(request.getfixturevalue("kqports"), "--udev-rules",
                                   bed_env=False)
    assert code == 0, f"kqports --udev-rules: {code} {err}"
    return "rules for every unit", rules


@pytest.fixture(scope="session")
def served():
    """The test bed this process serves: its text, the bed, and whether the
    test that made it promised to leave it as it is."""
    return {}


@pytest.fixture
def make_bed(served):
    """make_bed(text) serves that test bed to the programs the test runs, one
    bed at a time. make_bed(text, shared=True), for a test that changes
    nothing in it, takes the bed the test before served when it is the same
    and was shared too: making a bed costs more than most tests."""

    def make(text, shared=False):
        if not (shared and served.get("shared") and served["text"] == text):
            served.clear()
            served.update(text=text, bed=harness.new_bed(text), shared=shared)
        os.environ["UMOCKDEV_DIR"] = served["bed"].get_root_dir()
        return served["bed"]

    return make


@pytest.fixture
def no_bed(served):
    """No test bed served: this process and the programs it runs see the
    machine's own /sys."""
    served.clear()
    os.environ.pop("UMOCKDEV_DIR", None)


class Processes:
    """The processes a test starts, each stopped after it, failed or not."""

    def __init__(self, scratch):
        self.scratch = scratch
        self.started = []

    def start_as(self, command_name, script):
        self.started.append(harness.start_as(self.scratch, command_name, script))
        return self.started[-1]

    def start_in_namespace(self, node):
        self.started.append(harness.start_in_namespace(node))
        return self.started[-1]

    def popen(self, *args, **kwargs):
        self.started.append(subprocess.Popen(*args, **kwargs))
        return self.started[-1]


@pytest.fixture
def processes(tmp_path):
    started = Processes(tmp_path)
    yield started
    harness.stop(*started.started)
