"""kqports --for: the settings each program takes from the units, read by
the programs themselves where Debian has them: Direwolf reads the printed
lines and keys PTT by them, rigctld serves a fake radio's frequency through
the printed CAT path and keys PTT, both on a port whose control lines the
test bed keeps as a serial port's; WSJT-X's keys are checked against the
keys it reads (Configuration.cpp). A unit's settings are the same whichever
units are asked for and whichever are attached."""

import contextlib
import os
import re
import select
import shlex
import socket
import struct
import subprocess
import termios
import threading
import time
from pathlib import Path

import pytest
from gi.repository import GLib, UMockdev

import doc_examples
import testbeds
from harness import BEDS, env_for, run

TWO = BEDS["two-with-rules"][0]
PROGRAMS = ("wsjtx", "rigctld", "direwolf", "fldigi", "flrig")
# The keys of WSJT-X.ini's [Configuration] that WSJT-X takes from this tool.
WSJTX_KEYS = {"CATSerialPort", "PTTMethod", "PTTport", "SoundInName", "SoundOutName"}
# fldigi 4.1's elements of fldigi_def.xml (src/include/configuration.h) and
# key of fldigi.prefs (src/misc/status.cxx) for ports and keying lines.
FLDIGI_KEYS = {"HAMRIGDEVICE", "XMLRIGDEVICE", "TTYPTT", "PTTDEV", "RTSPTT", "DTRPTT",
               "CW_KEYLINE_SERIAL_PORT_NAME", "CW_KEYLINE_on_ptt_port", "CWKEYLINE", "FSK_PORT",
               "WK_serial_port_name"}
# flrig 1.4's keys of <radio>.prefs (src/support/status.cxx).
FLRIG_KEYS = {"xcvr_serial_port", "sep_serial_port", "sep_rtsptt", "sep_dtrptt", "cwioSHARED",
              "cwioKEYLINE", "FSK_PORT"}


def ini_blocks(text):
    """Each unit's block of --for wsjtx: its comment lines and its keys."""
    blocks = []
    for block in text.strip().split("\n\n"):
        lines = block.splitlines()
        keys = dict(line.split("=", 1) for line in lines if "=" in line and line[0] not in ";#")
        blocks.append((" ".join(line[2:] for line in lines if line.startswith(";")), keys))
    return blocks


def unit_blocks(text):
    """The blocks of --for's output, each a unit's (rigctld's first is its
    heading), by the serial it names."""
    blocks = {}
    for block in text.strip("\n").split("\n\n"):
        serial = re.search(r"S/N (\w{5})", block)
        blocks[serial.group(1) if serial else ""] = block
    return blocks


# A line that may be wider than 80 columns: one setting, or one command line.
LONG_BY_ITSELF = re.compile(r"(# rigctld |# PTT |PTT |ADEVICE |[A-Za-z_]+[=:]|<(\w+)>[^<]*</\2>$)")


def test_a_units_settings_are_the_same_whichever_units_are_asked_for(kqports, make_bed):
    """Asked for alone, by serial or label, among others or with the other
    unit not attached: each unit's settings file or instance, folder, TCP
    ports and card are the same, and each line fits 80 columns but a setting
    or a command line longer by itself."""
    alone, _ = testbeds.unit(testbeds.ROOT, 5, "40262", "KQ6B7E41", acm=(2, 3), usb=(3, 2),
                             card=2, rules=True)
    said = {}
    for bed in (TWO, testbeds.root_hub() + alone):
        make_bed(bed, shared=bed == TWO)
        for program in PROGRAMS:
            for asked in ((), ("--serial", "40117"), ("--serial", "40262"),
                          ("--serial", "FT991", "--label", "40262=FT991")):
                code, out, err = run(kqports, "--for", program, *asked)
                if bed != TWO and "40117" in asked:
                    assert code == 1 and not out, f"{asked}: {code} {out}"
                    continue
                assert code == 0 and not err, f"{program} {asked}: {code} {err}"
                for line in out.splitlines():
                    assert len(line) <= 80 or LONG_BY_ITSELF.match(line), \
                        f"{program} {asked}: a line of {len(line)} columns: {line}"
                labelled = "--label" in asked
                for serial, block in unit_blocks(out).items():
                    key = (program, serial, labelled)
                    assert said.setdefault(key, block) == block, \
                        f"{program} {asked}: the unit {serial}'s settings moved:\n" \
                        f"{said[key]}\n--- now ---\n{block}"


def test_two_units_of_one_number(kqports, make_bed):
    """40103 and 40118 have one number (17): while both are attached the
    later serial's ports are the next ones, asked for alone or not."""
    early, _ = testbeds.unit(testbeds.ROOT, 4, "40103", "KQ6A1B2C", rules=True)
    late, _ = testbeds.unit(testbeds.ROOT, 5, "40118", "KQ6B7E41", acm=(2, 3), usb=(3, 2), card=2,
                            rules=True)
    make_bed(testbeds.root_hub() + early + late)
    both = unit_blocks(run(kqports, "--for", "rigctld")[1])
    assert "-t 4566 " in both["40103"] and "-t 4568 " in both["40118"] \
        and both["40118"] == unit_blocks(run(kqports, "--for", "rigctld", "--serial", "40118")[1])["40118"]


def test_wsjtx_keys_name_each_unit_by_its_lasting_names(kqports, make_bed):
    make_bed(TWO, shared=True)
    code, out, err = run(kqports, "--for", "wsjtx")
    assert code == 0 and not err, err
    (first_note, first), (second_note, second) = ini_blocks(out)
    assert set(first) == WSJTX_KEYS and set(second) == WSJTX_KEYS, out
    assert first["CATSerialPort"] == "/dev/kq6200/40117/cat" \
        and first["PTTport"] == "/dev/kq6200/40117/ptt" \
        and first["SoundInName"] == "alsa_input.kq6200-40117.analog-stereo" \
        and first["SoundOutName"] == "alsa_output.kq6200-40117.analog-stereo" \
        and first["PTTMethod"].endswith("PTT_method_RTS\\0)"), out
    assert second["CATSerialPort"] == "/dev/kq6200/40262/cat" \
        and "--rig-name=40262" in second_note and "~/.config/WSJT-X - 40262.ini" in second_note, out
    dtr = ini_blocks(run(kqports, "--for", "WSJTX", "--serial", "40262", "--ptt-line", "DTR")[1])
    assert len(dtr) == 1 and dtr[0][1]["PTTMethod"].endswith("PTT_method_DTR\\0)") \
        and dtr[0][1]["PTTport"] == "/dev/kq6200/40262/ptt", dtr


def test_fldigi_and_flrig_keys_are_theirs(kqports, make_bed):
    make_bed(TWO, shared=True)
    fldigi = run(kqports, "--for", "fldigi", "--serial", "40262")[1]
    elements = dict(re.findall(r"^<(\w+)>([^<]*)</\1>$", fldigi, re.M))
    elements.update(re.findall(r"^(WK_serial_port_name):(.*)$", fldigi, re.M))
    assert set(elements) == FLDIGI_KEYS and elements["PTTDEV"] == "/dev/kq6200/40262/ptt" \
        and elements["CWKEYLINE"] == "2" and elements["RTSPTT"] == "1" \
        and elements["WK_serial_port_name"] == "/dev/kq6200/40262/winkey", fldigi
    flrig = run(kqports, "--for", "flrig", "--serial", "40262")[1]
    keys = dict(line.split(":", 1) for line in flrig.splitlines() if not line.startswith(";"))
    assert set(keys) == FLRIG_KEYS and keys["xcvr_serial_port"] == "/dev/kq6200/40262/cat" \
        and keys["cwioKEYLINE"] == "2", flrig


def test_a_unit_without_audio_gives_no_audio_name(kqports, make_bed):
    make_bed(BEDS["codec-without-card"][0], shared=True)
    out = run(kqports, "--for", "wsjtx")[1]
    keys = ini_blocks(out)[0][1]
    assert "SoundInName" not in keys and "SoundOutName" not in keys \
        and "; SoundInName: none: its Audio Input is not in order (" in out, out
    direwolf = run(kqports, "--for", "direwolf")[1]
    assert "ADEVICE " not in direwolf and "# ADEVICE: none: its Audio Input" in direwolf, direwolf


def test_without_the_rules_no_card_name_that_follows_plug_order(kqports, make_bed):
    """Without the rules ALSA names the two codecs CODEC and CODEC_2 by plug
    order, and the sound servers likewise: no program is given those names,
    and each is told why and how to mend it."""
    make_bed(BEDS["two-units"][0], shared=True)
    for program, key in (("direwolf", "ADEVICE"), ("wsjtx", "SoundInName")):
        out = run(kqports, "--for", program)[1]
        assert not re.search(rf"^{key}[ =]", out, re.M), out
        blocks = unit_blocks(out)
        assert set(blocks) == {"40117", "40262"}, out
        for block in blocks.values():
            notes = " ".join(line[2:] for line in block.splitlines() if line[:1] in "#;")
            assert "by plug order" in notes and "install them (kqports --udev-rules)" in notes, block


def test_a_serial_of_another_shape_reaches_no_setting(kqports, make_bed):
    """A unit whose MCU claims the serial "2051$(id)" (its last five
    characters "$(id)"), beside a unit of five digits: no line names it."""
    normal, _ = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C")
    hostile, _ = testbeds.unit(testbeds.ROOT, 5, "$(id)", "KQ6H0000", acm=(2, 3), usb=(2, 3),
                               card=2)
    make_bed(testbeds.root_hub() + normal + hostile)
    assert "S/N $(id)" in run(kqports)[1], "the report shows the unit"
    for program in PROGRAMS:
        code, out, err = run(kqports, "--for", program)
        assert code == 0 and "$(id)" not in out and "the unit with S/N 40117" in out \
            and "not five letters or digits gets no settings" in out, f"{program}: {out}{err}"


def test_direwolf_reads_the_printed_lines(kqports, make_bed, tmp_path):
    make_bed(TWO, shared=True)
    for serial, block in unit_blocks(run(kqports, "--for", "direwolf")[1]).items():
        config = tmp_path / f"direwolf-{serial}.conf"
        # What the printed lines leave to the user, and no network ports here.
        config.write_text(block + "\nMYCALL N0CALL\nAGWPORT 0\nKISSPORT 0\n")
        done = subprocess.run(["direwolf", "-t", "0", "-c", str(config)], capture_output=True,
                              text=True, timeout=60, stdin=subprocess.DEVNULL)
        said = done.stdout + done.stderr
        complaints = [line for line in said.splitlines()
                      if re.search(r"Config file|^Line \d+|not valid|must be|Expected|Missing", line)]
        assert f"plughw:CARD=KQ{serial},DEV=0" in said and not complaints, \
            f"Direwolf read the file without complaint and opened its card: {complaints}\n{said}"


TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCMSET = 0x5415, 0x5416, 0x5417, 0x5418
DTR, RTS = termios.TIOCM_DTR, termios.TIOCM_RTS


class ControlLines(UMockdev.IoctlBase):
    """A serial port's control lines on a node of the bed (a pty has none):
    an opening raises DTR and RTS, as Linux does; TIOCMGET reads them,
    TIOCMSET, TIOCMBIS and TIOCMBIC set them; `states` keeps each state
    ("open" or "set", lines). Served while the GLib main loop runs (serve)."""

    def __init__(self):
        super().__init__()
        self.states = []

    def do_client_connected(self, client):
        self.states.append(("open", DTR | RTS))

    def do_handle_ioctl(self, client):
        request = client.get_request()
        if request == termios.TCGETS:
            client.get_arg().resolve(0, 60).update(0, bytes(60))
        elif request in (TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCMSET):
            data, lines = client.get_arg().resolve(0, 4), self.states[-1][1]
            if request == TIOCMGET:
                data.update(0, struct.pack("i", lines))
            else:
                given = struct.unpack("i", bytes(data.retrieve()))[0]
                self.states.append(("set", {TIOCMSET: given, TIOCMBIS: lines | given,
                                            TIOCMBIC: lines & ~given}[request]))
        elif request not in (termios.TCSETS, termios.TCSETSW, termios.TCSETSF, termios.TCFLSH):
            return False
        client.complete(0, 0)
        return True

    def set(self):
        return [lines for how, lines in self.states if how == "set"]

    def keyed(self):
        return any(lines & RTS for lines in self.set())


def make_link(link, node):
    """The bed's `link` to its `node`, as udev makes it from the rules."""
    path = Path(os.environ["UMOCKDEV_DIR"]) / link[1:]
    path.parent.mkdir(parents=True, exist_ok=True)
    path.symlink_to(os.path.relpath(f"/dev/{node}", os.path.dirname(link)))


def emulate_lines(bed, link, node):
    """make_link, the link served with control lines."""
    make_link(link, node)
    lines = ControlLines()
    bed.attach_ioctl(link, lines)
    return lines


def serve(until, seconds):
    """Runs the GLib main loop, which serves the control lines, until
    until() is true or `seconds` have passed."""
    end = time.monotonic() + seconds
    while not until() and time.monotonic() < end:
        GLib.MainContext.default().iteration(False)
        time.sleep(0.002)


def served(*args):
    """A program run to its end while the control lines are served."""
    proc = subprocess.Popen(args, env=env_for(), stdout=subprocess.PIPE, text=True)
    serve(lambda: proc.poll() is not None, 30)
    return proc.wait(), proc.stdout.read()


def direwolf_beacon(block, tmp_path, lines, ptt=None):
    """Direwolf on a unit's printed lines (`ptt` in place of the PTT line),
    with what the bed lacks: silence in and ALSA's null device out for its
    card, no network ports, a call sign and a beacon at once. Ends once RTS
    rose and fell, and the lines set with it are set."""
    for printed, instead in (("ADEVICE .*", "ADEVICE stdin null"), ("(AGWPORT|KISSPORT) .*", r"\1 0"),
                             ("PTT .*", ptt)):
        block = re.sub(f"^{printed}$", instead, block, flags=re.M) if instead else block
    config = tmp_path / "direwolf.conf"
    config.write_text(block + '\nMYCALL KQ6TST\nCBEACON delay=0:01 info="kq"\n')
    proc = subprocess.Popen(["direwolf", "-t", "0", "-c", str(config)], env=env_for(),
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, bufsize=0)

    def silence():
        with contextlib.suppress(OSError):
            while proc.poll() is None:
                proc.stdin.write(b"\0" * 8820)
                time.sleep(0.1)

    threading.Thread(target=silence, daemon=True).start()
    serve(lambda: lines.keyed() and not lines.states[-1][1] & RTS, 20)
    serve(lambda: proc.poll() is not None, 0.5)
    proc.kill()
    proc.wait()


def test_direwolf_as_printed_keeps_dtr_low_at_rest(kqports, make_bed, tmp_path):
    """DTR, which keys CW, is low once Direwolf has set the port up and after
    it transmitted, though opening the port raised it; RTS keys PTT; and, as
    the printed lines say, DTR follows RTS up while Direwolf transmits."""
    bed = make_bed(TWO)
    block = unit_blocks(run(kqports, "--for", "direwolf", "--serial", "40117")[1])["40117"]
    lines = emulate_lines(bed, "/dev/kq6200/40117/ptt", "ttyUSB1")
    direwolf_beacon(block, tmp_path, lines)
    states = lines.set()
    keyed = next((i for i, state in enumerate(states) if state & RTS), 0)
    assert keyed and not states[keyed - 1] and not states[-1] and DTR | RTS in states, lines.states


def listening(port):
    """The IPv4 addresses that listen on TCP `port`, and "IPv6" for any other."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        for line in Path(table).read_text().splitlines()[1:]:
            address, at = line.split()[1].split(":")
            if line.split()[3] == "0A" and int(at, 16) == port:
                found.append(socket.inet_ntoa(bytes.fromhex(address)[::-1]) if len(address) == 8
                             else "IPv6")
    return found


class FakeRadio:
    """A Kenwood TS-2000 on the other end of a test bed's pty: answers the
    queries Hamlib's backend (model 2014) sends when it opens the radio and
    reads its frequency, 14.074 MHz in USB."""

    REPLIES = {b"ID;": b"ID019;", b"PS;": b"PS1;", b"AI;": b"AI0;", b"FA;": b"FA00014074000;",
               b"FB;": b"FB00014074000;", b"MD;": b"MD2;",
               b"IF;": b"IF00014074000     +00000000002000000 ;"}

    def __init__(self, fd):
        self.fd, self.stop = fd, threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        pending = b""
        while not self.stop.is_set():
            if not select.select([self.fd], [], [], 0.1)[0]:
                continue
            try:
                pending += os.read(self.fd, 1024)
            except OSError:  # no process has the port open
                time.sleep(0.05)
                continue
            while b";" in pending:
                command, pending = pending.split(b";", 1)
                if reply := self.REPLIES.get(command + b";"):
                    os.write(self.fd, reply)


def test_rigctld_as_printed_serves_this_machine_alone_and_keys_ptt_with_dtr_low(kqports, make_bed,
                                                                               tmp_path):
    """Pasted into a shell the printed lines run nothing. Filled in (the fake
    radio is Hamlib's model 2014) Debian's rigctld takes the line: it listens
    on 127.0.0.1 alone at the printed port, reads the radio's frequency
    through the CAT path, keys PTT by RTS with DTR low. So does Direwolf
    through it by the printed PTT RIG line, DTR low but at each opening.
    (-C goes: the CAT port is a pty, without control lines.)"""
    bed = make_bed(TWO)
    out = run(kqports, "--for", "rigctld", "--serial", "40117")[1]
    pasted = subprocess.run(["sh", "-c", out], capture_output=True, text=True, timeout=10)
    assert pasted.returncode == 0 and not pasted.stdout + pasted.stderr, pasted
    line = next(line for line in out.splitlines() if line.startswith("# rigctld "))
    words = shlex.split(line[2:].replace("MODEL", "2014").replace("SPEED", "9600"))
    port = int(words[words.index("-t") + 1])
    del words[words.index("-C"):]
    make_link("/dev/kq6200/40117/cat", "ttyUSB0")
    lines = emulate_lines(bed, "/dev/kq6200/40117/ptt", "ttyUSB1")
    radio = FakeRadio(bed.get_dev_fd("/dev/ttyUSB0"))
    rigctld = subprocess.Popen(words, env=env_for(), stdout=subprocess.DEVNULL)
    rig = ["rigctl", "-m", "2", "-r", f"127.0.0.1:{port}"]
    try:
        serve(lambda: listening(port) or rigctld.poll() is not None, 20)
        assert listening(port) == ["127.0.0.1"], f"{listening(port)} {words}"
        assert served(*rig, "f") == (0, "14074000\n")
        served(*rig, "T", "1")
        keyed = lines.states[-1][1]
        served(*rig, "T", "0")
        assert keyed == RTS and not lines.states[-1][1], lines.states
        block = unit_blocks(run(kqports, "--for", "direwolf", "--serial", "40117")[1])["40117"]
        assert f"\n# PTT RIG 2 127.0.0.1:{port}\n" in block, block
        lines.states.clear()
        direwolf_beacon(block, tmp_path, lines, ptt=f"PTT RIG 2 127.0.0.1:{port}")
        assert lines.keyed() and not any(state & DTR for state in lines.set()), lines.states
    finally:
        rigctld.kill()
        rigctld.wait()
        radio.stop.set()
        radio.thread.join()


def test_unknown_program_and_no_unit(kqports, make_bed):
    code, out, err = run(kqports, "--for", "ham")
    assert code == 2 and not out and "wsjtx, rigctld, direwolf, fldigi or flrig" in err, err
    make_bed(BEDS["no-unit"][0], shared=True)
    code, out, err = run(kqports, "--for", "rigctld")
    assert code == 1 and not out and err == "kqports: no Quorvanta KQ-6200 is attached\n", err


def test_documented_settings(kqports, make_bed, write_examples):
    """docs/kqports.md's settings for each program, on two units the rules named."""
    make_bed(TWO, shared=True)
    outputs = {f"linux-for-{program}": run(kqports, "--for", program)[1]
               for program in ("wsjtx", "rigctld", "direwolf", "fldigi", "flrig")}
    problems = doc_examples.compare_or_write(outputs, write_examples, "linux")
    assert not problems, "\n".join(problems)
