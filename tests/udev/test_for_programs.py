"""kqports --for: the settings each program takes from the units, read by
the programs themselves where Debian has them: Direwolf reads the printed
lines, rigctl reads a fake radio's frequency through the printed CAT path;
WSJT-X's keys are checked against the keys it reads (Configuration.cpp)."""

import os
import re
import select
import shlex
import subprocess
import threading
import time
from pathlib import Path

import pytest

import doc_examples
from harness import BEDS, run

TWO = BEDS["two-with-rules"][0]
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
        blocks.append((" ".join(line for line in lines if line.startswith(";")), keys))
    return blocks


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
    assert "ADEVICE" not in direwolf and "no sound card: its Audio Input" in direwolf, direwolf


def test_direwolf_reads_the_printed_lines(kqports, make_bed, tmp_path):
    make_bed(TWO, shared=True)
    out = run(kqports, "--for", "direwolf")[1]
    config = tmp_path / "direwolf.conf"
    # What the printed lines leave to the user, and no network ports.
    config.write_text(out + "MYCALL N0CALL\nAGWPORT 0\nKISSPORT 0\n")
    done = subprocess.run(["direwolf", "-t", "0", "-c", str(config)], capture_output=True,
                          text=True, timeout=60, stdin=subprocess.DEVNULL)
    said = done.stdout + done.stderr
    complaints = [line for line in said.splitlines()
                  if re.search(r"Config file|^Line \d+|not valid|must be|Expected|Missing", line)]
    assert "plughw:CARD=KQ40117,DEV=0" in said and not complaints, \
        f"Direwolf read the file without complaint and opened its first card: {complaints}\n{said}"


class FakeRadio:
    """A Kenwood TS-2000 on the other end of a test bed's pty: answers the
    queries Hamlib's backend (model 2014) sends when it opens the radio and
    reads its frequency, 14.074 MHz."""

    REPLIES = {b"ID;": b"ID019;", b"PS;": b"PS1;", b"AI;": b"AI0;", b"FA;": b"FA00014074000;",
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


def test_rigctl_reads_the_radio_through_the_printed_cat_path(kqports, make_bed):
    """rigctl takes rigctld's -m, -r, -p and -P. A pty has no modem lines, so
    the options that set them (-p, -P, -C) are left out here; -t is rigctld's."""
    bed = make_bed(TWO)  # a link is added to it
    out = run(kqports, "--for", "rigctld", "--serial", "40117")[1]
    line = next(line for line in out.splitlines() if line.startswith("rigctld "))
    words = shlex.split(line)
    cat = words[words.index("-r") + 1]
    assert cat == "/dev/kq6200/40117/cat" and words[words.index("-P") + 1] == "RTS" \
        and words[words.index("-t") + 1] == "4532", line
    # The link udev makes from the rules (tests/udev/test_rules.py), which the
    # test bed's /dev lacks.
    link = Path(os.environ["UMOCKDEV_DIR"]) / "dev" / cat[len("/dev/"):]
    link.parent.mkdir(parents=True, exist_ok=True)
    if not link.is_symlink():
        link.symlink_to("../../ttyUSB0")
    radio = FakeRadio(bed.get_dev_fd("/dev/ttyUSB0"))
    try:
        code, freq, err = run("rigctl", "-m", "2014", "-r", cat, "f")
    finally:
        radio.stop.set()
        radio.thread.join()
    assert code == 0 and freq.strip() == "14074000", f"{code} {freq} {err}"


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
