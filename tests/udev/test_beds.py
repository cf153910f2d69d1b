"""Each test bed: the text and JSON kqports prints, as in tests/udev/expected/
(--update rewrites them), and the members of the JSON."""

import json
import re

import pytest

import testbeds
from harness import BEDS, EXPECTED, NOT_FOUND, PORT_ROLES, as_on_any_machine, run, without_time

# The members the Windows program's JSON has (docs/kqports.md); Linux keeps
# each of them with its meaning and adds its own names to the roles.
DOCUMENT_KEYS = {"format", "time", "splitAudio", "units", "report", "seen"}
UNIT_KEYS = {"serial", "label", "mcuStatus", "ftdiStatus", "audioStatus", "cat", "ptt", "fsk", "winkey",
             "audioIn", "audioOut", "problems"}
PROBLEM_KEYS = {"walk", "code", "meaning", "remedy"}
PORT_KEYS = {"name", "id", "link", "stable", "access", "holders", "uninspected", "hiddenProcesses",
             "modemManager"}
AUDIO_KEYS = {"name", "id", "alsa", "plughw", "description", "soundServer"}
SEEN_KEYS = {"function", "vidPid", "id", "problem"}


@pytest.fixture(scope="module", params=list(BEDS))
def name(request):
    """Each test bed's name; pytest runs a bed's tests one after the other,
    so that they share it."""
    return request.param


def compare(got, path, update):
    if update:
        path.write_text(got)
    expected = path.read_text() if path.exists() else None
    assert got == expected, f"differs from tests/udev/expected/{path.name} (--update rewrites it)"


def test_text(name, kqports, make_bed, update):
    text, what = BEDS[name]
    make_bed(text, shared=True)
    code, out, err = run(kqports)
    compare(as_on_any_machine(out), EXPECTED / f"{name}.txt", update)
    assert code == (1 if out.startswith(NOT_FOUND) else 0), f"exit code {code} ({what}): {err}"


def roles_as_documented(unit):
    return set(unit) == UNIT_KEYS and all(
        unit[role] is None or set(unit[role]) == (PORT_KEYS if role in PORT_ROLES else AUDIO_KEYS)
        for role in UNIT_KEYS - {"serial", "label", "mcuStatus", "ftdiStatus", "audioStatus", "problems"})


def test_json(name, kqports, make_bed, update):
    make_bed(BEDS[name][0], shared=True)
    code, out, err = run(kqports, "--json")
    try:
        document = json.loads(out)
    except ValueError as error:
        pytest.fail(f"the JSON does not parse: {error}: {out!r}")
    got = json.dumps(without_time(document), indent=2, ensure_ascii=False) + "\n"
    compare(got, EXPECTED / f"{name}.json", update)
    units = document.get("units", [])
    assert set(document) == DOCUMENT_KEYS and document["format"] == 1, \
        f"the Windows program's JSON members: {out}"
    assert all(roles_as_documented(unit) for unit in units), \
        f"a unit's members, with Linux's names added to its roles: {out}"
    assert all(set(p) == PROBLEM_KEYS for unit in units for p in unit["problems"]) and all(
        [(p["walk"], p["code"]) for p in unit["problems"]] ==
        [(w, unit[f"{w}Status"]) for w in ("ftdi", "mcu", "audio") if unit[f"{w}Status"]]
        for unit in units), f"a unit's problems, one per walk that stopped: {out}"
    assert all(set(f) == SEEN_KEYS for f in document.get("seen", [])) and (
        not units or document["seen"] == []), f"the functions seen without a unit: {out}"
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d", document.get("time", "")), \
        f"the JSON time: {document.get('time')!r}"


def test_units_in_port_order_past_nine(kqports, make_bed):
    """Units on hub ports 10 and 2 are listed as the ports count, not as
    their names sort ("1-10" before "1-2")."""
    tenth, _ = testbeds.unit(testbeds.ROOT, 10, "40117", "KQ6A1B2C")
    second, _ = testbeds.unit(testbeds.ROOT, 2, "40262", "KQ6B7E41", acm=(2, 3), usb=(3, 2), card=2)
    make_bed(testbeds.root_hub() + tenth + second)
    units = json.loads(run(kqports, "--json")[1])["units"]
    assert [u["serial"] for u in units] == ["40262", "40117"], units
