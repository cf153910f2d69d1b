"""A pytest plugin: the run fails when a test was skipped that its
pytest.ini does not allow to be, so that nothing passes by not running.

A pytest.ini names the plugin's folder in `pythonpath` and its conftest.py
loads it (`pytest_plugins = ["allowed_skips"]`); the ini lists the tests
that may be skipped, each with the reason it may:

    allowed_skips =
        test_name: why this test may be skipped
        test_other[case]: why this one case may

A name without its [case] allows every case of the test. Each skip is
reported as one all the same (-ra lists them with their reasons).
"""

import re

import pytest

ENTRY = re.compile(r"(\S+?): +(\S.*)")


def pytest_addoption(parser):
    parser.addini("allowed_skips", type="linelist",
                  help="tests that may be skipped, each as NAME: REASON")


def allowed_skips(config):
    """name -> reason, from the ini; an entry without its reason is refused."""
    entries = {}
    for line in config.getini("allowed_skips"):
        match = ENTRY.fullmatch(line.strip())
        if not match:
            raise pytest.UsageError(f"allowed_skips: {line!r} is not NAME: REASON")
        entries[match[1]] = match[2]
    return entries


def name_of(nodeid):
    """test_x[case] of a node id, less pytest-xdist's "@group"."""
    return nodeid.split("::")[-1].split("@")[0]


class Judge:
    """Notes each skip; at the end, fails the run for those not allowed."""

    def __init__(self, allowed):
        self.allowed = allowed
        self.refused = []

    def pytest_runtest_logreport(self, report):
        name = name_of(report.nodeid)
        if report.skipped and name not in self.allowed and name.split("[")[0] not in self.allowed:
            self.refused.append(name)

    def pytest_sessionfinish(self, session):
        if self.refused:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED

    def pytest_terminal_summary(self, terminalreporter):
        if self.refused:
            terminalreporter.write_sep("=", "skipped, and not allowed to be (pytest.ini "
                                            "allowed_skips)", red=True)
            terminalreporter.line(", ".join(self.refused), red=True)


def pytest_configure(config):
    allowed = allowed_skips(config)
    if not hasattr(config, "workerinput"):  # a pytest-xdist worker: its controller judges
        config.pluginmanager.register(Judge(allowed), "allowed_skips_judge")
