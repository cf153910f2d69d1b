"""What the tests of kqports on the umockdev test beds share: running the
program in a test bed's environment, applying udev rules with udevadm in a
mount namespace of its own, processes under a chosen command name that hold
a port, and the readers of what those print.
"""

import os
import re
import select
import subprocess
import tempfile
import time
from pathlib import Path

import gi
import pytest

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

import testbeds  # noqa: E402

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
EXPECTED = HERE / "expected"
BEDS = testbeds.testbeds()
NOT_FOUND = "Quorvanta KQ-6200 not found\n"
# Seconds between two uevents of one unit. umockdev hands each to the
# listener's socket, which queues at most net.unix.max_dgram_qlen of them (10
# by default) and aborts the test when one more finds it full: at 20 ms the
# listener may be kept from reading for 200 ms (a loaded machine, kqports
# under ASan), and the unit's 24 devices still arrive well within its
# quarter second of quiet.
UEVENT_GAP = 0.02
PORT_ROLES = ("cat", "ptt", "fsk", "winkey")
# The start of the line on processes whose open files were not looked at.
UNINSPECTED_LINE = "Not looked at for holders of the ports: "


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
                   if "ModemManager is running" not in line
                   and not line.startswith(UNINSPECTED_LINE))


def new_bed(text):
    bed = UMockdev.Testbed.new()
    if not bed.add_from_string(text):
        raise RuntimeError("umockdev refused the test bed")
    # The test bed tells the preload library where it is through the process
    # environment, which Python's copy does not see; the programs run get it here.
    os.environ["UMOCKDEV_DIR"] = bed.get_root_dir()
    return bed


def read_line(stream, timeout):
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline() if ready else None


def paths_of(text):
    return [line[3:] for line in text.splitlines() if line.startswith("P: ")]


# The links udevadm makes on the test bed "two-units", whichever rules name them.
TWO_UNITS_LINKS = {
    "kq6200/40117/cat": "../../ttyUSB0", "kq6200/40117/ptt": "../../ttyUSB1",
    "kq6200/40117/winkey": "../../ttyACM0", "kq6200/40117/fsk": "../../ttyACM1",
    "kq6200/40262/cat": "../../ttyUSB3", "kq6200/40262/ptt": "../../ttyUSB2",
    "kq6200/40262/winkey": "../../ttyACM2", "kq6200/40262/fsk": "../../ttyACM3",
}


def require_unshare():
    """Fails the test where no mount namespace can be made here: the rules
    would not be applied, and nothing would be checked."""
    done = subprocess.run(["unshare", "-m", "true"], capture_output=True, text=True)
    if done.returncode != 0:
        pytest.fail(f"no mount namespace can be made here: unshare -m exit code "
                    f"{done.returncode} {done.stderr.strip()}".strip(), pytrace=False)


def apply_rules(rules, bed_text, devices=None):
    """udevadm test with these rules (a file's text, or {file name: text})
    for every tty and sound card of the test bed (or `devices`), in a mount
    namespace of its own, so that the links land in a private /dev. Returns
    the links made (link -> target), udevadm's logs and what the namespace
    printed."""
    bed = new_bed(bed_text)
    with tempfile.TemporaryDirectory() as scratch:
        devices = devices or rule_devices(bed_text)
        tests = udevadm_tests(scratch, devices, lambda i: f"log.{i}")
        out = in_namespace(scratch, rules, tests + "\nif [ -d /dev/kq6200 ]; then cd /dev && "
                           "find kq6200 -type l -printf '%p -> %l\\n' | sort; fi\n") or ""
        links = dict(line.split(" -> ") for line in out.splitlines())
        logs = "".join((Path(scratch) / f"log.{i}").read_text(errors="replace")
                       for i in range(len(devices)) if (Path(scratch) / f"log.{i}").exists())
    del bed
    return links, logs, out


def opened_up(logs):
    """How many devices udevadm hid from ModemManager, and how many it tagged
    for the user at the desk (among the test bed's ttys and cards, only the
    rules' ports can be)."""
    return (len(re.findall(r"^ID_MM_DEVICE_IGNORE=1$", logs, re.M)),
            len(re.findall(r"^TAGS=.*:uaccess:", logs, re.M)))


def sound_server_names(logs):
    """The card properties PulseAudio and PipeWire describe and name a card
    by, as udevadm test lists them, where the rules made them (udev's
    hardware database gives the FTDI bridge's ports a product name of its
    own)."""
    return [(key, value) for key, value in
            re.findall(r"^(SOUND_DESCRIPTION|ID_MODEL_FROM_DATABASE|PULSE_NAME|ACP_NAME)=(.*)$",
                       logs, re.M)
            if key != "ID_MODEL_FROM_DATABASE" or value.startswith("KQ")]


def card_names_of(serial):
    """What the rules give the sound card of the unit `serial`."""
    return sorted([("ACP_NAME", f"kq6200-{serial}"), ("ID_MODEL_FROM_DATABASE", f"KQ-6200 S/N {serial}"),
                   ("PULSE_NAME", f"kq6200-{serial}"), ("SOUND_DESCRIPTION", f"KQ-6200 S/N {serial}")])


def rule_devices(text):
    """The devices the rules act on: the ttys and sound cards of a test bed."""
    return [p for p in paths_of(text)
            if re.search(r"/tty/tty(ACM|USB)\d+$", p) or re.search(r"/sound/card\d+$", p)]


def in_namespace(scratch, rules, script):
    """Runs script as root in a mount namespace of its own where the rules are
    the only ones udev reads, /dev and /run are empty, and the test bed's sys
    folder is mounted on /sys; its standard output. Where no mount
    namespace can be made here (which fails the test). udevadm reads the test bed through umockdev's
    preload library, which also makes it pass for sysfs; the programs the rules
    run do not get that library, hence the sys folder on /sys."""
    require_unshare()
    rules_dir = Path(scratch) / "rules.d"
    rules_dir.mkdir(exist_ok=True)
    for name, text in (rules if isinstance(rules, dict) else {"70-kq6200.rules": rules}).items():
        (rules_dir / name).write_text(text)
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
    assert done.returncode == 0 and not done.stderr, \
        f"applied in the namespace: {done.returncode} {done.stderr}"
    return done.stdout


def serial_program(rules):
    """The shell program of the rules' IMPORT{program}, as udev hands it to
    /bin/sh: udev's doubled "$$" and "%%" undone ("%p" is left for the caller)."""
    match = re.search(r"IMPORT\{program\}=\"/bin/sh -c '([^']*)'\"", rules)
    return match[1].replace("$$", "$").replace("%%", "%") if match else None


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
    snap holds a port (as root: the test fails where no namespace can be made)."""
    script = (f"mount -t tmpfs kq /mnt && touch /mnt/radio && mount --bind {node} /mnt/radio "
              "&& exec 3<>/mnt/radio && exec sleep 60")
    require_unshare()
    proc = subprocess.Popen(["unshare", "-m", "sh", "-c", script], env=env_for(bed_env=False),
                            stdout=subprocess.DEVNULL)
    for _ in range(200):  # until the exec: the port is open by then
        if Path(f"/proc/{proc.pid}/comm").read_text().strip() == "sleep":
            break
        time.sleep(0.01)
    return proc


def stop(*procs):
    for proc in procs:
        if proc.poll() is None:
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


def maintainer_script(name, kqports):
    """The package's maintainer script as scripts/release.sh makes it, with the
    procedure that the build of `kqports` configured."""
    procedure = Path(kqports).parent.parent / "packaging" / "apply-rules.sh"
    return (ROOT / "packaging" / "deb" / name).read_text().replace("#KQ_APPLY_RULES#\n",
                                                                  procedure.read_text())


