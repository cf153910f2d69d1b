"""A unit whose MCU claims one hostile serial after another, beside a normal
unit: the rules for every unit give it no serial, no property of their
making and no link, create no file, and the normal unit keeps its links."""

import re
from pathlib import Path

import testbeds
from harness import (in_namespace, logged_properties, rule_devices, run, serial_program,
                     udevadm_tests)

# MCU serials a USB device may claim, each of which must give no serial to
# the rules: shell and udev syntax, glob patterns, paths, blanks, wrong
# lengths, non-ASCII. "\\n" is a backslash and an n, which dash's echo turns
# into a line end; "\n" is a line end itself.
HOSTILE_SERIALS = [
    r"[x]\nSYSTEMD_WANTS=debug-shell.service\nKQ6200_SERIAL=40117",
    r"2051[x]\nSYSTEMD_WANTS=debug-shell.service\nKQ6200_SERIAL=40117",
    r"205140117x\nA=1",
    "2051x\nA=1",
    "205140117\nA=1",
    "2051ab$(touch${IFS}kq-pwned)cd",
    "2051`touch kq-pwned`",
    "2051`id`",
    "2051../..",
    "2051a b c d e",
    "2051*",
    "2051????",
    "2051?????",
    "20511234",
    "2051" + "4" * 196,
    "20514011\u00e9",
    "2051401\u00b9\u2077",
]




def test_hostile_serials(kqports, make_bed, tmp_path):
    """A unit whose MCU claims each hostile serial in turn, beside a normal
    unit: the rules give it no serial, no property of its making and no link,
    create no file, and the normal unit keeps its links. The rules' shell
    program also runs under dash and under bash on the ports of both."""
    normal, _ = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C")
    other, other_hub = testbeds.unit(testbeds.ROOT, 5, "00000", "KQ6H0000", acm=(2, 3),
                                     usb=(2, 3), card=2)
    text = testbeds.root_hub() + normal + other
    bed = make_bed(text)
    mcu_serial = "/sys" + testbeds.mcu_path(other_hub) + "/serial"
    bed.set_attribute_binary("/sys" + testbeds.mcu_path(other_hub), "serial",
                             HOSTILE_SERIALS[0].encode() + b"\n")
    # The rules for every unit, as the package installs them.
    code, rules, err = run(kqports, "--udev-rules")
    assert code == 0, f"the rules for every unit printed: {code} {err}"
    program = serial_program(rules)
    assert program, f"the rules' serial program found: {rules}"
    normal_devices = [d for d in rule_devices(text) if d.startswith(testbeds.ROOT + "/1-4/")]
    # The other unit: one port of the MCU, one of the FTDI bridge and the
    # card, which find the MCU each their own way.
    other_devices = [d for d in rule_devices(text) if d.startswith(testbeds.ROOT + "/1-5/")
                     and re.search(r"/(ttyACM2|ttyUSB3|card2)$", d)]
    ports = [d for d in normal_devices + other_devices if "/tty/" in d]
    scratch = str(tmp_path)
    (Path(scratch) / "cwd").mkdir()
    script = [f"cd {scratch}/cwd", udevadm_tests(scratch, normal_devices, lambda j: f"log.n.{j}")]
    for i, serial in enumerate(HOSTILE_SERIALS):
        (Path(scratch) / f"serial.{i}").write_bytes(serial.encode() + b"\n")
        script.append(f"cp {scratch}/serial.{i} {mcu_serial}")
        script.append(udevadm_tests(scratch, other_devices, lambda j, i=i: f"log.{i}.{j}"))
        for p in ports:
            for shell in ("dash", "bash"):
                script.append(f"printf 'RUN {i} {shell} {p} <'; "
                              f"{shell} -c '{program.replace('%p', p)}' | od -An -c | "
                              f"tr -d ' \\n'; echo '>'")
    script.append("cd /dev && find . -type l -printf '%P -> %l\\n' | sort")
    out = in_namespace(scratch, rules, "\n".join(script) + "\n")
    log = lambda name: (Path(scratch) / name).read_text(errors="replace")  # noqa: E731
    links = [line for line in out.splitlines() if " -> " in line]
    outside = [line for line in links if not re.fullmatch(
        r"kq6200/[0-9A-Za-z]{5}/(cat|ptt|fsk|winkey) -> \.\./\.\./tty(ACM|USB)\d+", line)
        # udev's own rules: char/MAJ:MIN, and the by-id and by-path names
        # it makes with its own escaping
        and not line.startswith(("char/", "serial/by-id/", "serial/by-path/", "snd/by-"))]
    assert not outside, "no link outside /dev/kq6200/<five letters or digits>/:\n" + \
        "\n".join(outside)
    made = sorted(line for line in links if line.startswith("kq6200/"))
    assert made == ["kq6200/40117/cat -> ../../ttyUSB0", "kq6200/40117/fsk -> ../../ttyACM1",
                    "kq6200/40117/ptt -> ../../ttyUSB1", "kq6200/40117/winkey -> ../../ttyACM0"], \
        "the normal unit's four links and no other:\n" + "\n".join(made)
    normal_properties = [logged_properties(log(f"log.n.{j}"))
                         for j in range(len(normal_devices))]
    assert all(p.get("KQ6200_SERIAL") == "40117" for p in normal_properties), \
        f"the normal unit's ports and card get its serial: " \
        f"{[p.get('KQ6200_SERIAL') for p in normal_properties]}"
    # What a port or card of the normal unit has, by kind of device: the
    # other unit's may have no other key.
    kinds = {}
    for device, properties in zip(normal_devices, normal_properties):
        kinds.setdefault(re.sub(r"\d+$", "", device.rsplit("/", 1)[1]), set()).update(properties)
    foreign, card_ids = {}, []
    for i, serial in enumerate(HOSTILE_SERIALS):
        for j, device in enumerate(other_devices):
            text_of_log = log(f"log.{i}.{j}")
            card_ids += re.findall(r"ATTR '[^']*/card\d+/id' writing '([^']*)'", text_of_log)
            properties = logged_properties(text_of_log)
            kind = re.sub(r"\d+$", "", device.rsplit("/", 1)[1])
            allowed = kinds.get(kind, set()) - {"KQ6200_SERIAL", "ID_MM_DEVICE_IGNORE"}
            extra = set(properties) - allowed
            if extra or not properties:
                foreign[f"{serial!r} {device.rsplit('/', 1)[1]}"] = extra or "no properties"
    assert not foreign, \
        f"no property beyond those of a normal unit's device, and no KQ6200_SERIAL: {foreign}"
    assert card_ids == [], f"no card named: {card_ids}"
    printed = {}
    for line in out.splitlines():
        if line.startswith("RUN "):
            _, i, shell, path, rest = line.split(" ", 4)
            printed[(int(i), shell, path)] = rest
    wrong = {k: v for k, v in printed.items() if v != (
        "<KQ6200_SERIAL=40117\\n>" if k[2] in normal_devices else "<>")}
    assert len(printed) == 2 * len(ports) * len(HOSTILE_SERIALS) and not wrong, \
        f"under dash and bash the program prints the normal unit's serial and nothing for the " \
        f"other ({len(printed)} runs): {dict(list(wrong.items())[:6]) or out}"
    planted = [str(p) for p in (Path(scratch) / "cwd", Path("/tmp"), Path.cwd())
               if (p / "kq-pwned").exists()]
    assert not planted, f"no file created: {planted}"
