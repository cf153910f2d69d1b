"""Drives the real Windows executable under Wine inside Xvfb.

One `Session` per run owns the X server and the two prefix templates; each
scenario gets its own throw-away prefix from `Session.scenario(...)`, a context
manager that always cleans up (screenshot, wineserver -k, prefix removal), even
when the scenario fails. See README.md beside this file for the API.

Standard library only. Every wait is a bounded poll; nothing sleeps blindly
except where the program's own timers are what is being measured.
"""

import contextlib
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TITLE = "Quorvanta KQ-6200 Ports"
APP_EXE = "kq6200ports.exe"
SPY_EXE = "kq_winspy.exe"
OSLEVEL_EXE = "kq_oslevel_probe.exe"
SIM_DLL = "cfgmgr32.dll"
TREE_NAME = "cfgmgr32.devtree"   # the simulated cfgmgr32.dll reads this beside itself
APP_DIR_WIN = "C:\\app"

# Bump when the template recipe below changes, so cached templates are rebuilt.
TEMPLATE_RECIPE = 3

# Driver-store folders that make the start-up driver check find every driver.
ALL_DRIVERS = (
    "ftdibus.inf_x86_4f1c2a7b9d3e5c60",
    "ftdiport.inf_x86_8a2d6e4f1b3c7d95",
    "kq_6200_winkey.inf_x86_2c5e8a1d4f7b3e06",
    "kq_6200_fsk.inf_x86_6d9b3f2a5c8e1a47",
)

WINDOWS_VERSIONS = ("winxp", "win2003", "vista", "win2008", "win7", "win2008r2", "win8",
                    "win81", "win10")
# A 64-bit prefix has no 32-bit XP; it offers XP x64 (5.2) instead.
WINDOWS_VERSIONS_64 = ("winxp64",) + WINDOWS_VERSIONS[1:]


class E2EError(AssertionError):
    """A check failed or the program did not do what was expected."""


def log(message):
    if os.environ.get("KQ_E2E_VERBOSE"):
        print(f"    [{time.strftime('%H:%M:%S')}] {message}", flush=True)


def run(cmd, timeout=60, check=True, text=True, **kwargs):
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=text,
                            timeout=timeout, **kwargs)
    if check and result.returncode != 0:
        stderr = result.stderr if text else result.stderr.decode("utf-8", "replace")
        raise E2EError(f"{cmd[0]} failed ({result.returncode}): {stderr.strip()[:500]}")
    return result


def poll(what, predicate, timeout, interval=0.05):
    """Calls predicate until it returns something truthy; raises after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise E2EError(f"timed out after {timeout:.1f} s waiting for {what}")
        time.sleep(interval)


def decode_wine_string(text):
    """Decodes Wine's debugstr_w rendering L"..." (escapes \\\\ \\" \\n \\r \\t \\xxxx)."""
    match = re.match(r'L"((?:[^"\\]|\\.)*)"', text)
    if not match:
        raise ValueError(f"not a Wine debug string: {text[:60]}")
    body, out, i = match.group(1), [], 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        nxt = body[i + 1]
        if nxt in "\\\"":
            out.append(nxt)
            i += 2
        elif nxt in "nrt":
            out.append({"n": "\n", "r": "\r", "t": "\t"}[nxt])
            i += 2
        else:
            out.append(chr(int(body[i + 1:i + 5], 16)))
            i += 5
    return "".join(out)


def set_reg_values(reg_file, key, values):
    """Sets values of one key in a Wine .reg file while Wine is not running.

    `values` maps a value name to a str (REG_SZ) or an int (REG_DWORD). The key's
    section is created when missing; existing values of the same name are replaced.
    """
    def render(name, value):
        if isinstance(value, int):
            return f'"{name}"=dword:{value:08x}'
        escaped = value.replace("\\", "\\\\").replace('"', '\\"')
        return f'"{name}"="{escaped}"'

    reg_key = key.replace("\\", "\\\\")
    lines = Path(reg_file).read_text(encoding="utf-8", errors="surrogateescape").split("\n")
    header = re.compile(r"^\[" + re.escape(reg_key) + r"\](\s+\d+)?$", re.IGNORECASE)
    start = next((i for i, line in enumerate(lines) if header.match(line)), None)
    if start is None:
        lines += ["", f"[{reg_key}] {int(time.time())}"]
        start = len(lines) - 1
    end = start + 1
    while end < len(lines) and not lines[end].startswith("["):
        end += 1
    names = {f'"{name}"=': name for name in values}
    section = [line for line in lines[start + 1:end]
               if not any(line.startswith(prefix) for prefix in names)]
    while section and section[-1] == "":
        section.pop()
    section += [render(name, value) for name, value in values.items()] + [""]
    lines[start + 1:end] = section
    Path(reg_file).write_text("\n".join(lines), encoding="utf-8", errors="surrogateescape")


class Display:
    """An Xvfb server of its own. -noreset: without it Xvfb resets whenever its
    last client leaves, and Wine's next connection can fail."""

    def __init__(self, width=1280, height=1024):
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
        self.name = f":{number}"
        self.width, self.height = width, height
        log(f"Xvfb {self.name} pid {self.proc.pid}")

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class ExistingDisplay:
    """A display that someone else runs (the user's): used, never stopped."""

    def __init__(self, name):
        self.name = name
        env = dict(os.environ, DISPLAY=name)
        size = run(["xdotool", "getdisplaygeometry"], env=env, timeout=10).stdout.split()
        self.width, self.height = int(size[0]), int(size[1])

    def close(self):
        pass


class Session:
    """One e2e run: the display, the prefix templates and the build to test.

    display: None to start an Xvfb of its own, or the name of a running X
    display to use (the demo uses the user's).
    """

    def __init__(self, build_dir=None, out_dir=None, keep=False, display=None):
        self.build_dir = Path(build_dir or ROOT / "build" / "windows").resolve()
        self.bin_dir = self.build_dir / "bin"
        self.out_dir = Path(out_dir or ROOT / "build" / "e2e").resolve()
        self.out_dir.mkdir(parents=True, exist_ok=True)
        self.work_dir = Path(tempfile.mkdtemp(prefix="run-", dir=self.out_dir))
        self.keep = keep
        self.wine_version = run(["wine", "--version"]).stdout.strip()
        slug = re.sub(r"[^A-Za-z0-9.]+", "_", self.wine_version)
        self.cache_dir = self.out_dir / "prefixes" / f"{slug}-r{TEMPLATE_RECIPE}"
        self.display = None
        self._display_name = display
        self.current_test = "scenario"
        self._names = {}
        self._open = []

    def start(self):
        self.display = ExistingDisplay(self._display_name) if self._display_name else Display()
        return self

    def close(self):
        for scenario in list(self._open):
            scenario.close()
        if self.display:
            self.display.close()
            self.display = None
        if not self.keep:
            shutil.rmtree(self.work_dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    # Environment for every Wine process of a prefix. Each scenario has its own
    # prefix and therefore its own wineserver.
    def wine_env(self, prefix, debug="-all"):
        env = dict(os.environ)
        env.update({"WINEPREFIX": str(prefix), "DISPLAY": self.display.name, "WINEDEBUG": debug,
                    "WINEDLLOVERRIDES": "mscoree=;mshtml=;winemenubuilder.exe=d"})
        env.pop("WINEARCH", None)
        return env

    def binary(self, name):
        path = self.bin_dir / name
        if not path.is_file():
            raise E2EError(f"{path} is missing: build the windows preset first "
                           f"(cmake --preset windows && cmake --build --preset windows)")
        return path

    def template(self, arch):
        """The prefix template for arch ('win32' or 'win64'), built once per Wine
        version and recipe and kept under build/e2e/prefixes."""
        target = self.cache_dir / arch
        if (target / ".kq-template-ready").exists():
            return target
        self.cache_dir.mkdir(parents=True, exist_ok=True)
        with open(self.cache_dir / f".{arch}.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)   # another run may be building it
            if (target / ".kq-template-ready").exists():
                return target
            started = time.monotonic()
            staging = Path(tempfile.mkdtemp(prefix=f".{arch}-", dir=self.cache_dir))
            try:
                env = self.wine_env(staging)
                env["WINEARCH"] = arch
                run(["wineboot", "-i"], env=env, timeout=240)
                run(["wineserver", "-w"], env=env, timeout=120)
                # Wine draws the frame and manages focus itself: without it every
                # close costs 2 s and focus stays on the root window. A crash
                # exits with code 5 instead of blocking on winedbg's dialog.
                set_reg_values(staging / "user.reg", r"Software\Wine\X11 Driver", {"Managed": "N"})
                set_reg_values(staging / "user.reg", r"Software\Wine\WineDbg",
                               {"ShowCrashDialog": 0})
                (staging / ".kq-template-ready").write_text(self.wine_version + "\n")
                shutil.rmtree(target, ignore_errors=True)
                staging.rename(target)
            except BaseException:
                run(["wineserver", "-k"], env=self.wine_env(staging), check=False, timeout=30)
                shutil.rmtree(staging, ignore_errors=True)
                raise
            log(f"template {arch} built in {time.monotonic() - started:.1f} s")
        return target

    def scenario(self, suffix="", **kwargs):
        """A fresh prefix for one scenario: see Scenario for the arguments."""
        name = self.current_test + (f"-{suffix}" if suffix else "")
        count = self._names.get(name, 0)
        self._names[name] = count + 1
        if count:
            name += f"-{count + 1}"
        return Scenario(self, name, **kwargs)


class Scenario:
    """A prefix copy with the application folder, the program and its outputs.

    arch: 'win32' or 'win64'; winver: a Wine Windows version name (winxp ...
    win10, winxp64 on win64); tree: .devtree text, or a Path to one; drivers:
    True (all four driver-store folders), False (none) or an iterable of folder
    names to create in the driver store; app: False for a bare prefix without
    C:\app (to run other programs with `wine`).
    """

    def __init__(self, session, name, arch="win32", winver="win10", tree="", drivers=True,
                 app=True):
        if arch not in ("win32", "win64"):
            raise ValueError(arch)
        self.session, self.name, self.arch, self.winver = session, name, arch, winver
        self.prefix = session.work_dir / name
        self.drive_c = self.prefix / "drive_c"
        self.app_dir = self.drive_c / "app"
        self.log_path = session.out_dir / f"{name}.log"
        self.proc = None
        self.window = None
        self._log_file = None
        self._sentinel = None
        self._closed = False
        session._open.append(self)
        self._make_prefix(session.template(arch))
        if app:
            self._install_app(tree)
        self._driver_store(ALL_DRIVERS if drivers is True else (drivers or ()))
        started = time.monotonic()
        self.set_windows_version(winver)
        log(f"{self.name}: {arch}/{winver} set in {time.monotonic() - started:.2f} s")

    # ----- set-up -----------------------------------------------------------------

    def _make_prefix(self, template):
        started = time.monotonic()
        run(["cp", "-al", str(template), str(self.prefix)])
        # wineserver rewrites .reg files in place: through the hard link it would
        # rewrite the template's.
        for reg in template.glob("*.reg"):
            (self.prefix / reg.name).unlink()
            shutil.copy2(reg, self.prefix / reg.name)
        user_reg = self.prefix / "user.reg"
        # The simulated configuration manager beside the program replaces Wine's,
        # for this program only (a global override would reach Wine's own services).
        set_reg_values(user_reg, rf"Software\Wine\AppDefaults\{APP_EXE}\DllOverrides",
                       {"cfgmgr32": "native"})
        log(f"{self.name}: prefix {self.arch} in {(time.monotonic() - started) * 1000:.0f} ms")

    def _install_app(self, tree):
        self.app_dir.mkdir()
        for name in (APP_EXE, SIM_DLL, SPY_EXE):
            shutil.copy2(self.session.binary(name), self.app_dir / name)
        self.set_tree(tree)

    def _driver_store(self, folders):
        # A 32-bit process in a 64-bit prefix sees system32\DriverStore through
        # WOW64 redirection in syswow64; place the fixtures on both sides.
        systems = ["system32"] + (["syswow64"] if self.arch == "win64" else [])
        for system in systems:
            repository = self.drive_c / "windows" / system / "DriverStore" / "FileRepository"
            repository.mkdir(parents=True, exist_ok=True)
            for folder in folders:
                (repository / folder).mkdir(exist_ok=True)

    def set_tree(self, tree):
        """Replaces the device tree atomically (write, then rename), so the
        simulated cfgmgr32 never reads a half-written file."""
        text = Path(tree).read_text(encoding="utf-8") if isinstance(tree, Path) else tree
        target = self.app_dir / TREE_NAME
        staging = self.app_dir / (TREE_NAME + ".new")
        staging.write_text(text, encoding="utf-8")
        os.replace(staging, target)

    # ----- the program --------------------------------------------------------------

    def env(self, debug="-all"):
        return self.session.wine_env(self.prefix, debug)

    def start(self, exe=APP_EXE):
        """Starts the program from C:\\app with +msgbox and +exec traced to the log."""
        self._log_file = open(self.log_path, "wb")
        self.started_at = time.monotonic()
        self.proc = subprocess.Popen(
            ["wine", f"{APP_DIR_WIN}\\{exe}"], cwd=self.app_dir,
            env=self.env("-all,+msgbox,+exec"), stdin=subprocess.DEVNULL,
            stdout=self._log_file, stderr=subprocess.STDOUT)
        log(f"{self.name}: started pid {self.proc.pid}")
        return self

    def wine(self, args, timeout=30, cwd=None, debug="-all"):
        """Runs another Windows program in this prefix and returns its result.

        Output goes through files, not pipes: a wine process that has to start
        the prefix's services hands them its standard handles, and a pipe would
        then stay open until they exit, seconds after the program itself.
        """
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(
                ["wine"] + [str(a) for a in args], env=self.env(debug), timeout=timeout,
                stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                cwd=cwd or (self.app_dir if self.app_dir.exists() else self.drive_c))
            out.seek(0)
            err.seek(0)
            result.stdout = out.read().decode("utf-8", errors="replace")
            result.stderr = err.read().decode("utf-8", errors="replace")
        return result

    def set_windows_version(self, version):
        """winecfg /v: sets the version keys of the registry as Windows has them.
        (Wine 8's per-prefix "Version" value swaps win7 and win2008r2.) Also
        starts the prefix's wineserver and services, which the program then
        reuses."""
        result = self.wine(["winecfg", "/v", version], timeout=90)
        if result.returncode != 0:
            raise E2EError(f"winecfg /v {version} failed: {result.stderr[-300:]}")
        self.winver = version

    def xdotool(self, *args, check=True):
        return run(["xdotool"] + [str(a) for a in args], check=check, timeout=15,
                   env=dict(os.environ, DISPLAY=self.session.display.name))

    def find_windows(self, title):
        result = self.xdotool("search", "--onlyvisible", "--name", f"^{re.escape(title)}$",
                              check=False)
        return [int(line) for line in result.stdout.split()]

    def wait_window(self, title=TITLE, timeout=25):
        """Waits until the top-level window is mapped and has the keyboard focus
        (keys sent earlier are lost); returns its X id."""
        def found():
            self._check_running(f"window {title!r}")
            windows = self.find_windows(title)
            return windows[0] if windows else None
        window = poll(f"window {title!r}", found, timeout)
        self.shown_at = time.monotonic()
        with contextlib.suppress(E2EError):
            poll("focus", lambda: self.xdotool("getwindowfocus", check=False).stdout.strip()
                 == str(window), 3, 0.02)
        if title == TITLE:
            self.window = window
        log(f"{self.name}: window {title!r} after {self.shown_at - self.started_at:.2f} s")
        return window

    def _check_running(self, what):
        if self.proc and self.proc.poll() is not None:
            raise E2EError(f"program exited with code {self.proc.returncode} while waiting for "
                           f"{what}; messages: {self.messages()}")

    def wait_exit(self, timeout=10):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise E2EError(f"program still running {timeout} s later") from None

    def geometry(self, window=None):
        out = self.xdotool("getwindowgeometry", window or self.window).stdout
        pos = re.search(r"Position: (-?\d+),(-?\d+)", out)
        size = re.search(r"Geometry: (\d+)x(\d+)", out)
        return (int(pos[1]), int(pos[2]), int(size[1]), int(size[2]))

    # ----- reading the window from inside the Wine session ----------------------------

    def spy(self, *args, title=TITLE):
        result = self.wine([f"{APP_DIR_WIN}\\{SPY_EXE}", args[0], title] + [str(a) for a in args[1:]])
        if result.returncode == 2:
            raise E2EError(f"no window titled {title!r}")
        if result.returncode != 0:
            raise E2EError(f"kq_winspy {args[0]} failed ({result.returncode}): {result.stderr[-300:]}")
        return json.loads(result.stdout.strip().splitlines()[-1])

    def state(self):
        """Window, children and list box as the spy sees them (see winspy.cpp)."""
        return self.spy("state")

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

    def watch(self, milliseconds):
        """Starts `kq_winspy watch`: returns the process; read it with watch_events."""
        return subprocess.Popen(
            ["wine", f"{APP_DIR_WIN}\\{SPY_EXE}", "watch", TITLE, str(milliseconds)],
            cwd=self.app_dir, env=self.env(), stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, text=True)

    @staticmethod
    def watch_events(proc, timeout):
        out, _ = proc.communicate(timeout=timeout)
        return [json.loads(line) for line in out.splitlines() if line.startswith("{")]

    def clipboard_native(self):
        """The clipboard's CF_UNICODETEXT as a Windows program reads it, and the
        size of its global block in bytes."""
        result = self.wine([f"{APP_DIR_WIN}\\{SPY_EXE}", "clipboard"])
        if result.returncode != 0:
            raise E2EError(f"kq_winspy clipboard failed ({result.returncode})")
        return json.loads(result.stdout.strip().splitlines()[-1])

    # ----- input --------------------------------------------------------------------

    def click(self, x, y, repeat=1):
        args = ["mousemove", x, y, "click"]
        if repeat > 1:
            args += ["--repeat", repeat, "--delay", 80]
        self.xdotool(*(args + [1]))

    def row_point(self, index, state=None):
        state = state or self.state()
        box = state["list"]
        left, top = box["client"][0], box["client"][1]
        height = box["itemHeight"]
        return left + 40, top + (index - box["top"]) * height + height // 2

    def click_row(self, index):
        x, y = self.row_point(index)
        self.click(x, y)
        return time.monotonic()

    def double_click_row(self, index):
        x, y = self.row_point(index)
        self.click(x, y, repeat=2)
        return time.monotonic()

    def control(self, text, state=None):
        state = state or self.state()
        for child in state["children"]:
            if child["text"] == text:
                return child
        raise E2EError(f"no control with text {text!r}")

    def click_button(self, text):
        left, top, right, bottom = self.control(text)["rect"]
        self.click((left + right) // 2, (top + bottom) // 2)

    def park_pointer(self):
        self.xdotool("mousemove", self.session.display.width - 1, self.session.display.height - 1)

    # ----- clipboard ----------------------------------------------------------------

    def copy_to_clipboard(self, timeout=3.0):
        """Clicks "Copy" and returns the clipboard text as X clients read it
        (UTF-8). A sentinel owned by xclip beforehand tells a stale clipboard
        from a fresh one."""
        env = dict(os.environ, DISPLAY=self.session.display.name)
        sentinel = f"kq-e2e-sentinel-{time.monotonic_ns()}"
        self._sentinel = subprocess.Popen(["xclip", "-quiet", "-i", "-selection", "clipboard"],
                                          stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL, env=env)
        self._sentinel.stdin.write(sentinel.encode())
        self._sentinel.stdin.close()

        def read():
            result = run(["xclip", "-o", "-selection", "clipboard"], check=False, env=env,
                         timeout=5, text=False)
            return result.stdout.decode("utf-8") if result.returncode == 0 else None
        poll("sentinel on the clipboard", lambda: read() == sentinel, 3)
        self.click_button("Copy")
        text = poll("clipboard text from the program",
                    lambda: (lambda t: t if t not in (None, sentinel) else None)(read()), timeout)
        self._stop_sentinel()
        return text

    def _stop_sentinel(self):
        if self._sentinel and self._sentinel.poll() is None:
            self._sentinel.terminate()
            self._sentinel.wait(5)
        self._sentinel = None

    # ----- what the program did -----------------------------------------------------------

    def log_text(self):
        if self._log_file:
            self._log_file.flush()
        return self.log_path.read_bytes().decode("utf-8", errors="replace") \
            if self.log_path.exists() else ""

    def messages(self):
        """Texts of the message boxes shown so far (Wine's +msgbox trace)."""
        texts = []
        for match in re.finditer(r"trace:msgbox:MSGBOX_OnInit (L\".*)", self.log_text()):
            texts.append(decode_wine_string(match.group(1)))
        return texts

    def launches(self):
        """ShellExecute calls so far (Wine's +exec trace), each a dict with verb,
        file, params, dir as the program passed them and command/directory as
        Wine resolved them."""
        calls = []
        text = self.log_text()
        pattern = re.compile(r'trace:exec:SHELL_execute mask=\S+ hwnd=\S+ verb=(L"(?:[^"\\]|\\.)*"|'
                             r'\(null\)) file=(L"(?:[^"\\]|\\.)*") parm=(L"(?:[^"\\]|\\.)*"|\(null\))'
                             r' dir=(L"(?:[^"\\]|\\.)*"|\(null\))')
        for match in pattern.finditer(text):
            def value(group):
                return None if group == "(null)" else decode_wine_string(group)
            calls.append({"verb": value(match.group(1)), "file": value(match.group(2)),
                          "params": value(match.group(3)), "dir": value(match.group(4))})
        resolved = re.findall(r'trace:exec:SHELL_ExecuteW Execute (L"(?:[^"\\]|\\.)*") from '
                              r'directory (L"(?:[^"\\]|\\.)*")', text)
        for call, (command, directory) in zip(calls, resolved):
            call["command"] = decode_wine_string(command)
            call["directory"] = decode_wine_string(directory)
        return calls

    def wait_msgbox(self, caption, timeout=15):
        """Waits for a message box by its caption; returns its X id once focused."""
        return self.wait_window(caption, timeout)

    def answer_msgbox(self, caption, key, timeout=15):
        """Answers a message box: key 'y', 'n' or 'Return' (Escape would answer
        IDCANCEL even for Yes/No boxes under Wine)."""
        window = self.wait_msgbox(caption, timeout)
        self.screenshot(f"msgbox-{len(self.messages())}", window)
        self.xdotool("key", "--window", window, key)
        poll(f"message box {caption!r} to close", lambda: window not in self.find_windows(caption),
             5)

    # ----- evidence -------------------------------------------------------------------

    def screenshot(self, suffix="", window=None):
        """Saves the window (the main window by default) as
        build/e2e/<scenario>[-suffix].png and returns the path."""
        window = window or self.window
        if not window:
            return None
        name = self.name + (f"-{suffix}" if suffix else "") + ".png"
        path = self.session.out_dir / name
        self.park_pointer()
        run(["import", "-window", str(window), str(path)], timeout=15,
            env=dict(os.environ, DISPLAY=self.session.display.name))
        return path

    def pixels(self, path, box):
        """RGB bytes of box (x, y, w, h, window-relative) in a screenshot."""
        x, y, w, h = box
        return run(["convert", str(path), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "rgb:-"],
                   text=False).stdout

    # ----- clean-up -------------------------------------------------------------------

    def close(self, failed=False):
        if self._closed:
            return
        self._closed = True
        try:
            self._stop_sentinel()
            if self.proc and self.proc.poll() is None and self.window:
                with contextlib.suppress(Exception):
                    self.screenshot("at-failure" if failed else "")
            if failed and self.session.display:
                with contextlib.suppress(Exception):
                    run(["import", "-window", "root",
                         str(self.session.out_dir / f"{self.name}-screen.png")],
                        env=dict(os.environ, DISPLAY=self.session.display.name), timeout=15)
        finally:
            run(["wineserver", "-k"], env=self.env(), check=False, timeout=30)
            if self.proc and self.proc.poll() is None:
                self.proc.kill()
            if self.proc:
                with contextlib.suppress(subprocess.TimeoutExpired):
                    self.proc.wait(10)
            run(["wineserver", "-w"], env=self.env(), check=False, timeout=30)
            if self._log_file:
                self._log_file.close()
            if not self.session.keep:
                shutil.rmtree(self.prefix, ignore_errors=True)
            if self in self.session._open:
                self.session._open.remove(self)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close(failed=exc_type is not None)


# ----- for scenario files --------------------------------------------------------------

def expect(condition, message):
    if not condition:
        raise E2EError(message)


def expect_equal(actual, expected, what):
    if actual != expected:
        raise E2EError(f"{what}: expected {expected!r}, got {actual!r}")


def params(*cases):
    """Marks a test function as a table: run once per (id, kwargs) case."""
    def mark(function):
        function.e2e_params = cases
        return function
    return mark


TREES = Path(__file__).resolve().parent / "trees"


def tree(name):
    """Text of e2e/trees/<name>.devtree."""
    return (TREES / f"{name}.devtree").read_text(encoding="utf-8")


def install_signal_cleanup(session):
    """SIGTERM/SIGINT still run the clean-up of every open scenario and Xvfb."""
    def handler(signum, _frame):
        session.close()
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, handler)
    signal.signal(signal.SIGINT, handler)
