"""--serial and --role: one line for a script, or nothing on standard output
and exit code 1 when it is not there."""

import pytest

import testbeds
from harness import BEDS, run

BY_ID = "/dev/serial/by-id/usb-FTDI_Dual_RS232-HS_KQ6B7E41-if00-port0\n"


ROLE_CASES = [
    # Without the rules' links, the port's link by ID: the kernel's ttyUSB3
    # may be the other unit's after the next replug.
    (["--serial", "40262", "--role", "cat"], BY_ID, 0),
    (["--serial=40262", "--role=CAT"], BY_ID, 0),
    (["--serial", "40262", "--role", "cat", "--node"], "/dev/ttyUSB3\n", 0),
    (["--role", "audioOut", "--serial", "40117"], "hw:CARD=CODEC,DEV=0\n", 0),
    (["--serial", "40118", "--role", "cat"], "", 1),
    (["--role", "cat"], "", 2),
    (["--serial", "40117", "--serial", "40262", "--role", "cat"], "", 2),
]


@pytest.mark.parametrize("args, out, code", ROLE_CASES,
                         ids=[" ".join(args) for args, _, _ in ROLE_CASES])
def test_role_on_two_units(args, out, code, kqports, make_bed):
    make_bed(BEDS["two-units"][0], shared=True)
    got = run(kqports, *args)
    assert got[:2] == (code, out), got


def test_an_option_given_twice_is_named(kqports, make_bed):
    make_bed(BEDS["two-units"][0], shared=True)
    got = run(kqports, "--serial", "40117", "--role", "cat", "--role", "ptt")
    assert got[0] == 2 and '"--role" is given twice' in got[2], got


def test_serial_reports_that_unit_only(kqports, make_bed):
    make_bed(BEDS["two-units"][0], shared=True)
    got = run(kqports, "--serial", "40262")
    assert got[0] == 0 and "S/N 40262" in got[1] and "S/N 40117" not in got[1], got


def test_role_with_one_unit(kqports, make_bed):
    make_bed(BEDS["ftdi-without-driver"][0], shared=True)
    got = run(kqports, "--role", "cat")
    assert got[:2] == (1, "") and "FTDI" not in got[1], \
        f"a port whose walk stopped short exits 1, nothing printed: {got}"
    got = run(kqports, "--role", "fsk")
    assert got[:2] == (0, "/dev/serial/by-id/usb-Quorvanta_KQ-6200_205140117-if02\n"), \
        f"one unit needs no --serial: {got}"


@pytest.mark.parametrize("role, out", [("winkey", "/dev/kq6200/40117/winkey\n"),
                                       ("audioIn", "hw:CARD=KQ40117,DEV=0\n")])
def test_role_by_the_rules_name_where_udev_made_it(role, out, kqports, make_bed):
    make_bed(BEDS["with-rules"][0], shared=True)
    got = run(kqports, "--role", role)
    assert got[:2] == (0, out), got


def test_role_is_the_device_node_where_the_port_has_no_link(kqports, make_bed):
    bare, _ = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C", by_id=False)
    make_bed(testbeds.root_hub() + bare, shared=True)
    got = run(kqports, "--role", "ptt")
    assert got[:2] == (0, "/dev/ttyUSB1\n"), got


def test_a_serial_not_attached_names_those_that_are(kqports, make_bed):
    """--serial of a unit not there among two that are: not their functions
    as "Seen" lines, which read as a unit half attached, but their serials."""
    make_bed(BEDS["two-units"][0], shared=True)
    code, out, _ = run(kqports, "--serial", "99999")
    assert code == 1 and out == ("Quorvanta KQ-6200 not found\n"
                                 "        Attached: the units with S/N 40117, 40262.\n"), out
    assert run(kqports, "--serial", "99999", "--role", "cat")[2] == \
        "kqports: no unit with S/N 99999 is attached; attached: 40117, 40262\n"
    assert run(kqports, "--role", "cat")[2] == \
        "kqports: 2 units are attached (40117, 40262); name one with --serial\n"
