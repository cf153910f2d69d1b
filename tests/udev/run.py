#!/usr/bin/python3
"""kqports on Linux against umockdev test beds of KQ-6200 units.

    umockdev-wrapper /usr/bin/python3 tests/udev/run.py --kqports build/native/bin/kqports [--update]
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
import json
import os
import re
import select
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
DOCUMENT_KEYS = {"format", "time", "splitAudio", "units", "report"}
UNIT_KEYS = {"serial", "mcuStatus", "ftdiStatus", "audioStatus", "cat", "ptt", "fsk", "winkey",
             "audioIn", "audioOut"}
PORT_KEYS = {"name", "id", "link"}
AUDIO_KEYS = {"name", "id", "alsa", "description"}

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
    document = dict(document)
    document.pop("time", None)
    return document


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
        compare(f"{name}: text ({what})", out, EXPECTED / f"{name}.txt", update)
        check(f"{name}: exit code", code == (1 if out == NOT_FOUND else 0), f"{code} {err}")
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
                "serial", "mcuStatus", "ftdiStatus", "audioStatus"})
            for u in document.get("units", []))
        check(f"{name}: the Windows program's JSON members, with Linux's names added",
              set(document) == DOCUMENT_KEYS and document["format"] == 1 and roles_ok, out)
        check(f"{name}: JSON time", re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d",
                                                 document.get("time", "")), document.get("time"))
        del bed


def test_unplugged(kqports):
    """A unit that was there and is gone: its devices removed from sysfs, the
    class links of its ttys and sound devices left dangling, as after a
    removal that udev has not finished with."""
    text, unit_hub = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C")
    bed = new_bed(testbeds.root_hub() + text)
    bed.remove_device("/sys" + unit_hub)
    code, out, err = run(kqports)
    check("unplugged: the not-found line", out == NOT_FOUND, out + err)
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
    /dev. Returns the links made (link -> target), udevadm's logs and its
    errors."""
    bed = new_bed(bed_text)
    with tempfile.TemporaryDirectory() as scratch:
        rules_dir = Path(scratch) / "rules.d"
        rules_dir.mkdir()
        (rules_dir / "70-kq6200.rules").write_text(rules)
        devices = [p for p in paths_of(bed_text)
                   if re.search(r"/tty/tty(ACM|USB)\d+$", p) or re.search(r"/sound/card\d+$", p)]
        # udevadm reads the test bed through umockdev's preload library, which
        # also makes it pass for sysfs; the programs the rules run do not get
        # that library, so the test bed's sys folder is also mounted on /sys.
        preload = os.environ.get("LD_PRELOAD", "")
        tests = "\n".join(
            f"LD_PRELOAD={preload} UMOCKDEV_DIR={os.environ['UMOCKDEV_DIR']} udevadm test --action=add /sys{p} >{scratch}/log.{i} 2>&1 || echo udevadm failed for {p} >&2"
            for i, p in enumerate(devices))
        script = f"""set -e
mount --bind /dev/null {scratch}/null
mount -t tmpfs kq /dev
touch /dev/null && mount --bind {scratch}/null /dev/null
mount -t tmpfs kq /run
mount --bind {rules_dir} /etc/udev/rules.d
mount --bind {os.environ["UMOCKDEV_DIR"]}/sys /sys
{tests}
if [ -d /dev/kq6200 ]; then cd /dev && find kq6200 -type l -printf '%p -> %l\\n' | sort; fi
"""
        (Path(scratch) / "null").touch()
        done = subprocess.run(["unshare", "-m", "sh", "-c", script], capture_output=True,
                              text=True, env=env_for(bed_env=False), timeout=120)
        links = dict(line.split(" -> ") for line in done.stdout.splitlines())
        logs = "".join((Path(scratch) / f"log.{i}").read_text(errors="replace")
                       for i in range(len(devices)) if (Path(scratch) / f"log.{i}").exists())
    del bed
    return links, logs, f"{done.returncode} {done.stderr}\n{done.stdout}"


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
    check(f"{name}: the units' eight ports are left to the user at the desk, not to ModemManager",
          opened_up(logs) == (8, 8), f"ignored by ModemManager, tagged uaccess: {opened_up(logs)}")
    for tail in ("-40-1", "..//a", "4 0 1"):
        unit, _ = testbeds.unit(testbeds.ROOT, 4, tail, "KQ6A1B2C")
        links, logs, detail = apply_rules(rules, testbeds.root_hub() + unit)
        check(f"{name}: a unit whose serial ends in {tail!r} gets no name",
              links == {} and "writing 'KQ" not in logs and opened_up(logs) == (0, 0), detail)


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


def test_real_sys(kqports):
    """This machine's own /sys, no test bed: no unit here."""
    attached = any((d / "idProduct").exists() and (d / "idProduct").read_text().strip() == "a1df"
                   for d in Path("/sys/bus/usb/devices").glob("*"))
    if attached:
        print("note: a KQ-6200 is attached to this machine; the not-found run is skipped")
        return
    code, out, err = run(kqports, bed_env=False)
    check("real /sys: the not-found line, exit code 1", out == NOT_FOUND and code == 1,
          f"{code} {out!r} {err}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kqports")
    parser.add_argument("--update", action="store_true")
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
        tests = [lambda: test_beds(kqports, args.update), lambda: test_unplugged(kqports),
                 lambda: test_watch(kqports), lambda: test_rules(kqports),
                 lambda: test_real_sys(kqports)]
    else:
        parser.error("--kqports or --rules is needed")
    for test in tests:
        test()
    passed = sum(ok for _, ok in results)
    print(f"{passed} passed, {len(results) - passed} failed")
    sys.exit(0 if passed == len(results) else 1)


if __name__ == "__main__":
    main()
