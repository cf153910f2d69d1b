#!/usr/bin/python3
"""kqports on Linux against umockdev test beds of KQ-6200 units.

    umockdev-wrapper /usr/bin/python3 tests/udev/run.py --kqports build/native/bin/kqports [--update]

Each test bed of testbeds.py is served to the real libudev by umockdev; the
text and JSON that kqports prints are compared with tests/udev/expected/
(--update rewrites those files, to be read before they are committed). Then
--watch is driven by uevents, the rules of --udev-rules are applied by
udevadm to the test bed's devices, and kqports runs on this machine's own
/sys. The last line is "N passed, N failed".
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


def test_rules(kqports):
    """The rules for the two units attached, applied by udevadm (in a mount
    namespace of its own, so that the links land in a private /dev)."""
    text, _ = testbeds.testbeds()["two-units"]
    bed = new_bed(text)
    code, rules, err = run(kqports, "--udev-rules")
    check("rules: printed for the units attached", code == 0 and "# Unit 40117" in rules
          and "# Unit 40262" in rules, f"{code} {err}")
    code, given, err = run(kqports, "--udev-rules", "12345")
    check("rules: printed for a serial given", code == 0 and "# Unit 12345" in given
          and "# Unit 40117" not in given, f"{code} {err}")
    code, _, err = run(kqports, "--udev-rules", "1234;")
    check("rules: a serial that is not five letters or digits is bad usage", code == 2, code)

    with tempfile.TemporaryDirectory() as scratch:
        rules_dir = Path(scratch) / "rules.d"
        rules_dir.mkdir()
        (rules_dir / "70-kq6200.rules").write_text(rules)
        if udevadm_has_verify():
            done = subprocess.run(["udevadm", "verify", str(rules_dir / "70-kq6200.rules")],
                                  capture_output=True, text=True)
            check("rules: udevadm verify", done.returncode == 0, done.stdout + done.stderr)
        else:
            print("note: this udevadm has no verify; the rules are checked by applying them")
        if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
            print("note: no mount namespace can be made here; the rules are not applied")
            return
        devices = [p for p in paths_of(text)
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
cd /dev && find kq6200 -type l -printf '%p -> %l\\n' | sort
"""
        (Path(scratch) / "null").touch()
        done = subprocess.run(["unshare", "-m", "sh", "-c", script], capture_output=True,
                              text=True, env=env_for(bed_env=False), timeout=120)
        links = dict(line.split(" -> ") for line in done.stdout.splitlines())
        expected = {
            "kq6200/40117/cat": "../../ttyUSB0", "kq6200/40117/ptt": "../../ttyUSB1",
            "kq6200/40117/winkey": "../../ttyACM0", "kq6200/40117/fsk": "../../ttyACM1",
            "kq6200/40262/cat": "../../ttyUSB3", "kq6200/40262/ptt": "../../ttyUSB2",
            "kq6200/40262/winkey": "../../ttyACM2", "kq6200/40262/fsk": "../../ttyACM3",
        }
        check("rules: udevadm makes the links of both units", links == expected,
              f"{done.returncode} {done.stderr}\n{done.stdout}")
        logs = "".join((Path(scratch) / f"log.{i}").read_text(errors="replace")
                       for i in range(len(devices)) if (Path(scratch) / f"log.{i}").exists())
        for serial in ("40117", "40262"):
            check(f"rules: the sound card of {serial} is named KQ{serial}",
                  re.search(rf"ATTR '[^']*/card\d/id' writing 'KQ{serial}'", logs),
                  "no such ATTR line in udevadm's log")
        print(done.stdout, end="")
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
    for args in ((), ("--json",), ("--udev-rules",)):
        code, out, err = run(kqports, *args)
        check(f"udev unreadable, {' '.join(args) or 'text'}: exit code 3, said on standard error",
              code == 3 and out == "" and "cannot read udev" in err, f"{code} {out!r} {err}")
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
    parser.add_argument("--kqports", required=True)
    parser.add_argument("--update", action="store_true")
    args = parser.parse_args()
    kqports = str(Path(args.kqports).resolve())
    if "UMOCKDEV_DIR" not in os.environ and "umockdev" not in os.environ.get("LD_PRELOAD", ""):
        sys.exit("run under umockdev-wrapper")
    EXPECTED.mkdir(exist_ok=True)
    for test in (lambda: test_beds(kqports, args.update), lambda: test_unplugged(kqports),
                 lambda: test_watch(kqports), lambda: test_rules(kqports),
                 lambda: test_failures(kqports), lambda: test_real_sys(kqports)):
        test()
    passed = sum(ok for _, ok in results)
    print(f"{passed} passed, {len(results) - passed} failed")
    sys.exit(0 if passed == len(results) else 1)


if __name__ == "__main__":
    main()
