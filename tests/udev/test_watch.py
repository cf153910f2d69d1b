"""--watch --json driven by uevents: a report at the start, one within 1 s of
a unit's devices arriving and of their going, none while nothing changes;
and a watch whose output takes nothing ends on a signal all the same."""

import fcntl
import json
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

import testbeds
from harness import UEVENT_GAP, env_for, paths_of, read_line

pytestmark = pytest.mark.watch
# fcntl's F_SETPIPE_SZ, which Python names from 3.10 on.
F_SETPIPE_SZ = 1031


def ahead_of_others():
    try:
        os.nice(-10)
    except OSError:
        pass  # not allowed: at the same priority as the rest


def test_watch_reports_a_unit_coming_and_going(kqports, make_bed, processes):
    bed = make_bed(testbeds.root_hub())
    # Ahead of the machine's other work where it may be, so that it reads
    # the uevents as they come (see harness.UEVENT_GAP).
    proc = processes.popen([kqports, "--watch", "--json"], preexec_fn=ahead_of_others,
                           stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, env=env_for())
    first = read_line(proc.stdout, 10)
    assert first and json.loads(first)["units"] == [], f"first report: {first}"
    time.sleep(1.5)
    text, unit_hub = testbeds.unit(testbeds.ROOT, 4, "40117", "KQ6A1B2C")
    bed.add_from_string(text)
    # Some milliseconds apart (harness.UEVENT_GAP): sent all at once they
    # fill the listener's socket, and umockdev's sender gives up.
    for path in paths_of(text):
        bed.uevent("/sys" + path, "add")
        time.sleep(UEVENT_GAP)
    plugged = time.monotonic()
    # The 1 s users are promised; 0.2 to 0.35 s with both processors kept
    # busy (two and four busy loops), here and for the going below.
    line = read_line(proc.stdout, 3)
    took = time.monotonic() - plugged
    units = json.loads(line)["units"] if line else None
    print(f"arrival reported {took:.2f} s after the last uevent")
    assert line and took <= 1.0 and len(units) == 1 and units[0]["ftdiStatus"] == 0 \
        and units[0]["audioStatus"] == 0 and units[0]["mcuStatus"] == 0, \
        f"the unit's arrival reported within 1 s: after {took:.2f} s: {line}"
    quiet = read_line(proc.stdout, 5)
    assert quiet is None, f"nothing printed while nothing changes (5 s): {quiet}"
    for path in reversed(paths_of(text)):
        bed.uevent("/sys" + path, "remove")
        time.sleep(UEVENT_GAP)
    bed.remove_device("/sys" + unit_hub)
    unplugged = time.monotonic()
    line = read_line(proc.stdout, 3)
    took = time.monotonic() - unplugged
    print(f"going reported {took:.2f} s after the last uevent")
    assert line and took <= 1.0 and json.loads(line)["units"] == [], \
        f"the unit's going reported within 1 s: after {took:.2f} s: {line}"
    extra = read_line(proc.stdout, 2)
    assert extra is None, f"one report per change: {extra}"
    proc.send_signal(signal.SIGINT)
    code = proc.wait(5)
    assert code == 0, f"Ctrl+C ends it with exit code 0: {code} {proc.stderr.read()}"


def full_pipe():
    """A pipe of one page, full: a writer to it waits until a reader reads."""
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
    os.set_blocking(write_end, False)
    try:
        while True:
            os.write(write_end, b"x" * 512)
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)
    return read_end, write_end


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_watch_ends_on_a_signal_while_its_output_is_full(kqports, make_bed, processes, signum):
    """A reader that takes nothing (a pager scrolled back, a stalled pipe)
    leaves the watch waiting in a write: a stop signal ends it all the same,
    within a second, with exit code 0."""
    make_bed(testbeds.testbeds()["one-unit"][0], shared=True)
    read_end, write_end = full_pipe()
    try:
        proc = processes.popen([kqports, "--watch"], stdout=write_end, stderr=subprocess.PIPE,
                               text=True, env=env_for())
        os.close(write_end)
        write_end = None
        # Until it waits in its first write: the event, not a time.
        for _ in range(3000):
            if "pipe_write" in Path(f"/proc/{proc.pid}/wchan").read_text():
                break
            time.sleep(0.01)
        else:
            pytest.fail("the watch never waited on its full output", pytrace=False)
        proc.send_signal(signum)
        sent = time.monotonic()
        try:
            code = proc.wait(10)
        except subprocess.TimeoutExpired:
            pytest.fail(f"still running 10 s after {signum.name}", pytrace=False)
        took = time.monotonic() - sent
        print(f"ended {took:.2f} s after {signum.name}")
        assert took <= 1.0 and code == 0, \
            f"after {took:.2f} s, exit code {code}: {proc.stderr.read()}"
    finally:
        os.close(read_end)
        if write_end is not None:
            os.close(write_end)
