"""kq_winspy.exe (winspy.cpp): reads a window from inside its Wine session
with ordinary Win32 calls, where X tools see only the top-level window. Each
command prints one JSON line (watch: one per change)."""

import json
import queue
import subprocess
import threading
import time

from common import E2EError, poll

EXE = "kq_winspy.exe"


class Spy:
    """The spy at exe (a Windows path) in prefix, reading the window titled title."""

    def __init__(self, prefix, exe, title):
        self.prefix, self.exe, self.title = prefix, exe, title

    def __call__(self, command, *args):
        """Runs one command (state, hittest X Y, closebox, clipboard, post MSG
        WPARAM LPARAM) and returns its JSON answer (None when it prints none)."""
        window = [] if command == "clipboard" else [self.title]
        result = self.prefix.wine([self.exe, command, *window, *args])
        if result.returncode == 2 and window:
            raise E2EError(f"no window titled {self.title!r}")
        if result.returncode != 0:
            raise E2EError(f"kq_winspy {command} failed ({result.returncode}): "
                           f"{result.stderr[-300:]}")
        lines = result.stdout.strip().splitlines()
        return json.loads(lines[-1]) if lines else None

    def state(self):
        """`window`, `client`, `class`, `style`, `metrics`, `children` (`class`,
        `id`, `text`, `style`, `visible`, `rect`), `list` (`rows`, `cursel`,
        `top`, `itemHeight`, `client`) and `hintVisible`."""
        return self("state")

    def rows(self):
        state = self.state()
        if state["list"] is None:
            raise E2EError("list box not readable")
        return state["list"]["rows"]

    def wait_rows(self, expected, timeout=3.0):
        """Polls the list until it equals expected (a list, or a predicate over
        the rows); returns (rows, seconds waited)."""
        started = time.monotonic()
        last = [None]

        def matches():
            last[0] = self.rows()
            return expected(last[0]) if callable(expected) else last[0] == expected
        try:
            poll("rows", matches, timeout, 0.1)
        except E2EError:
            raise E2EError(f"rows did not become as expected within {timeout} s; "
                           f"last seen {last[0]!r}") from None
        return last[0], time.monotonic() - started

    def clipboard(self):
        """The clipboard's CF_UNICODETEXT as a Windows program reads it (`text`)
        and the size of its global block (`bytes`)."""
        return self("clipboard")

    def watch(self, milliseconds, wait_ms=None):
        """Starts `watch` and returns it once it runs: a Watch of the hint and
        selection changes, timed by the spy's own clock. With wait_ms it may
        start before the program: it waits that long for the window to be
        shown, and its clock starts then."""
        extra = [] if wait_ms is None else [wait_ms]
        return self._stream("watch", milliseconds, *extra)

    def ping(self, milliseconds):
        """Starts `ping` (WM_NULL once a second, 1000 ms to answer) and returns
        it as a Watch, with the host's monotonic time at the spy's clock zero;
        its events are the samples ({"t", "ms"}, ms None when unanswered)."""
        return self._stream("ping", milliseconds), time.monotonic()

    def _stream(self, command, *args):
        """Starts a command that prints a line per event; returns its Watch once
        it has printed its first line (it runs)."""
        proc = self.prefix.spawn([self.exe, command, self.title, *args],
                                 stdout=subprocess.PIPE, text=True)
        proc.stdout.readline()
        return Watch(proc)

    def post(self, message, wparam=0, lparam=0):
        """PostMessageW to the window, as the system posts input it translated."""
        self("post", message, wparam, lparam)

    def row_point(self, index):
        """Screen point inside row index of the list box."""
        box = self.state()["list"]
        height = box["itemHeight"]
        return box["client"][0] + 40, box["client"][1] + (index - box["top"]) * height + height // 2

    def control(self, text):
        """The child control whose text is text."""
        for child in self.state()["children"]:
            if child["text"] == text:
                return child
        raise E2EError(f"no control with text {text!r}")


class Watch:
    """A running `watch` or `ping`, its lines read as they come, so a scenario
    can act on a change (a refresh clearing the selection) while it goes on."""

    def __init__(self, proc):
        self.proc = proc
        self.seen = []
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            if line.startswith("{"):
                self._lines.put(json.loads(line))
        self._lines.put(None)

    def until(self, predicate, timeout):
        """The first event from now on that satisfies predicate, read within
        timeout seconds, or None; all events read are kept for events()."""
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            try:
                event = self._lines.get(timeout=left)
            except queue.Empty:
                return None
            if event is None:
                self._lines.put(None)
                return None
            self.seen.append(event)
            if predicate(event):
                return event
        return None

    def events(self, timeout, stop=False):
        """Every event of the watch, once it has ended (within timeout s);
        stop ends it now."""
        if stop:
            self.proc.terminate()
        self.proc.wait(timeout=timeout)
        self._reader.join(timeout)
        while (event := self._lines.get(timeout=timeout)) is not None:
            self.seen.append(event)
        return self.seen
