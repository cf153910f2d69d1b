"""--label: a name per unit for two-radio stations. The labelling rules
applied by udevadm beside the rules for every unit; kqports' report, JSON,
--serial, --role and --for on units the rules labelled; every label the
command line refuses."""

import json
import re
import tempfile
from pathlib import Path

import pytest

import doc_examples
import testbeds
from harness import (BEDS, in_namespace, logged_properties, new_bed, paths_of, rule_devices, run,
                     udevadm_tests)

LABELLED = BEDS["two-labelled"][0]


def unit_devices(bed_text, hub):
    """The USB functions, ports and sound card of the unit behind `hub`."""
    own = hub.rsplit("/", 1)[1]
    functions = [f"{hub}/{own}.{n}" for n in (1, 2, 3)]
    return functions + [p for p in rule_devices(bed_text) if p.startswith(hub + "/")]


def applied(rules_files, bed_text, devices):
    """udevadm test with the rules files on each device: the links made, and
    the properties each device ends with."""
    bed = new_bed(bed_text)
    with tempfile.TemporaryDirectory() as scratch:
        out = in_namespace(scratch, rules_files, udevadm_tests(scratch, devices, lambda i: f"log.{i}")
                           + "\nif [ -d /dev/kq6200 ]; then cd /dev && "
                           "find kq6200 -type l -printf '%p -> %l\\n' | sort; fi\n") or ""
        properties = [logged_properties((Path(scratch) / f"log.{i}").read_text(errors="replace"))
                      for i in range(len(devices))]
    del bed
    return dict(line.split(" -> ") for line in out.splitlines()), properties


def test_labelling_rules_label_that_unit_only(kqports, rules_for_every_unit):
    code, labels, err = run(kqports, "--udev-rules", "--label", "40117=IC7300", bed_env=False)
    assert code == 0 and not err and "Install as /etc/udev/rules.d/71-kq6200-labels.rules" in labels
    text, first_hub = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C")
    second, second_hub = testbeds.unit(testbeds.ROOT, 5, "40262", "KQ6B7E41", acm=(2, 3),
                                       usb=(3, 2), card=2)
    bed = testbeds.root_hub() + text + second
    mine, other = unit_devices(bed, first_hub), unit_devices(bed, second_hub)
    links, properties = applied({"70-kq6200.rules": rules_for_every_unit[1],
                                 "71-kq6200-labels.rules": labels}, bed, mine + other)
    assert {k: v for k, v in links.items() if "IC7300" in k} == {
        "kq6200/IC7300/cat": "../../ttyUSB0", "kq6200/IC7300/ptt": "../../ttyUSB1",
        "kq6200/IC7300/winkey": "../../ttyACM0", "kq6200/IC7300/fsk": "../../ttyACM1"} \
        and "kq6200/40117/cat" in links and "kq6200/40262/cat" in links, links
    assert [p.get("KQ6200_LABEL") for p in properties] == ["IC7300"] * len(mine) + [None] * len(other), \
        f"the label on each of the unit's USB functions, ports and card, on none of the other's: " \
        f"{list(zip(mine + other, [p.get('KQ6200_LABEL') for p in properties]))}"
    card = properties[len(mine) - 1]
    assert card["SOUND_DESCRIPTION"] == card["ID_MODEL_FROM_DATABASE"] == "KQ-6200 IC7300 (S/N 40117)" \
        and card["PULSE_NAME"] == card["ACP_NAME"] == "kq6200-40117", \
        f"the label in the card's description, its sound-server names the serial's: {card}"
    assert properties[-1]["SOUND_DESCRIPTION"] == "KQ-6200 S/N 40262", properties[-1]


@pytest.mark.parametrize("label", ['40117=IC"7300', "40117=IC/7300", "40117=IC 7300",
                                   "40117=IC\x1b7300", "40117=IC\u202e7300", "40117=",
                                   "40117=ABCDEFGHIJKLMNOP", "4011=IC7300", "40117"])
def test_a_bad_label_is_refused_and_writes_nothing(kqports, label):
    for args in (("--udev-rules", "--label", label), ("--label", label)):
        code, out, err = run(kqports, *args, bed_env=False)
        assert code == 2 and out == "" and err.count("\n") == 1 and "is no label" in err, \
            f"{args}: {code} {out!r} {err!r}"


def test_two_labels_for_one_unit_or_one_for_two_are_refused(kqports):
    for args, said in ((("40117=A", "40117=B"), "the unit with S/N 40117 has a label already"),
                       (("40117=A", "40262=A"), "the label A is the unit 40117's already"),
                       (("40117=40262", "40262=FT991"), "40262 is the serial of another unit")):
        code, out, err = run(kqports, "--udev-rules", *[w for a in args for w in ("--label", a)],
                             bed_env=False)
        assert code == 2 and out == "" and said in err, f"{args}: {code} {out!r} {err!r}"


def test_report_serial_role_and_settings_carry_the_label(kqports, make_bed):
    make_bed(LABELLED, shared=True)
    text = run(kqports)[1]
    assert "Quorvanta KQ6200 S/N 40117 (IC7300)\n" in text \
        and "Quorvanta KQ6200 S/N 40262\n" in text, text
    units = {u["serial"]: u for u in json.loads(run(kqports, "--json")[1])["units"]}
    assert units["40117"]["label"] == "IC7300" and units["40262"]["label"] is None, units
    assert run(kqports, "--serial", "IC7300", "--role", "cat")[1] == "/dev/kq6200/IC7300/cat\n"
    assert run(kqports, "--serial", "40262", "--role", "cat")[1] == "/dev/kq6200/40262/cat\n"
    wsjtx = run(kqports, "--for", "wsjtx", "--serial", "IC7300")[1]
    assert "the unit IC7300 (S/N 40117)" in wsjtx \
        and "CATSerialPort=/dev/kq6200/IC7300/cat\n" in wsjtx, wsjtx
    both = run(kqports, "--for", "wsjtx", "--label", "40262=FT991")[1]
    assert "wsjtx --rig-name=FT991" in both and "~/.config/WSJT-X - FT991.ini" in both, both
    rigctld = run(kqports, "--for", "rigctld")[1]
    assert "# the unit IC7300 (S/N 40117), on 127.0.0.1:4708\n" in rigctld, rigctld


def test_a_label_that_names_another_unit_is_refused_and_one_for_no_unit_said(kqports, make_bed):
    """Against the units attached: a label that is another unit's serial or
    label (the rules' too, letter case aside) is bad usage and prints
    nothing, whatever is asked; a label of a serial no unit attached has is
    said on standard error, and the rest is done."""
    make_bed(LABELLED, shared=True)
    for label, said in (("40262=40117", "40117 is the S/N of another unit attached"),
                        ("40262=ic7300", "ic7300 is the label of the unit with S/N 40117 already")):
        for asked in ((), ("--json",), ("--for", "wsjtx"), ("--serial", "40262", "--role", "cat")):
            code, out, err = run(kqports, "--label", label, *asked)
            assert code == 2 and out == "" and err.count("\n") == 1 \
                and f'kqports: "{label}" is no label: {said}; ' in err, f"{asked}: {code} {out!r} {err!r}"
    # A label given over the rules' for the same unit, and one for a unit not attached.
    code, out, err = run(kqports, "--label", "40117=FT991", "--label", "99999=FT857", "--for", "wsjtx")
    assert code == 0 and "--rig-name=FT991:" in out \
        and err == "kqports: no unit with S/N 99999 is attached: the label FT857 names none\n", err


def test_documented_two_radios(kqports, make_bed, write_examples):
    """docs/kqports.md's report of two radios, one of them labelled."""
    make_bed(LABELLED, shared=True)
    problems = doc_examples.compare_or_write({"linux-two-radios": run(kqports)[1]}, write_examples,
                                             "linux")
    assert not problems, "\n".join(problems)
