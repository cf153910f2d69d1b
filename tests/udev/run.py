#!/usr/bin/python3
"""kqports on Linux against umockdev test beds of KQ-6200 units.

    umockdev-wrapper /usr/bin/python3 tests/udev/run.py --kqports build/native/bin/kqports [--update]
        [--part watch|others]
    umockdev-wrapper /usr/bin/python3 tests/udev/run.py --rules 70-kq6200.rules

Each test bed of testbeds.py is served to the real libudev by umockdev; the
text and JSON that kqports prints are compared with tests/udev/expected/
(--update rewrites those files, to be read before they are committed). Then
--watch is driven by uevents, the rules of --udev-rules are applied by
udevadm to the test bed's devices, and kqports runs on this machine's own
/sys. With --rules, only that rules file (a package's) is applied to the
test beds. The last line is "N passed, N failed".
"""

import argparse
import grp
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

import testbeds  # noqa: E402

HERE = Path(__file__).resolve().parent
EXPECTED = HERE / "expected"
NOT_FOUND = "Quorvanta KQ-6200 not found\n"
UEVENT_GAP = 0.005  # seconds between two uevents of one unit
# The members the Windows program's JSON has (docs/kqports.md); Linux keeps
# each of them with its meaning and adds its own names to the roles.
DOCUMENT_KEYS = {"format", "time", "splitAudio", "units", "report", "seen"}
UNIT_KEYS = {"serial", "mcuStatus", "ftdiStatus", "audioStatus", "cat", "ptt", "fsk", "winkey",
             "audioIn", "audioOut", "problems"}
PROBLEM_KEYS = {"walk", "code", "meaning", "remedy"}
PORT_KEYS = {"name", "id", "link", "stable", "access", "holders", "uninspected", "modemManager"}
AUDIO_KEYS = {"name", "id", "alsa", "plughw", "description"}
SEEN_KEYS = {"function", "vidPid", "id", "problem"}

results = []


def check(name, condition, detail=""):
    results.append((name, bool(condition)))
    print(f"{'ok  ' if condition else 'FAIL'} {name}" + ("" if condition else f": {detail}"),
          flush=True)
    return condition


def env_for(bed_env=True):
    env = dict(os.environ)
    # The sanitizers' runtime wants to be first; umockdev's preload is.
    env["ASAN_OPTIONS"] = "verify_asan_link_order=0:" + env.get("ASAN_OPTIONS", "")
    env["TZ"] = "UTC"
    if not bed_env:
        env.pop("LD_PRELOAD", None)
        env.pop("UMOCKDEV_DIR", None)
    return env


def run(kqports, *args, bed_env=True):
    done = subprocess.run([kqports, *args], capture_output=True, text=True, timeout=60,
                          env=env_for(bed_env))
    return done.returncode, done.stdout, done.stderr


def without_time(document):
    """The document as it is on any machine: without its time, and with what
    the machine around the test bed adds to each port (other users'
    processes, a ModemManager) as on a machine with neither; test_port_use
    checks those."""
    document = dict(document)
    document.pop("time", None)
    for unit in document.get("units", []):
        for role in ("cat", "ptt", "fsk", "winkey"):
            if unit.get(role) and "uninspected" in unit[role]:
                unit[role]["uninspected"] = 0
                unit[role]["modemManager"]["running"] = False
    return document


def as_on_any_machine(text):
    return "".join(line for line in text.splitlines(keepends=True)
                   if "ModemManager is running" not in line)


def new_bed(text):
    bed = UMockdev.Testbed.new()
    if not bed.add_from_string(text):
        raise RuntimeError("umockdev refused the test bed")
    # The test bed tells the preload library where it is through the process
    # environment, which Python's copy does not see; the programs run get it here.
    os.environ["UMOCKDEV_DIR"] = bed.get_root_dir()
    return bed


def compare(name, got, path, update):
    if update:
        path.write_text(got)
    expected = path.read_text() if path.exists() else None
    return check(name, got == expected, f"differs from {path.relative_to(HERE.parent.parent)}:\n{got}")


def test_beds(kqports, update):
    for name, (text, what) in testbeds.testbeds().items():
        bed = new_bed(text)
        code, out, err = run(kqports)
        compare(f"{name}: text ({what})", as_on_any_machine(out), EXPECTED / f"{name}.txt", update)
        check(f"{name}: exit code", code == (1 if out.startswith(NOT_FOUND) else 0), f"{code} {err}")
        code, out, err = run(kqports, "--json")
        try:
            document = json.loads(out)
        except ValueError as error:
            check(f"{name}: JSON parses", False, f"{error}: {out!r}")
            continue
        got = json.dumps(without_time(document), indent=2, ensure_ascii=False) + "\n"
        compare(f"{name}: JSON", got, EXPECTED / f"{name}.json", update)
        roles_ok = all(set(u) == UNIT_KEYS and all(
            u[r] is None or set(u[r]) == (PORT_KEYS if r in ("cat", "ptt", "fsk", "winkey")
                                          else AUDIO_KEYS) for r in UNIT_KEYS - {
                "serial", "mcuStatus", "ftdiStatus", "audioStatus", "problems"})
            and all(set(p) == PROBLEM_KEYS for p in u["problems"])
            and [(p["walk"], p["code"]) for p in u["problems"]] == [
                (w, u[f"{w}Status"]) for w in ("ftdi", "mcu", "audio") if u[f"{w}Status"]]
            for u in document.get("units", []))
        seen_ok = all(set(f) == SEEN_KEYS for f in document.get("seen", [])) and (
            not document.get("units") or document["seen"] == [])
        check(f"{name}: the Windows program's JSON members, with Linux's names added",
              set(document) == DOCUMENT_KEYS and document["format"] == 1 and roles_ok
              and seen_ok, out)
        check(f"{name}: JSON time", re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d",
                                                 document.get("time", "")), document.get("time"))
        del bed


def test_serial_and_role(kqports):
    """--serial and --role on the two-unit test bed: one line for a script,
    or nothing on standard output and exit code 1 when it is not there."""
    text, _ = testbeds.testbeds()["two-units"]
    bed = new_bed(text)
    by_id = "/dev/serial/by-id/usb-FTDI_Dual_RS232-HS_KQ6B7E41-if00-port0\n"
    for args, out, code in (
            # Without the rules' links, the port's link by ID: the kernel's
            # ttyUSB3 may be the other unit's after the next replug.
            (["--serial", "40262", "--role", "cat"], by_id, 0),
            (["--serial=40262", "--role=CAT"], by_id, 0),
            (["--serial", "40262", "--role", "cat", "--node"], "/dev/ttyUSB3\n", 0),
            (["--role", "audioOut", "--serial", "40117"], "hw:CARD=CODEC,DEV=0\n", 0),
            (["--serial", "40118", "--role", "cat"], "", 1),
            (["--role", "cat"], "", 2),
            (["--serial", "40117", "--serial", "40262", "--role", "cat"], "", 2)):
        got = run(kqports, *args)
        check(f"role: kqports {' '.join(args)}", got[:2] == (code, out), got)
    got = run(kqports, "--serial", "40117", "--role", "cat", "--role", "ptt")
    check("usage: an option given twice is named", got[0] == 2 and '"--role" is given twice' in got[2],
          got)
    got = run(kqports, "--serial", "40262")
    check("serial: that unit only", got[0] == 0 and "S/N 40262" in got[1]
          and "S/N 40117" not in got[1], got)
    del bed
    text, _ = testbeds.testbeds()["ftdi-without-driver"]
    bed = new_bed(text)
    got = run(kqports, "--role", "cat")
    check("role: a port whose walk stopped short exits 1, nothing printed",
          got[:2] == (1, "") and "FTDI" not in got[1], got)
    got = run(kqports, "--role", "fsk")
    check("role: one unit needs no --serial",
          got[:2] == (0, "/dev/serial/by-id/usb-Quorvanta_KQ-6200_205140117-if02\n"), got)
    del bed
    text, _ = testbeds.testbeds()["with-rules"]
    bed = new_bed(text)
    for role, out in (("winkey", "/dev/kq6200/40117/winkey\n"), ("audioIn", "hw:CARD=KQ40117,DEV=0\n")):
        got = run(kqports, "--role", role)
        check(f"role: {role} by the rules' name where udev made it", got[:2] == (0, out), got)
    del bed
    bare, _ = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C", by_id=False)
    bed = new_bed(testbeds.root_hub() + bare)
    got = run(kqports, "--role", "ptt")
    check("role: the device node where the port has no link", got[:2] == (0, "/dev/ttyUSB1\n"), got)
    del bed


def test_unplugged(kqports):
    """A unit that was there and is gone: its devices removed from sysfs, the
    class links of its ttys and sound devices left dangling, as after a
    removal that udev has not finished with."""
    text, unit_hub = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C")
    bed = new_bed(testbeds.root_hub() + text)
    bed.remove_device("/sys" + unit_hub)
    code, out, err = run(kqports)
    check("unplugged: the not-found line", out.startswith(NOT_FOUND), out + err)
    check("unplugged: exit code 1", code == 1, code)


def read_line(stream, timeout):
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline() if ready else None


def paths_of(text):
    return [line[3:] for line in text.splitlines() if line.startswith("P: ")]


def test_watch(kqports):
    """--watch --json: a report at the start, one within 1 s of a unit's
    devices arriving and of their going, none while nothing changes."""
    bed = new_bed(testbeds.root_hub())
    proc = subprocess.Popen([kqports, "--watch", "--json"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env_for())
    try:
        first = read_line(proc.stdout, 10)
        check("watch: first report", first and json.loads(first)["units"] == [], first)
        time.sleep(1.5)
        text, unit_hub = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C")
        bed.add_from_string(text)
        # A few milliseconds apart, as the kernel sends them: sent all at once
        # they fill the listener's socket, and umockdev's sender gives up.
        for path in paths_of(text):
            bed.uevent("/sys" + path, "add")
            time.sleep(UEVENT_GAP)
        plugged = time.monotonic()
        line = read_line(proc.stdout, 3)
        took = time.monotonic() - plugged
        units = json.loads(line)["units"] if line else None
        print(f"      arrival reported {took:.2f} s after the last uevent")
        check("watch: the unit's arrival reported within 1 s",
              line and took <= 1.0 and len(units) == 1 and units[0]["ftdiStatus"] == 0
              and units[0]["audioStatus"] == 0 and units[0]["mcuStatus"] == 0,
              f"after {took:.2f} s: {line}")
        quiet = read_line(proc.stdout, 5)
        check("watch: nothing printed while nothing changes (5 s)", quiet is None, quiet)
        for path in reversed(paths_of(text)):
            bed.uevent("/sys" + path, "remove")
            time.sleep(UEVENT_GAP)
        bed.remove_device("/sys" + unit_hub)
        unplugged = time.monotonic()
        line = read_line(proc.stdout, 3)
        took = time.monotonic() - unplugged
        print(f"      going reported {took:.2f} s after the last uevent")
        check("watch: the unit's going reported within 1 s",
              line and took <= 1.0 and json.loads(line)["units"] == [], f"after {took:.2f} s: {line}")
        extra = read_line(proc.stdout, 2)
        check("watch: one report per change", extra is None, extra)
        proc.send_signal(signal.SIGINT)
        code = proc.wait(5)
        check("watch: Ctrl+C ends it with exit code 0", code == 0, f"{code} {proc.stderr.read()}")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    del bed


def udevadm_has_verify():
    return subprocess.run(["udevadm", "verify", "--help"], capture_output=True).returncode == 0


# The links udevadm makes on the test bed "two-units", whichever rules name them.
TWO_UNITS_LINKS = {
    "kq6200/40117/cat": "../../ttyUSB0", "kq6200/40117/ptt": "../../ttyUSB1",
    "kq6200/40117/winkey": "../../ttyACM0", "kq6200/40117/fsk": "../../ttyACM1",
    "kq6200/40262/cat": "../../ttyUSB3", "kq6200/40262/ptt": "../../ttyUSB2",
    "kq6200/40262/winkey": "../../ttyACM2", "kq6200/40262/fsk": "../../ttyACM3",
}


def can_unshare():
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode == 0:
        return True
    print("note: no mount namespace can be made here; the rules are not applied")
    return False


def apply_rules(rules, bed_text):
    """udevadm test with these rules for every tty and sound card of the test
    bed, in a mount namespace of its own, so that the links land in a private
    /dev. Returns the links made (link -> target), udevadm's logs and what the
    namespace printed."""
    bed = new_bed(bed_text)
    with tempfile.TemporaryDirectory() as scratch:
        devices = rule_devices(bed_text)
        tests = udevadm_tests(scratch, devices, lambda i: f"log.{i}")
        out = in_namespace(scratch, rules, tests + "\nif [ -d /dev/kq6200 ]; then cd /dev && "
                           "find kq6200 -type l -printf '%p -> %l\\n' | sort; fi\n") or ""
        links = dict(line.split(" -> ") for line in out.splitlines())
        logs = "".join((Path(scratch) / f"log.{i}").read_text(errors="replace")
                       for i in range(len(devices)) if (Path(scratch) / f"log.{i}").exists())
    del bed
    return links, logs, out


def verify_rules(name, rules):
    if not udevadm_has_verify():
        print("note: this udevadm has no verify; the rules are checked by applying them")
        return
    with tempfile.TemporaryDirectory() as scratch:
        path = Path(scratch) / "70-kq6200.rules"
        path.write_text(rules)
        done = subprocess.run(["udevadm", "verify", str(path)], capture_output=True, text=True)
        check(f"{name}: udevadm verify", done.returncode == 0, done.stdout + done.stderr)


def opened_up(logs):
    """How many devices udevadm hid from ModemManager, and how many it tagged
    for the user at the desk (among the test bed's ttys and cards, only the
    rules' ports can be)."""
    return (len(re.findall(r"^ID_MM_DEVICE_IGNORE=1$", logs, re.M)),
            len(re.findall(r"^TAGS=.*:uaccess:", logs, re.M)))


def sound_server_names(logs):
    """The card properties PulseAudio and PipeWire name a card by, as udevadm
    test lists them, where the rules made them (udev's hardware database
    gives the FTDI bridge's ports a product name of its own)."""
    return [(key, value) for key, value in
            re.findall(r"^(SOUND_DESCRIPTION|ID_MODEL_FROM_DATABASE)=(.*)$", logs, re.M)
            if key == "SOUND_DESCRIPTION" or value.startswith("KQ")]


def check_rules_for_every_unit(name, rules):
    """Rules that name no serial: both units of the test bed get their links
    and card ids; units whose MCU serial does not end in five letters or
    digits get none."""
    verify_rules(name, rules)
    if not can_unshare():
        return
    text, _ = testbeds.testbeds()["two-units"]
    links, logs, detail = apply_rules(rules, text)
    check(f"{name}: udevadm makes the links of both units", links == TWO_UNITS_LINKS, detail)
    for serial in ("40117", "40262"):
        check(f"{name}: the sound card of {serial} is named KQ{serial}",
              re.search(rf"ATTR '[^']*/card\d/id' writing 'KQ{serial}'", logs),
              "no such ATTR line in udevadm's log")
        check(f"{name}: the sound servers' description and product name of {serial}'s card",
              sorted(n for n in sound_server_names(logs) if n[1] == f"KQ-6200 S/N {serial}") == [
                  ("ID_MODEL_FROM_DATABASE", f"KQ-6200 S/N {serial}"),
                  ("SOUND_DESCRIPTION", f"KQ-6200 S/N {serial}")],
              sound_server_names(logs))
    check(f"{name}: the units' eight ports are left to the user at the desk, not to ModemManager",
          opened_up(logs) == (8, 8), f"ignored by ModemManager, tagged uaccess: {opened_up(logs)}")
    for tail in ("-40-1", "..//a", "4 0 1"):
        unit, _ = testbeds.unit(testbeds.ROOT, 4, tail, "KQ6A1B2C")
        links, logs, detail = apply_rules(rules, testbeds.root_hub() + unit)
        check(f"{name}: a unit whose serial ends in {tail!r} gets no name",
              links == {} and "writing 'KQ" not in logs and opened_up(logs) == (0, 0)
              and sound_server_names(logs) == [], detail + str(sound_server_names(logs)))


def test_rules(kqports):
    """The rules of --udev-rules, with and without serials, applied by udevadm."""
    text, _ = testbeds.testbeds()["two-units"]
    bed = new_bed(text)
    code, rules, err = run(kqports, "--udev-rules")
    check("rules: with no serial, for every unit", code == 0 and "# Unit" not in rules
          and "$env{KQ6200_SERIAL}" in rules, f"{code} {err}")
    _, alone, _ = run(kqports, "--udev-rules", bed_env=False)
    check("rules: with no serial, the same whatever is attached", alone == rules, alone)
    code, given, err = run(kqports, "--udev-rules", "40117", "40262")
    check("rules: printed for the serials given", code == 0 and "# Unit 40117" in given
          and "# Unit 40262" in given and "$env{KQ6200_SERIAL}/" not in given, f"{code} {err}")
    code, _, err = run(kqports, "--udev-rules", "1234;")
    check("rules: a serial that is not five letters or digits is bad usage", code == 2, code)
    del bed

    check_rules_for_every_unit("rules for every unit", rules)
    verify_rules("rules for two serials", given)
    if not can_unshare():
        return
    links, _, detail = apply_rules(given, text)
    check("rules for two serials: udevadm makes the links of both units",
          links == TWO_UNITS_LINKS, detail)
    _, one, _ = run(kqports, "--udev-rules", "40262")
    links, _, detail = apply_rules(one, text)
    check("rules for one serial: only that unit is named",
          links == {k: v for k, v in TWO_UNITS_LINKS.items() if "40262" in k}, detail)
    print("".join(f"{k} -> {v}\n" for k, v in sorted(links.items())), end="")


def rule_devices(text):
    """The devices the rules act on: the ttys and sound cards of a test bed."""
    return [p for p in paths_of(text)
            if re.search(r"/tty/tty(ACM|USB)\d+$", p) or re.search(r"/sound/card\d+$", p)]


def in_namespace(scratch, rules, script):
    """Runs script as root in a mount namespace of its own where the rules are
    the only ones udev reads, /dev and /run are empty, and the test bed's sys
    folder is mounted on /sys; its standard output, or None where no mount
    namespace can be made here. udevadm reads the test bed through umockdev's
    preload library, which also makes it pass for sysfs; the programs the rules
    run do not get that library, hence the sys folder on /sys."""
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        print("note: no mount namespace can be made here; the rules are not applied")
        return None
    rules_dir = Path(scratch) / "rules.d"
    rules_dir.mkdir(exist_ok=True)
    (rules_dir / "70-kq6200.rules").write_text(rules)
    (Path(scratch) / "null").touch()
    setup = f"""set -e
mount --bind /dev/null {scratch}/null
mount -t tmpfs kq /dev
touch /dev/null && mount --bind {scratch}/null /dev/null
mount -t tmpfs kq /run
mount --bind {rules_dir} /etc/udev/rules.d
mount --bind {os.environ["UMOCKDEV_DIR"]}/sys /sys
set +e
"""
    script_path = Path(scratch) / "namespace.sh"
    script_path.write_text(setup + script)
    done = subprocess.run(["unshare", "-m", "sh", str(script_path)], capture_output=True,
                          text=True, env=env_for(bed_env=False), timeout=180)
    if done.returncode != 0 or done.stderr:
        check("rules: applied in the namespace", False, f"{done.returncode} {done.stderr}")
    return done.stdout


def serial_program(rules):
    """The shell program of the rules' IMPORT{program}, as udev hands it to
    /bin/sh: udev's doubled "$$" and "%%" undone ("%p" is left for the caller)."""
    match = re.search(r"IMPORT\{program\}=\"/bin/sh -c '([^']*)'\"", rules)
    return match[1].replace("$$", "$").replace("%%", "%") if match else None


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


def udevadm_tests(scratch, devices, log_name):
    """Shell lines that run udevadm test on the devices, four at a time (each
    run spends its time reading udev's own rules, little of it computing),
    each one's log in scratch/<log_name(index)>."""
    preload = os.environ.get("LD_PRELOAD", "")
    return "\n".join(
        f"(LD_PRELOAD={preload} UMOCKDEV_DIR={os.environ['UMOCKDEV_DIR']} udevadm test --action=add /sys{p} >{scratch}/{log_name(i)} 2>&1 || echo udevadm failed for {p} >&2) &"
        + ("\nwait" if i % 4 == 3 else "")
        for i, p in enumerate(devices)) + "\nwait"


def logged_properties(log):
    """The properties udevadm test lists at the end of its log."""
    return dict(line.split("=", 1) for line in log.splitlines()
                if re.fullmatch(r"[A-Z][A-Z0-9_]*=.*", line))


def test_hostile_serials(kqports):
    """A unit whose MCU claims each hostile serial in turn, beside a normal
    unit: the rules give it no serial, no property of its making and no link,
    create no file, and the normal unit keeps its links. The rules' shell
    program also runs under dash and under bash on the ports of both."""
    normal, _ = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C")
    other, other_hub = testbeds.unit(testbeds.ROOT, 5, "00000", "KQ6H0000", acm=(2, 3),
                                     usb=(2, 3), card=2)
    text = testbeds.root_hub() + normal + other
    bed = new_bed(text)
    mcu_serial = "/sys" + testbeds.mcu_path(other_hub) + "/serial"
    bed.set_attribute_binary("/sys" + testbeds.mcu_path(other_hub), "serial",
                             HOSTILE_SERIALS[0].encode() + b"\n")
    # The rules for every unit, as the package installs them.
    code, rules, err = run(kqports, "--udev-rules")
    check("hostile serials: the rules for every unit printed", code == 0, f"{code} {err}")
    program = serial_program(rules)
    if not check("hostile serials: the rules' serial program found", program, rules):
        return
    normal_devices = [d for d in rule_devices(text) if d.startswith(testbeds.ROOT + "/1-4/")]
    # The other unit: one port of the MCU, one of the FTDI bridge and the
    # card, which find the MCU each their own way.
    other_devices = [d for d in rule_devices(text) if d.startswith(testbeds.ROOT + "/1-5/")
                     and re.search(r"/(ttyACM2|ttyUSB3|card2)$", d)]
    ports = [d for d in normal_devices + other_devices if "/tty/" in d]
    with tempfile.TemporaryDirectory() as scratch:
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
        if out is None:
            return
        log = lambda name: (Path(scratch) / name).read_text(errors="replace")  # noqa: E731
        links = [line for line in out.splitlines() if " -> " in line]
        outside = [line for line in links if not re.fullmatch(
            r"kq6200/[0-9A-Za-z]{5}/(cat|ptt|fsk|winkey) -> \.\./\.\./tty(ACM|USB)\d+", line)
            # udev's own rules: char/MAJ:MIN, and the by-id and by-path names
            # it makes with its own escaping
            and not line.startswith(("char/", "serial/by-id/", "serial/by-path/", "snd/by-"))]
        check("hostile serials: no link outside /dev/kq6200/<five letters or digits>/",
              not outside, "\n".join(outside))
        made = sorted(line for line in links if line.startswith("kq6200/"))
        check("hostile serials: the normal unit's four links and no other",
              made == ["kq6200/40117/cat -> ../../ttyUSB0", "kq6200/40117/fsk -> ../../ttyACM1",
                       "kq6200/40117/ptt -> ../../ttyUSB1", "kq6200/40117/winkey -> ../../ttyACM0"],
              "\n".join(made))
        normal_properties = [logged_properties(log(f"log.n.{j}"))
                             for j in range(len(normal_devices))]
        check("hostile serials: the normal unit's ports and card get its serial",
              all(p.get("KQ6200_SERIAL") == "40117" for p in normal_properties),
              [p.get("KQ6200_SERIAL") for p in normal_properties])
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
        check("hostile serials: no property beyond those of a normal unit's device, "
              "and no KQ6200_SERIAL", not foreign, foreign)
        check("hostile serials: no card named", card_ids == [], card_ids)
        printed = {}
        for line in out.splitlines():
            if line.startswith("RUN "):
                _, i, shell, path, rest = line.split(" ", 4)
                printed[(int(i), shell, path)] = rest
        wrong = {k: v for k, v in printed.items() if v != (
            "<KQ6200_SERIAL=40117\\n>" if k[2] in normal_devices else "<>")}
        check(f"hostile serials: under dash and bash the program prints the normal unit's serial "
              f"and nothing for the other ({len(printed)} runs)",
              len(printed) == 2 * len(ports) * len(HOSTILE_SERIALS) and not wrong,
              {k: v for k, v in list(wrong.items())[:6]} or out)
        planted = [str(p) for p in (Path(scratch) / "cwd", Path("/tmp"), Path.cwd())
                   if (p / "kq-pwned").exists()]
        check("hostile serials: no file created", not planted, planted)
    del bed


def test_failures(kqports):
    """Exit code 3, not 1: a unit attached, but udev cannot be read, or the
    output cannot be written."""
    text, _ = testbeds.testbeds()["one-unit"]
    bed = new_bed(text)
    # A test bed whose bus folder is a file: libudev's scan of it fails, as on
    # a machine whose sysfs cannot be read.
    bus = Path(os.environ["UMOCKDEV_DIR"]) / "sys" / "bus"
    bus.rename(bus.with_name("bus.away"))
    bus.write_text("")
    for args in ((), ("--json",), ("--serial", "40117", "--role", "cat")):
        code, out, err = run(kqports, *args)
        check(f"udev unreadable, {' '.join(args) or 'text'}: exit code 3, said on standard error",
              code == 3 and out == "" and "cannot read udev" in err, f"{code} {out!r} {err}")
    # The rules for every unit do not depend on what udev holds.
    code, out, err = run(kqports, "--udev-rules")
    check("udev unreadable, --udev-rules: the rules all the same",
          code == 0 and "$env{KQ6200_SERIAL}" in out, f"{code} {err}")
    bus.unlink()
    bus.with_name("bus.away").rename(bus)
    # Standard output full, or closed: the report did not reach its reader.
    for args in ((), ("--json",), ("--udev-rules",), ("--help",)):
        with open("/dev/full", "w") as full:
            done = subprocess.run([kqports, *args], stdout=full, stderr=subprocess.PIPE,
                                  env=env_for(), timeout=60)
        check(f"standard output full, {' '.join(args) or 'text'}: exit code 3",
              done.returncode == 3, done.returncode)
    done = subprocess.run([kqports], stdout=subprocess.DEVNULL, env=env_for(), timeout=60,
                          preexec_fn=lambda: os.close(1))
    check("standard output closed: exit code 3", done.returncode == 3, done.returncode)
    # --watch into a full output ends at its first report, as a failure.
    with open("/dev/full", "w") as full:
        done = subprocess.run([kqports, "--watch"], stdout=full, stderr=subprocess.PIPE,
                              env=env_for(), timeout=60)
    check("--watch, standard output full: exit code 3", done.returncode == 3, done.returncode)
    code, out, err = run(kqports, "--jsno")
    check("bad usage: exit code 2, one line on standard error", code == 2 and out == ""
          and err.count("\n") == 1 and "--jsno" in err, f"{code} {out!r} {err}")
    del bed


def start_as(scratch, command_name, script, *args):
    """A process of the test whose command name is `command_name` (a copy of
    sleep under that name), after `script` ran in its shell: it keeps what
    the script opened. Under the test bed, /dev/ttyUSB1 is the bed's node."""
    program = Path(scratch) / command_name
    if not program.exists():
        program.write_bytes(Path("/bin/sleep").read_bytes())
        program.chmod(0o755)
    proc = subprocess.Popen(["/bin/sh", "-c", script + '\nexec "$0" 60', str(program), *args],
                            env=env_for(), stdout=subprocess.DEVNULL)
    for _ in range(200):  # until the exec: its comm is the copy's name
        if Path(f"/proc/{proc.pid}/comm").read_text().strip() == command_name:
            break
        time.sleep(0.01)
    return proc


def start_in_namespace(node):
    """A process in a mount namespace of its own that holds `node` (a test
    bed's pty) by a path of that namespace, /mnt/radio, as a container or a
    snap holds a port; None where no namespace can be made here."""
    script = (f"mount -t tmpfs kq /mnt && touch /mnt/radio && mount --bind {node} /mnt/radio "
              "&& exec 3<>/mnt/radio && exec sleep 60")
    if os.geteuid() != 0 or not can_unshare():
        return None
    proc = subprocess.Popen(["unshare", "-m", "sh", "-c", script], env=env_for(bed_env=False),
                            stdout=subprocess.DEVNULL)
    for _ in range(200):  # until the exec: the port is open by then
        if Path(f"/proc/{proc.pid}/comm").read_text().strip() == "sleep":
            break
        time.sleep(0.01)
    return proc


def stop(*procs):
    for proc in procs:
        proc.kill()
        proc.wait()


def lines_under(text, label):
    """The indented lines after the report line that starts with `label`."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip().startswith(label))
    out = []
    for line in lines[start + 1:]:
        if not line.startswith("        "):
            break
        out.append(line.strip())
    return out


def test_port_use(kqports):
    """Who has a port open, who may open it, and ModemManager, all found
    without opening a port: a holder started by the test, a node the user may
    not open, a process named ModemManager; text and JSON say the same."""
    text, _ = testbeds.testbeds()["one-unit"]
    bed = new_bed(text)
    with tempfile.TemporaryDirectory() as scratch:
        holder = start_as(scratch, "flrig", "exec 3<>/dev/ttyUSB1")
        try:
            code, out, err = run(kqports)
            document = json.loads(run(kqports, "--json")[1])
        finally:
            stop(holder)
        unit = document["units"][0]
        check("holders: the PTT port's holder named with its pid, under its line",
              lines_under(out, "PTT/CW Port") == [f"open in flrig (pid {holder.pid})"], out)
        check("holders: no line under a port nobody holds", lines_under(out, "CAT Port") == [], out)
        check("holders: the JSON names the same process on the same port",
              unit["ptt"]["holders"] == [{"pid": holder.pid, "command": "flrig"}]
              and unit["cat"]["holders"] == [] and unit["ptt"]["access"]["mayOpen"] is True,
              unit["ptt"])

        # The bed's PTT node leads to a pty, which the contained process opens.
        contained = start_in_namespace(os.path.realpath(
            Path(os.environ["UMOCKDEV_DIR"]) / "dev" / "ttyUSB1"))
        if contained:
            try:
                document = json.loads(run(kqports, "--json")[1])
            finally:
                stop(contained)
            check("holders: a process holding the port by its own path in another mount "
                  "namespace, found by the device number",
                  {"pid": contained.pid, "command": "sleep"} in document["units"][0]["ptt"]["holders"],
                  document["units"][0]["ptt"])

        mm = start_as(scratch, "ModemManager", ":")
        try:
            out = run(kqports)[1]
            document = json.loads(run(kqports, "--json")[1])
        finally:
            stop(mm)
        warned = [line for line in out.splitlines() if "ModemManager is running" in line]
        check("ModemManager: a line under each of the four ports without the rules",
              len(warned) == 4 and all(document["units"][0][r]["modemManager"] == {
                  "running": True, "ignoresPort": False} for r in ("cat", "ptt", "fsk", "winkey")),
              out)
    del bed

    text, _ = testbeds.testbeds()["with-rules"]
    bed = new_bed(text)
    with tempfile.TemporaryDirectory() as scratch:
        mm = start_as(scratch, "ModemManager", ":")
        try:
            out = run(kqports)[1]
        finally:
            stop(mm)
    check("ModemManager: no line for ports the rules marked", "ModemManager" not in out, out)
    check("stable names: each port's link of the rules before its link by ID",
          "CAT Port     - /dev/ttyUSB0 (/dev/kq6200/40117/cat, /dev/serial/by-id/" in out
          and "WinKey Port  - /dev/ttyACM0 (/dev/kq6200/40117/winkey, /dev/serial/by-id/" in out,
          out)
    check("stable names: the card of the rules, with plughw beside hw",
          "hw:CARD=KQ40117,DEV=0 or plughw:CARD=KQ40117,DEV=0" in out, out)

    # A node only root and the group dialout may open, for a user in neither:
    # the test bed's node is a plain file planted in place of the pty. (The
    # other ports' nodes are ptys, which only root may open.)
    if os.geteuid() != 0:
        print("note: not root, so no other user to run as; the access check is skipped")
        del bed
        return
    root = Path(os.environ["UMOCKDEV_DIR"])
    node = root / "dev" / "ttyACM1"
    node.unlink()
    node.write_text("")
    os.chown(node, 0, grp.getgrnam("dialout").gr_gid)
    node.chmod(0o660)
    # ... and one that anybody may open, beside it.
    anybody = root / "dev" / "ttyACM0"
    anybody.unlink()
    anybody.write_text("")
    anybody.chmod(0o666)
    root.chmod(0o755)
    nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    done = subprocess.run(nobody + [kqports], capture_output=True, text=True, env=env_for(),
                          timeout=60)
    under = lines_under(done.stdout, "FSK Port")
    check("access: the line under a port the user may not open names the group and the remedy",
          len(under) == 1 and under[0].startswith(
              "you may not open it: only root and the group dialout may open it: "
              "sudo usermod -aG dialout $USER") and lines_under(done.stdout, "WinKey Port") == [],
          done.stdout + done.stderr)
    done = subprocess.run(nobody + [kqports, "--json"], capture_output=True, text=True,
                          env=env_for(), timeout=60)
    access = json.loads(done.stdout)["units"][0]["fsk"]["access"]
    check("access: the JSON says the same", access["mayOpen"] is False and access["group"] ==
          "dialout" and access["inGroup"] is False and under and under[0] ==
          f"you may not open it: {access['help']}.", access)
    del bed


def test_seen(kqports):
    """No unit, but two of its functions: the not-found report says which
    were seen and where, and that the MCU was not."""
    text, _ = testbeds.testbeds()["mcu-missing"]
    bed = new_bed(text)
    code, out, err = run(kqports)
    seen = [line.strip() for line in out.splitlines()[1:]]
    check("seen: the FTDI and the codec with their USB ports, the MCU not seen, exit code 1",
          code == 1 and out.startswith(NOT_FOUND) and seen == [
              "Seen: the FTDI bridge 0403:6010 on USB port 1-4.2.",
              "Seen: the codec 10C4:EAC3 on USB port 1-4.3.",
              "Not seen: the MCU 0483:A1DF, by which a unit is found: "
              "unplug the unit and plug it in again."], out)
    document = json.loads(run(kqports, "--json")[1])
    check("seen: the JSON lists the same two functions by their sysfs paths",
          [(f["function"], f["vidPid"], f["id"].rsplit("/", 1)[1]) for f in document["seen"]]
          == [("ftdi", "0403:6010", "1-4.2"), ("audio", "10C4:EAC3", "1-4.3")], document)
    del bed


def test_never_opens_a_port(kqports):
    """strace: kqports opens no tty, nor the bed's node of one, while it
    reports ports, their holders and their access, once and watching."""
    if not shutil.which("strace"):
        check("strace is installed", False)
        return
    text, _ = testbeds.testbeds()["two-units"]
    bed = new_bed(text)
    with tempfile.TemporaryDirectory() as scratch:
        holder = start_as(scratch, "flrig", "exec 3<>/dev/ttyUSB1")
        log = Path(scratch) / "trace"
        try:
            for args in ((), ("--json",), ("--serial", "40117", "--role", "cat")):
                # The leak check cannot run under ptrace.
                env = env_for()
                env["ASAN_OPTIONS"] += ":detect_leaks=0"
                done = subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat,openat2,creat",
                                       "-o", str(log), kqports, *args],
                                      capture_output=True, text=True, env=env, timeout=60)
                opened = [line for line in log.read_text().splitlines()
                          if re.search(r'"[^"]*/dev/(tty|pts/|serial/|kq6200/)', line)]
                check(f"strace kqports {' '.join(args)}: no port opened",
                      done.returncode == 0 and not opened and "open" in log.read_text()
                      and ("flrig" in done.stdout or args),
                      f"{done.returncode} {done.stderr[-500:]} {opened}")
        finally:
            stop(holder)
    del bed


def test_watch_holders(kqports):
    """--watch: a program that opens two ports, one just after the other, is
    one report; its going is one more; nothing while nothing changes."""
    text, _ = testbeds.testbeds()["one-unit"]
    bed = new_bed(text)
    proc = subprocess.Popen([kqports, "--watch", "--json"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env_for())
    with tempfile.TemporaryDirectory() as scratch:
        try:
            first = read_line(proc.stdout, 10)
            check("watch holders: first report, nobody holds a port",
                  first and all(json.loads(first)["units"][0][r]["holders"] == []
                                for r in ("cat", "ptt", "fsk", "winkey")), first)
            holder = start_as(scratch, "wsjtx", "exec 3<>/dev/ttyUSB0; sleep 0.3; "
                              "exec 4<>/dev/ttyACM0")
            opened = time.monotonic()
            # Two looks a second apart, or further where a look costs more
            # than 10 ms of processor time, as in the sanitizers' build on a
            # busy machine.
            line = read_line(proc.stdout, 8)
            took = time.monotonic() - opened
            unit = json.loads(line)["units"][0] if line else {}
            print(f"      the holder reported {took:.2f} s after it began opening")
            check("watch holders: both ports' holder in one report, within 6 s",
                  line and took <= 6 and [unit[r]["holders"] for r in ("cat", "winkey")] ==
                  [[{"pid": holder.pid, "command": "wsjtx"}]] * 2, f"after {took:.2f} s: {line}")
            quiet = read_line(proc.stdout, 3)
            check("watch holders: nothing more while nothing changes (3 s)", quiet is None, quiet)
            stop(holder)
            line = read_line(proc.stdout, 8)
            check("watch holders: its going is one report",
                  line and json.loads(line)["units"][0]["cat"]["holders"] == [], line)
            extra = read_line(proc.stdout, 3)
            check("watch holders: one report per change", extra is None, extra)
        finally:
            proc.kill()
            proc.wait()
    del bed


def maintainer_script(name):
    """The package's maintainer script as scripts/release.sh makes it."""
    deb = HERE.parent.parent / "packaging" / "deb"
    return (deb / name).read_text().replace("#KQ_APPLY_RULES#\n", (deb / "apply-rules.sh").read_text())


def test_maintainer_scripts(kqports):
    """postinst and postrm on the two-unit test bed, with a udevadm that only
    notes its arguments: udev is told to reload and to handle the units'
    three USB functions again, no other device; nothing at all where udev's
    control socket is missing (a chroot, a container)."""
    text, _ = testbeds.testbeds()["two-units"]
    bed = new_bed(text)
    with tempfile.TemporaryDirectory() as scratch:
        (Path(scratch) / "bin").mkdir()
        udevadm = Path(scratch) / "bin" / "udevadm"
        udevadm.write_text(f'#!/bin/sh\necho "$*" >> {scratch}/calls\n')
        udevadm.chmod(0o755)
        for name in ("postinst", "postrm"):
            (Path(scratch) / name).write_text(maintainer_script(name))
        socket = "python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"/run/udev/control\")'"
        runs = {"no udev": "postinst configure", "postinst": "postinst configure",
                "postrm": "postrm purge", "upgrade": "postrm upgrade 1.0.0.1"}
        script = ""
        for what, args in runs.items():
            if what == "postinst":
                script += f"mkdir -p /run/udev && {socket}\n"
            script += (f"echo '== {what}' >> {scratch}/calls; PATH={scratch}/bin:$PATH "
                       f"sh {scratch}/{args} || echo '{what} failed' >> {scratch}/calls\n")
        if in_namespace(scratch, "", script) is None:
            return
        calls = (Path(scratch) / "calls").read_text().split("== ")[1:]
    got = {part.split("\n", 1)[0]: part.split("\n", 1)[1].splitlines() for part in calls}
    functions = [f"{testbeds.ROOT}/{hub}/{hub}.{n}" for hub in ("1-4", "1-5") for n in (1, 2, 3)]
    check("maintainer scripts: without udev's control socket, udevadm is not called",
          got.get("no udev") == [], got)
    check("maintainer scripts: postinst reloads and handles each unit's functions' ports and "
          "cards, nothing else",
          got.get("postinst") == ["control --reload"] + [
              f"trigger --action=change --subsystem-match={s} --parent-match=/sys{f}"
              for f in functions for s in ("tty", "sound")], got.get("postinst"))
    check("maintainer scripts: postrm on purge handles the units' sound cards only",
          got.get("postrm") == ["control --reload"] + [
              f"trigger --action=change --subsystem-match=sound --parent-match=/sys{f}"
              for f in functions], got.get("postrm"))
    check("maintainer scripts: postrm on upgrade leaves udev alone", got.get("upgrade") == [],
          got.get("upgrade"))
    del bed


def test_real_sys(kqports):
    """This machine's own /sys, no test bed: no unit here."""
    attached = any((d / "idProduct").exists() and (d / "idProduct").read_text().strip() == "a1df"
                   for d in Path("/sys/bus/usb/devices").glob("*"))
    if attached:
        print("note: a KQ-6200 is attached to this machine; the not-found run is skipped")
        return
    code, out, err = run(kqports, bed_env=False)
    check("real /sys: the not-found line, exit code 1", out.startswith(NOT_FOUND) and code == 1,
          f"{code} {out!r} {err}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kqports")
    parser.add_argument("--update", action="store_true")
    parser.add_argument("--part", choices=("watch", "others"),
                        help="only the watches, or only the others (default: all)")
    parser.add_argument("--rules", help="only apply this rules file (a package's) to the test "
                                        "beds, as the rules for every unit")
    args = parser.parse_args()
    if "UMOCKDEV_DIR" not in os.environ and "umockdev" not in os.environ.get("LD_PRELOAD", ""):
        sys.exit("run under umockdev-wrapper")
    if args.rules:
        tests = [lambda: check_rules_for_every_unit("packaged rules", Path(args.rules).read_text())]
    elif args.kqports:
        kqports = str(Path(args.kqports).resolve())
        EXPECTED.mkdir(exist_ok=True)
        tests = [test_beds, test_serial_and_role, test_unplugged, test_watch, test_rules,
                 test_hostile_serials, test_failures, test_port_use, test_seen,
                 test_never_opens_a_port, test_watch_holders, test_maintainer_scripts,
                 test_real_sys]
        # The watches spend their time waiting: --part runs them, or all the
        # others, so that the two halves can run side by side.
        watches = {test_watch, test_watch_holders}
        if args.part == "watch":
            tests = [t for t in tests if t in watches]
        elif args.part == "others":
            tests = [t for t in tests if t not in watches]
        tests = [(lambda t: lambda: t(kqports, args.update) if t is test_beds else t(kqports))(t)
                 for t in tests]
    else:
        parser.error("--kqports or --rules is needed")
    for test in tests:
        started = time.monotonic()
        test()
        print(f"      ({time.monotonic() - started:.1f} s)", flush=True)
    passed = sum(ok for _, ok in results)
    print(f"{passed} passed, {len(results) - passed} failed")
    sys.exit(0 if passed == len(results) else 1)


if __name__ == "__main__":
    main()
