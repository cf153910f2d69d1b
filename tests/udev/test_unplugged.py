"""A unit that was there and is gone: its devices removed from sysfs, the
class links of its ttys and sound devices left dangling, as after a removal
that udev has not finished with."""

import testbeds
from harness import NOT_FOUND, run


def test_unplugged_unit_is_not_found(kqports, make_bed):
    text, unit_hub = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C")
    bed = make_bed(testbeds.root_hub() + text)
    bed.remove_device("/sys" + unit_hub)
    code, out, err = run(kqports)
    assert out.startswith(NOT_FOUND), f"the not-found line: {out}{err}"
    assert code == 1, f"exit code {code}"
