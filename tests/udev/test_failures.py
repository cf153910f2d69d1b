"""Exit code 3, not 1: a unit attached, but udev cannot be read, or the
output cannot be written."""

import os
import subprocess
from pathlib import Path

import pytest

from harness import BEDS, env_for, run


@pytest.fixture
def unreadable_udev(make_bed):
    """The test bed one-unit, its bus folder a file: libudev's scan of it
    fails, as on a machine whose sysfs cannot be read."""
    make_bed(BEDS["one-unit"][0])
    bus = Path(os.environ["UMOCKDEV_DIR"]) / "sys" / "bus"
    bus.rename(bus.with_name("bus.away"))
    bus.write_text("")
    yield
    bus.unlink()
    bus.with_name("bus.away").rename(bus)


@pytest.mark.parametrize("args", [(), ("--json",), ("--serial", "40117", "--role", "cat")],
                         ids=lambda args: " ".join(args) or "text")
def test_udev_unreadable_is_exit_code_3(args, kqports, unreadable_udev):
    code, out, err = run(kqports, *args)
    assert code == 3 and out == "" and "cannot read udev" in err, f"{code} {out!r} {err}"


def test_udev_unreadable_udev_rules_all_the_same(kqports, unreadable_udev):
    """The rules for every unit do not depend on what udev holds."""
    code, out, err = run(kqports, "--udev-rules")
    assert code == 0 and "$env{KQ6200_SERIAL}" in out, f"{code} {err}"


@pytest.mark.parametrize("args", [(), ("--json",), ("--udev-rules",), ("--help",),
                                  ("--watch",)],
                         ids=lambda args: " ".join(args) or "text")
def test_standard_output_full_is_exit_code_3(args, kqports, make_bed):
    """The report did not reach its reader; --watch ends at its first report,
    as a failure."""
    make_bed(BEDS["one-unit"][0], shared=True)
    with open("/dev/full", "w") as full:
        done = subprocess.run([kqports, *args], stdout=full, stderr=subprocess.PIPE,
                              env=env_for(), timeout=60)
    assert done.returncode == 3, f"{done.returncode} {done.stderr}"


def test_standard_output_closed_is_exit_code_3(kqports, make_bed):
    make_bed(BEDS["one-unit"][0], shared=True)
    done = subprocess.run([kqports], stdout=subprocess.DEVNULL, env=env_for(), timeout=60,
                          preexec_fn=lambda: os.close(1))
    assert done.returncode == 3, done.returncode


def test_bad_usage_is_exit_code_2_and_one_line(kqports):
    code, out, err = run(kqports, "--jsno", bed_env=False)
    assert code == 2 and out == "" and err.count("\n") == 1 and "--jsno" in err, \
        f"{code} {out!r} {err}"
