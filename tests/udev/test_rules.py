"""The rules of --udev-rules, with and without serials, applied by udevadm to
the test bed's devices in a mount namespace of their own. The tests marked
rules_file also run on a package's rules file (--rules)."""

import re
import subprocess

import pytest

import doc_examples
import testbeds
from harness import (BEDS, TWO_UNITS_LINKS, apply_rules, card_names_of, opened_up, run,
                     sound_server_names)

TWO_UNITS = BEDS["two-units"][0]


def test_printed_for_every_unit_whatever_is_attached(kqports, make_bed, rules_for_every_unit):
    make_bed(TWO_UNITS, shared=True)
    code, rules, err = run(kqports, "--udev-rules")
    assert code == 0 and "# Unit" not in rules and "$env{KQ6200_SERIAL}" in rules, \
        f"with no serial, for every unit: {code} {err}"
    assert rules == rules_for_every_unit[1], "with no serial, the same whatever is attached"


def test_printed_for_the_serials_given(kqports):
    code, given, err = run(kqports, "--udev-rules", "40117", "40262", bed_env=False)
    assert code == 0 and "# Unit 40117" in given and "# Unit 40262" in given \
        and "$env{KQ6200_SERIAL}/" not in given, f"{code} {err}"


def test_a_serial_not_of_five_letters_or_digits_is_bad_usage(kqports):
    code, _, err = run(kqports, "--udev-rules", "1234;", bed_env=False)
    assert code == 2, f"{code} {err}"


@pytest.fixture
def two_serials(kqports):
    return run(kqports, "--udev-rules", "40117", "40262", bed_env=False)[1]


@pytest.mark.parametrize("which", [pytest.param("every-unit", marks=pytest.mark.rules_file),
                                   "two-serials"])
def test_udevadm_verify(which, request, tmp_path):
    """udevadm's own check of the rules, where this udevadm has one (252, in
    Debian 12, has not: the rules are checked by applying them)."""
    if subprocess.run(["udevadm", "verify", "--help"], capture_output=True).returncode != 0:
        pytest.skip("this udevadm has no verify; the rules are checked by applying them")
    rules = (request.getfixturevalue("rules_for_every_unit")[1] if which == "every-unit"
             else request.getfixturevalue("two_serials"))
    path = tmp_path / "70-kq6200.rules"
    path.write_text(rules)
    done = subprocess.run(["udevadm", "verify", str(path)], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture(scope="module")
def every_unit_applied(rules_for_every_unit):
    """(links, logs, what the namespace printed) of the rules for every unit
    applied to the test bed two-units."""
    return apply_rules(rules_for_every_unit[1], TWO_UNITS)


@pytest.mark.rules_file
def test_rules_for_every_unit_name_both_units(every_unit_applied, rules_for_every_unit):
    name = rules_for_every_unit[0]
    links, logs, detail = every_unit_applied
    assert links == TWO_UNITS_LINKS, f"{name}: udevadm makes the links of both units: {detail}"
    for serial in ("40117", "40262"):
        assert re.search(rf"ATTR '[^']*/card\d/id' writing 'KQ{serial}'", logs), \
            f"{name}: the sound card of {serial} is named KQ{serial}: no such ATTR line in the log"
        assert sorted(n for n in sound_server_names(logs) if serial in n[1]) == \
            card_names_of(serial), \
            f"{name}: the sound servers' description, product name and names of {serial}'s " \
            f"card: {sound_server_names(logs)}"
    assert opened_up(logs) == (8, 8), \
        f"{name}: the units' eight ports are left to the user at the desk, not to ModemManager: " \
        f"ignored by ModemManager, tagged uaccess: {opened_up(logs)}"


@pytest.mark.rules_file
@pytest.mark.parametrize("tail", ["-40-1", "..//a", "4 0 1"],
                         ids=["dashes", "a path", "blanks"])
def test_rules_for_every_unit_name_no_unit_of_another_serial(tail, rules_for_every_unit):
    """Units whose MCU serial does not end in five letters or digits get no
    link, no card id, nothing for ModemManager or the sound servers."""
    unit, _ = testbeds.unit(testbeds.ROOT, 4, tail, "KQ6A1B2C")
    links, logs, detail = apply_rules(rules_for_every_unit[1], testbeds.root_hub() + unit)
    assert links == {} and "writing 'KQ" not in logs and opened_up(logs) == (0, 0) \
        and sound_server_names(logs) == [], \
        f"{rules_for_every_unit[0]}: {detail}{sound_server_names(logs)}"


def test_rules_for_two_serials_name_both_units(two_serials):
    links, _, detail = apply_rules(two_serials, TWO_UNITS)
    assert links == TWO_UNITS_LINKS, detail


def test_rules_for_one_serial_name_that_unit_only(kqports):
    _, one, _ = run(kqports, "--udev-rules", "40262", bed_env=False)
    links, logs, detail = apply_rules(one, TWO_UNITS)
    assert links == {k: v for k, v in TWO_UNITS_LINKS.items() if "40262" in k}, detail
    assert sorted(sound_server_names(logs)) == card_names_of("40262"), \
        f"the card of 40262 named for the sound servers, the other not: {sound_server_names(logs)}"


@pytest.mark.rules_file
def test_a_codec_without_its_unit_gets_no_names(rules_for_every_unit):
    """The codec of a unit whose MCU did not enumerate, as any board with the
    same USB audio chip: no card id, no names for the sound servers."""
    _, logs, detail = apply_rules(rules_for_every_unit[1], BEDS["mcu-missing"][0])
    assert "writing 'KQ" not in logs and sound_server_names(logs) == [], \
        f"{rules_for_every_unit[0]}: {detail}{sound_server_names(logs)}"


def test_documented_links(every_unit_applied, write_examples):
    """docs/kqports.md's listing of the links udevadm made from the rules for
    every unit, as the namespace printed it."""
    problems = doc_examples.compare_or_write({"linux-links": every_unit_applied[2]},
                                             write_examples, "linux")
    assert not problems, "\n".join(problems)
