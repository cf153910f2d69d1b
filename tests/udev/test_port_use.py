"""Who has a port open, who may open it, and ModemManager, all found without
opening a port: a holder started by the test, a node the user may not open,
a process named ModemManager; text and JSON say the same."""

import grp
import json
import os
import subprocess
from pathlib import Path

import pytest

import doc_examples
from harness import BEDS, PORT_ROLES, env_for, lines_under, run, stop


def test_holder_named_under_its_port(kqports, make_bed, processes):
    make_bed(BEDS["one-unit"][0], shared=True)
    holder = processes.start_as("flrig", "exec 3<>/dev/ttyUSB1")
    code, out, err = run(kqports)
    document = json.loads(run(kqports, "--json")[1])
    unit = document["units"][0]
    assert lines_under(out, "PTT/CW Port") == [f"open in flrig (pid {holder.pid})"], \
        f"the PTT port's holder named with its pid, under its line: {out}"
    assert lines_under(out, "CAT Port") == [], f"no line under a port nobody holds: {out}"
    assert unit["ptt"]["holders"] == [{"pid": holder.pid, "command": "flrig"}] \
        and unit["cat"]["holders"] == [] and unit["ptt"]["access"]["mayOpen"] is True, \
        f"the JSON names the same process on the same port: {unit['ptt']}"


def test_holder_in_another_mount_namespace_found_by_the_device_number(kqports, make_bed,
                                                                     processes):
    """A process holding the port by its own path in another mount namespace,
    as a container or a snap does."""
    if os.geteuid() != 0:
        pytest.skip("not root: no mount namespace of another process can be made")
    make_bed(BEDS["one-unit"][0], shared=True)
    # The bed's PTT node leads to a pty, which the contained process opens.
    contained = processes.start_in_namespace(os.path.realpath(
        Path(os.environ["UMOCKDEV_DIR"]) / "dev" / "ttyUSB1"))
    document = json.loads(run(kqports, "--json")[1])
    assert {"pid": contained.pid, "command": "sleep"} in document["units"][0]["ptt"]["holders"], \
        document["units"][0]["ptt"]


def test_modem_manager_warned_of_under_each_port_without_the_rules(kqports, make_bed, processes):
    make_bed(BEDS["one-unit"][0], shared=True)
    mm = processes.start_as("ModemManager", ":")
    out = run(kqports)[1]
    document = json.loads(run(kqports, "--json")[1])
    stop(mm)
    warned = [line for line in out.splitlines() if "ModemManager is running" in line]
    assert len(warned) == 4 and all(document["units"][0][r]["modemManager"] == {
        "running": True, "ignoresPort": False} for r in PORT_ROLES), out


def test_ports_the_rules_named(kqports, make_bed, processes):
    make_bed(BEDS["with-rules"][0], shared=True)
    mm = processes.start_as("ModemManager", ":")
    out = run(kqports)[1]
    stop(mm)
    assert "ModemManager" not in out, f"ModemManager: no line for ports the rules marked: {out}"
    assert "CAT Port     - /dev/ttyUSB0 (/dev/kq6200/40117/cat, /dev/serial/by-id/" in out \
        and "WinKey Port  - /dev/ttyACM0 (/dev/kq6200/40117/winkey, /dev/serial/by-id/" in out, \
        f"each port's link of the rules before its link by ID: {out}"
    assert "hw:CARD=KQ40117,DEV=0 or plughw:CARD=KQ40117,DEV=0" in out, \
        f"the card of the rules, with plughw beside hw: {out}"


def test_access_refused_names_the_group_and_the_remedy(kqports, make_bed):
    """A node only root and the group dialout may open, for a user in
    neither: the test bed's node is a plain file planted in place of the pty
    (the other ports' nodes are ptys, which only root may open); and one that
    anybody may open, beside it."""
    if os.geteuid() != 0:
        pytest.skip("not root, so no other user to run as")
    make_bed(BEDS["with-rules"][0])
    root = Path(os.environ["UMOCKDEV_DIR"])
    node = root / "dev" / "ttyACM1"
    node.unlink()
    node.write_text("")
    os.chown(node, 0, grp.getgrnam("dialout").gr_gid)
    node.chmod(0o660)
    anybody = root / "dev" / "ttyACM0"
    anybody.unlink()
    anybody.write_text("")
    anybody.chmod(0o666)
    root.chmod(0o755)
    nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    done = subprocess.run(nobody + [kqports], capture_output=True, text=True, env=env_for(),
                          timeout=60)
    under = lines_under(done.stdout, "FSK Port")
    assert len(under) == 1 and under[0].startswith(
        "you may not open it: only root and the group dialout may open it: "
        "sudo usermod -aG dialout $USER") and lines_under(done.stdout, "WinKey Port") == [], \
        f"the line under a port the user may not open: {done.stdout}{done.stderr}"
    done = subprocess.run(nobody + [kqports, "--json"], capture_output=True, text=True,
                          env=env_for(), timeout=60)
    access = json.loads(done.stdout)["units"][0]["fsk"]["access"]
    assert access["mayOpen"] is False and access["group"] == "dialout" \
        and access["inGroup"] is False and under[0] == f"you may not open it: {access['help']}.", \
        f"the JSON says the same: {access}"


def test_documented_report_and_json(kqports, make_bed, processes, write_examples):
    """docs/kqports.md's Linux report and JSON: a unit the packaged rules
    named, its CAT port held by a program named flrig (its pid shown as the
    document's)."""
    make_bed(BEDS["with-rules"][0], shared=True)
    holder = processes.start_as("flrig", "exec 3<>/dev/ttyUSB0")
    outputs = {name: doc_examples.with_documented_pid(run(kqports, *args)[1], holder.pid)
               for name, args in (("linux-report", ()), ("linux-json", ("--json",)))}
    problems = doc_examples.compare_or_write(outputs, write_examples, "linux")
    assert not problems, "\n".join(problems)


def test_holder_of_the_codec_named_under_its_direction(kqports, make_bed, processes):
    """A program that has the codec's capture device open (Direwolf, a sound
    server) is named under the audio input, not the output."""
    make_bed(BEDS["one-unit"][0], shared=True)
    holder = processes.start_as("direwolf", "exec 3<>/dev/snd/pcmC1D0c")
    out = run(kqports)[1]
    assert lines_under(out, "Audio Input") == [f"open in direwolf (pid {holder.pid})"] \
        and lines_under(out, "Audio Output") == [], out


def test_a_port_opened_with_o_path_alone_has_no_holder(kqports, make_bed, processes, tmp_path):
    """O_PATH opens a node without any permission on it, and such a file
    can neither read, write nor set a line: any user could pass for the
    holder of a port they may not open. Only the process that opened it
    for use is named."""
    make_bed(BEDS["one-unit"][0], shared=True)
    impostor = processes.start_as(
        "flrig", 'exec python3 -c "import os, sys; fd = os.open(\'/dev/ttyUSB1\', os.O_PATH); '
                 'os.set_inheritable(fd, True); os.execv(sys.argv[1], [sys.argv[1], \'60\'])" "$0"')
    real = processes.start_as("wsjtx", "exec 3<>/dev/ttyUSB1")
    fds = Path(f"/proc/{impostor.pid}/fd")
    held = [os.readlink(fd) for fd in fds.iterdir()]
    assert os.path.realpath(Path(os.environ["UMOCKDEV_DIR"]) / "dev" / "ttyUSB1") in held, held
    out = run(kqports)[1]
    ptt = json.loads(run(kqports, "--json")[1])["units"][0]["ptt"]
    assert lines_under(out, "PTT/CW Port") == [f"open in wsjtx (pid {real.pid})"], out
    assert ptt["holders"] == [{"pid": real.pid, "command": "wsjtx"}], ptt
