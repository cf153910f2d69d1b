"""No unit, but two of its functions: the not-found report says which were
seen and where, and that the MCU was not."""

import json

from harness import BEDS, NOT_FOUND, run


def test_functions_seen_without_a_unit(kqports, make_bed):
    make_bed(BEDS["mcu-missing"][0], shared=True)
    code, out, err = run(kqports)
    seen = [line.strip() for line in out.splitlines()[1:]]
    assert code == 1 and out.startswith(NOT_FOUND) and seen == [
        "Seen: the FTDI bridge 0403:6010 on USB port 1-4.2.",
        "Seen: the codec 10C4:EAC3 on USB port 1-4.3.",
        "Not seen: the MCU 0483:A1DF, by which a unit is found: "
        "unplug the unit and plug it in again."], \
        f"the FTDI and the codec with their USB ports, the MCU not seen, exit code 1: {out}"
    document = json.loads(run(kqports, "--json")[1])
    assert [(f["function"], f["vidPid"], f["id"].rsplit("/", 1)[1]) for f in document["seen"]] \
        == [("ftdi", "0403:6010", "1-4.2"), ("audio", "10C4:EAC3", "1-4.3")], \
        f"the JSON lists the same two functions by their sysfs paths: {document}"
