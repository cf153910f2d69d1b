"""--watch: a program that opens two ports, one just after the other, is one
report; its going is one more; nothing while nothing changes."""

import json
import subprocess
import time

import pytest

from harness import BEDS, PORT_ROLES, env_for, read_line, stop

pytestmark = pytest.mark.watch


def test_watch_reports_holders_once_per_change(kqports, make_bed, processes):
    make_bed(BEDS["one-unit"][0], shared=True)
    proc = processes.popen([kqports, "--watch", "--json"], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, env=env_for())
    first = read_line(proc.stdout, 10)
    assert first and all(json.loads(first)["units"][0][r]["holders"] == [] for r in PORT_ROLES), \
        f"first report, nobody holds a port: {first}"
    holder = processes.start_as("wsjtx", "exec 3<>/dev/ttyUSB0; sleep 0.3; exec 4<>/dev/ttyACM0")
    opened = time.monotonic()
    # Two looks a second apart, or further where a look costs more than 10 ms
    # of processor time, as in the sanitizers' build on a busy machine.
    line = read_line(proc.stdout, 8)
    took = time.monotonic() - opened
    unit = json.loads(line)["units"][0] if line else {}
    print(f"the holder reported {took:.2f} s after it began opening")
    assert line and took <= 6 and [unit[r]["holders"] for r in ("cat", "winkey")] == \
        [[{"pid": holder.pid, "command": "wsjtx"}]] * 2, \
        f"both ports' holder in one report, within 6 s: after {took:.2f} s: {line}"
    quiet = read_line(proc.stdout, 3)
    assert quiet is None, f"nothing more while nothing changes (3 s): {quiet}"
    stop(holder)
    line = read_line(proc.stdout, 8)
    assert line and json.loads(line)["units"][0]["cat"]["holders"] == [], \
        f"its going is one report: {line}"
    extra = read_line(proc.stdout, 3)
    assert extra is None, f"one report per change: {extra}"


def test_watch_ends_quietly_when_its_reader_goes(kqports, make_bed, processes):
    """A reader that closes the pipe ends the watch as Ctrl+C does: exit code
    0, nothing on standard error, at the next report it would write."""
    make_bed(BEDS["one-unit"][0], shared=True)
    proc = processes.popen([kqports, "--watch", "--json"], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, env=env_for())
    assert read_line(proc.stdout, 10), "the first report"
    proc.stdout.close()
    processes.start_as("wsjtx", "exec 3<>/dev/ttyUSB0")  # a change to report
    try:
        code = proc.wait(20)
    except subprocess.TimeoutExpired:
        pytest.fail("the watch went on after its reader went away", pytrace=False)
    assert code == 0 and proc.stderr.read() == "", f"exit code {code}: {proc.stderr.read()}"
