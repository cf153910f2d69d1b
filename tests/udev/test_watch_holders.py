"""--watch: a program that opens two ports, one just after the other, is one
report; its going is one more; nothing while nothing changes, nor for a
change the text does not show; and a reader's going ends it at once."""

import json
import subprocess
import time

import pytest

from harness import BEDS, PORT_ROLES, env_for, paths_of, read_line, stop

pytestmark = pytest.mark.watch

# Seconds from a program's opening two ports to the report of both: the
# watch looks once a second, or a hundred looks' processor time apart where
# a look costs more than 10 ms, and reports once a change has held for one
# look: three looks. With both processors kept busy (two and four busy
# loops, the sanitizers' build) it took 1.7 to 2.8 s; this is twice that.
HOLDERS_LIMIT = 6
# Seconds from a reader's going to the watch's end: at once where the watch
# waits (0.02 to 0.06 s, idle or busy as above), after the look where it is
# looking, which ends 2 s after its start at the latest.
READER_GONE_LIMIT = 4


def test_watch_reports_holders_once_per_change(kqports, make_bed, processes):
    make_bed(BEDS["one-unit"][0], shared=True)
    proc = processes.popen([kqports, "--watch", "--json"], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, env=env_for())
    first = read_line(proc.stdout, 10)
    assert first and all(json.loads(first)["units"][0][r]["holders"] == [] for r in PORT_ROLES), \
        f"first report, nobody holds a port: {first}"
    holder = processes.start_as("wsjtx", "exec 3<>/dev/ttyUSB0; sleep 0.3; exec 4<>/dev/ttyACM0")
    opened = time.monotonic()
    line = read_line(proc.stdout, HOLDERS_LIMIT + 10)
    took = time.monotonic() - opened
    unit = json.loads(line)["units"][0] if line else {}
    print(f"the holder reported {took:.2f} s after it began opening")
    assert line and took <= HOLDERS_LIMIT and [unit[r]["holders"] for r in ("cat", "winkey")] == \
        [[{"pid": holder.pid, "command": "wsjtx"}]] * 2, \
        f"both ports' holder in one report, within {HOLDERS_LIMIT} s: after {took:.2f} s: {line}"
    quiet = read_line(proc.stdout, 3)
    assert quiet is None, f"nothing more while nothing changes (3 s): {quiet}"
    stop(holder)
    line = read_line(proc.stdout, HOLDERS_LIMIT + 10)
    assert line and json.loads(line)["units"][0]["cat"]["holders"] == [], \
        f"its going is one report: {line}"
    extra = read_line(proc.stdout, 3)
    assert extra is None, f"one report per change: {extra}"


def test_watch_ends_quietly_when_its_reader_goes(kqports, make_bed, processes):
    """A reader that closes the pipe (`kqports --watch | head -1`) ends the
    watch as Ctrl+C does: exit code 0, nothing on standard error, as soon as
    the reader has gone, while nothing changes and no report is due."""
    make_bed(BEDS["one-unit"][0], shared=True)
    proc = processes.popen([kqports, "--watch", "--json"], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, env=env_for())
    assert read_line(proc.stdout, 10), "the first report"
    proc.stdout.close()
    closed = time.monotonic()
    try:
        code = proc.wait(READER_GONE_LIMIT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the watch went on {READER_GONE_LIMIT} s after its reader went away",
                    pytrace=False)
    print(f"ended {time.monotonic() - closed:.2f} s after its reader went away")
    assert code == 0 and proc.stderr.read() == "", f"exit code {code}: {proc.stderr.read()}"


def test_watch_in_text_prints_no_report_that_says_nothing_new(kqports, make_bed, processes):
    """udev marking a port for ModemManager to leave alone while ModemManager
    does not run changes the JSON alone ("ignoresPort"): the text watch's
    next report is the next change it shows, a holder, not the last one
    again. (umockdev hands a uevent to one listener, the last one started:
    one watch a test.)"""
    text = BEDS["one-unit"][0]
    bed = make_bed(text)  # not shared: the test changes it
    proc = processes.popen([kqports, "--watch"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True, env=env_for())
    assert read_line(proc.stdout, 10), "the first report"
    while proc.stdout.readline() not in ("\n", ""):  # the rest, written with its first line
        pass
    cat = "/sys" + next(path for path in paths_of(text) if path.endswith("/tty/ttyUSB0"))
    bed.set_property(cat, "ID_MM_DEVICE_IGNORE", "1")
    bed.uevent(cat, "change")
    # The change has settled by now: read again after a quarter of a second
    # and held for one look. Then one the text shows.
    time.sleep(3)
    holder = processes.start_as("wsjtx", "exec 3<>/dev/ttyUSB1")
    report = [read_line(proc.stdout, HOLDERS_LIMIT + 10) or ""]
    while report[-1] not in ("\n", ""):
        report.append(proc.stdout.readline())
    assert f"        open in wsjtx (pid {holder.pid})\n" in report, \
        f"the report after the first is the holder's: {''.join(report)}"
