"""This machine's own /sys, no test bed: no unit here."""

from pathlib import Path

import pytest

from harness import NOT_FOUND, run


def test_not_found_on_this_machine(kqports, no_bed):
    attached = any((d / "idProduct").exists() and (d / "idProduct").read_text().strip() == "a1df"
                   for d in Path("/sys/bus/usb/devices").glob("*"))
    if attached:
        pytest.skip("a KQ-6200 is attached to this machine")
    code, out, err = run(kqports, bed_env=False)
    assert out.startswith(NOT_FOUND) and code == 1, f"{code} {out!r} {err}"
