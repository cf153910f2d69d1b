"""The X display the scenarios run on, and what X clients do on it: find,
click and capture windows (xdotool, ImageMagick) and read or own the clipboard
(xclip). Wine draws child controls into their top-level X window, so nothing
here sees them: spy.py reads those from inside Wine."""

import os
import re
import subprocess

from common import E2EError, log, run


class Display:
    """Without a name, an Xvfb of its own (picked with -displayfd), stopped by
    close(). -noreset: without it Xvfb resets whenever its last client leaves,
    and Wine's next connection can fail. With a name, a running display (the
    user's): used, never stopped."""

    def __init__(self, name=None, width=1280, height=1024):
        self.proc = None
        if name is None:
            read_fd, write_fd = os.pipe()
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{width}x{height}x24",
                 "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_fd)
            with os.fdopen(read_fd) as pipe:
                number = pipe.readline().strip()
            if not number:
                self.proc.kill()
                raise E2EError("Xvfb did not start")
            name = f":{number}"
            log(f"Xvfb {name} pid {self.proc.pid}")
        self.name = name
        self.env = dict(os.environ, DISPLAY=name)
        self.width, self.height = map(int, self.xdotool("getdisplaygeometry").stdout.split())

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def run(self, *cmd, check=True, text=True):
        return run([str(a) for a in cmd], check=check, text=text, timeout=15, env=self.env)

    def xdotool(self, *args, check=True):
        return self.run("xdotool", *args, check=check)

    def find_windows(self, title):
        """X ids of the visible top-level windows titled exactly title."""
        result = self.xdotool("search", "--onlyvisible", "--name", f"^{re.escape(title)}$",
                              check=False)
        return [int(line) for line in result.stdout.split()]

    def focused(self, title):
        """The window titled title that has the keyboard focus, or None."""
        focus = self.xdotool("getwindowfocus", check=False).stdout.strip()
        return next((w for w in self.find_windows(title) if str(w) == focus), None)

    def geometry(self, window):
        """(x, y, width, height) of a top-level window, frame included."""
        out = self.xdotool("getwindowgeometry", window).stdout
        pos = re.search(r"Position: (-?\d+),(-?\d+)", out)
        size = re.search(r"Geometry: (\d+)x(\d+)", out)
        return (int(pos[1]), int(pos[2]), int(size[1]), int(size[2]))

    def click(self, x, y, repeat=1):
        """Left click at screen (x, y); repeat=2 is a double click."""
        args = ["mousemove", x, y, "click"]
        if repeat > 1:
            args += ["--repeat", repeat, "--delay", 80]
        self.xdotool(*(args + [1]))

    def capture(self, window, path):
        """Saves a window (an X id, or 'root' for the screen) as an image, with
        the pointer parked in the far corner."""
        self.xdotool("mousemove", self.width - 1, self.height - 1)
        self.run("import", "-window", window, path)

    def clipboard(self):
        """The clipboard text as X clients paste it (UTF-8), or None."""
        result = self.run("xclip", "-o", "-selection", "clipboard", check=False, text=False)
        return result.stdout.decode("utf-8") if result.returncode == 0 else None

    def own_clipboard(self, text):
        """Puts text on the clipboard; returns the xclip process that holds it."""
        proc = subprocess.Popen(["xclip", "-quiet", "-i", "-selection", "clipboard"],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=self.env)
        proc.stdin.write(text.encode())
        proc.stdin.close()
        return proc


def pixels(path, box):
    """RGB bytes of box (x, y, w, h, image coordinates) in a saved capture."""
    x, y, w, h = box
    return run(["convert", str(path), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "rgb:-"],
               text=False).stdout
