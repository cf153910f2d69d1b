"""The program under test: one `Session` per run owns the display and the
prefix templates; each scenario gets from `Session.scenario(...)` a prefix of
its own with the program installed, a context manager that always cleans up
(screenshot, wineserver -k, prefix removal), even when the scenario fails.
See README.md beside this file for the API."""

import contextlib
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from common import ROOT, E2EError, log, poll
from display import Display
from platforms import BY_NAME, this_machine
from prefixes import Prefix, Templates, set_reg_values
import spy

TITLE = "Quorvanta KQ-6200 Ports"
APP_EXE = "kq6200ports.exe"
CONSOLE_EXE = "kqports.exe"
SIM_DLL = "cfgmgr32.dll"
TREE_NAME = "cfgmgr32.devtree"   # the simulated cfgmgr32.dll reads this beside itself
APP_DIR_WIN = "C:\\app"

# Driver-store folders that make the start-up driver check find every driver.
ALL_DRIVERS = (
    "ftdibus.inf_x86_4f1c2a7b9d3e5c60",
    "ftdiport.inf_x86_8a2d6e4f1b3c7d95",
    "kq_6200_winkey.inf_x86_2c5e8a1d4f7b3e06",
    "kq_6200_fsk.inf_x86_6d9b3f2a5c8e1a47",
)

WIDE = r'L"(?:[^"\\]|\\.)*"'     # a string as Wine's traces print it
LAUNCH = re.compile(rf"trace:exec:SHELL_execute mask=\S+ hwnd=\S+ verb=({WIDE}|\(null\)) "
                    rf"file=({WIDE}) parm=({WIDE}|\(null\)) dir=({WIDE}|\(null\))")
RESOLVED = re.compile(rf"trace:exec:SHELL_ExecuteW Execute ({WIDE}) from directory ({WIDE})")


def decode_wine_string(text):
    """Decodes Wine's debugstr_w rendering L"..." (escapes \\\\ \\" \\n \\r \\t
    \\xxxx); (null) is None."""
    if text == "(null)":
        return None
    match = re.match(r'L"((?:[^"\\]|\\.)*)"', text)
    if not match:
        raise ValueError(f"not a Wine debug string: {text[:60]}")
    named = {"n": "\n", "r": "\r", "t": "\t"}
    return re.sub(r"\\([0-9a-fA-F]{4}|.)", lambda m: chr(int(m[1], 16)) if len(m[1]) == 4
                  else named.get(m[1], m[1]), match[1])


def listed_programs():
    """e2e/programs.txt: {file: (target, "app" or "scenario")}."""
    programs = {}
    for line in (ROOT / "e2e" / "programs.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, target, where = line.split()
            programs[name] = (target, where)
    return programs


PROGRAMS = listed_programs()
APP_PROGRAMS = [name for name, (_, where) in PROGRAMS.items() if where == "app"]


# The Windows build of each processor's programs.
PRESETS = {"x86": "windows", "x64": "windows-x64"}


def built(build_dir, name, preset):
    """bin/<name> of a build of the preset, which must be there."""
    path = build_dir / "bin" / name
    if not path.is_file():
        raise E2EError(f"{path} is missing: build the {preset} preset first "
                       f"(cmake --preset {preset} && cmake --build --preset {preset})")
    return path


class Session:
    """One e2e run: the display, the prefix templates and the build to test.

    build_dirs: the Windows builds of the x86 and the x64 programs, by
    processor (default build/windows and build/windows-x64). display: None
    to start an Xvfb of its own, or the name of a running X display to use
    (the demo uses the user's). native_dir: the host build whose tools the
    console scenarios compare with (build/native). The machine (platforms.py)
    decides the platform of a scenario that names none.
    """

    def __init__(self, build_dirs=None, out_dir=None, keep=False, display=None, native_dir=None):
        self.build_dirs = {program: Path((build_dirs or {}).get(program) or
                                         ROOT / "build" / PRESETS[program]).resolve()
                           for program in PRESETS}
        self.machine = this_machine()
        self.native_dir = Path(native_dir or ROOT / "build" / "native").resolve()
        self.out_dir = Path(out_dir or ROOT / "build" / "e2e").resolve()
        self.out_dir.mkdir(parents=True, exist_ok=True)
        self.work_dir = Path(tempfile.mkdtemp(prefix="run-", dir=self.out_dir))
        self.keep = keep
        self.templates = Templates(self.out_dir / "prefixes")
        self.display = None
        self._display_name = display
        self.current_test = "scenario"
        self._names = {}
        self._open = []

    def start(self):
        """Opens the display. From now on SIGTERM/SIGINT still run the clean-up
        of every open scenario and of the display."""
        def on_signal(signum, _frame):
            self.close()
            raise SystemExit(128 + signum)
        signal.signal(signal.SIGTERM, on_signal)
        signal.signal(signal.SIGINT, on_signal)
        self.display = Display(self._display_name)
        return self

    def close(self):
        for scenario in list(self._open):
            scenario.close()
        if self.display:
            self.display.close()
            self.display = None
        if not self.keep:
            shutil.rmtree(self.work_dir, ignore_errors=True)

    def build_dir(self, program=None):
        """The Windows build of program ("x86" or "x64"; by default the
        program of the default platform)."""
        return self.build_dirs[program or self.machine.default.program]

    def binary(self, name, program=None):
        """A program of a Windows build (program as for build_dir); only those
        of e2e/programs.txt, the list the demo's build and the harness share."""
        if name not in PROGRAMS:
            raise E2EError(f"{name} is not in e2e/programs.txt")
        program = program or self.machine.default.program
        return built(self.build_dirs[program], name, PRESETS[program])

    def host_tool(self, name):
        """A program of the host build (kqreport), to compare with under Wine."""
        return built(self.native_dir, name, "native")

    def scenario(self, suffix="", **kwargs):
        """A fresh prefix for one scenario: see Scenario for the arguments."""
        name = self.current_test + (f"-{suffix}" if suffix else "")
        count = self._names.get(name, 0)
        self._names[name] = count + 1
        if count:
            name += f"-{count + 1}"
        return Scenario(self, name, **kwargs)


class Scenario(Prefix):
    """A prefix copy with the application folder, the program and its outputs.

    platform: a platforms.Platform or its name ('x86-win32', 'x86-win64',
    'x64-win64'): which build's programs, in which prefix; by default the
    machine's (x86-win32, or x64-win64 where 32-bit code cannot run);
    winver: a Wine Windows version name (winxp ... win10, winxp64 on win64);
    tree: .devtree text, or a Path to one; drivers:
    True (all four driver-store folders), False (none) or an iterable of folder
    names to create in the driver store; store: the system folders whose
    driver store gets them ("system32", "syswow64"; default every one the
    prefix has); app: False for a bare prefix without C:\\app (to run other
    programs with `wine`); simulation: "system" (the simulated cfgmgr32.dll in
    the system folder) or "beside" (planted beside the programs only).
    """

    def __init__(self, session, name, platform=None, winver="win10", tree="", drivers=True,
                 store=None, app=True, simulation="system"):
        platform = BY_NAME[platform] if isinstance(platform, str) else platform
        self.platform = platform or session.machine.default
        if self.platform not in session.machine.platforms:
            raise E2EError(f"this machine cannot run {self.platform.name}: "
                           f"{session.machine.why_not}")
        arch = self.platform.arch
        self.program = self.platform.program
        self.build_dir = session.build_dir(self.program)
        self.session, self.name = session, name
        self.log_path = session.out_dir / f"{name}.log"
        self.proc = self.window = self._log_file = self._sentinel = None
        self._closed = False
        super().__init__(session.work_dir / name, session.templates.get(arch, session.display),
                         arch, session.display, session.keep)
        session._open.append(self)
        self.app_dir = self.drive_c / "app"
        self.spy = spy.Spy(self, f"{APP_DIR_WIN}\\{spy.EXE}", TITLE)
        if app:
            self._install_app(tree, simulation)
        self.add_driver_store(ALL_DRIVERS if drivers is True else (drivers or ()), store)
        self.set_windows_version(winver)

    def _install_app(self, tree, simulation):
        self.app_dir.mkdir()
        self.cwd = self.app_dir
        for name in APP_PROGRAMS:
            shutil.copy2(self.binary(name), self.app_dir / name)
        self.set_tree(tree)
        # The simulated configuration manager replaces Wine's for the two
        # programs only (a global override would reach Wine's own services).
        # The programs load it from the system folder only, as a test system's
        # own; "beside" plants it in the program's folder instead, where they
        # must not take it.
        self.place_simulation(self.app_dir if simulation == "beside" else None)
        # Planted beside them, a native DLL must be found where the programs
        # look, or Wine's own is taken (on Windows no such setting exists).
        order = "native,builtin" if simulation == "beside" else "native"
        for exe in (APP_EXE, CONSOLE_EXE):
            set_reg_values(self.path / "user.reg",
                           rf"Software\Wine\AppDefaults\{exe}\DllOverrides", {"cfgmgr32": order})

    def binary(self, name):
        """A program of this scenario's build (session.binary)."""
        return self.session.binary(name, self.program)

    def place_simulation(self, folder=None):
        """Puts the simulated cfgmgr32.dll of the program's processor into
        folder, by default the system folder the program sees (system32, or
        syswow64 for an x86 program in a 64-bit prefix), and has it read
        C:\\app's tree file wherever it lies."""
        folder = folder or self.drive_c / "windows" / self.platform.system_folder()
        # The prefix is a hard-linked copy of its template: replace the file,
        # never write into it.
        (folder / SIM_DLL).unlink(missing_ok=True)
        shutil.copy2(self.binary(SIM_DLL), folder / SIM_DLL)
        set_reg_values(self.path / "user.reg", r"Environment",
                       {"KQSIM_DEVTREE": f"{APP_DIR_WIN}\\{TREE_NAME}"})

    def set_tree(self, tree):
        """Replaces the device tree atomically (write, then rename), so the
        simulated cfgmgr32 never reads a half-written file."""
        text = Path(tree).read_text(encoding="utf-8") if isinstance(tree, Path) else tree
        staging = self.app_dir / (TREE_NAME + ".new")
        staging.write_text(text, encoding="utf-8")
        os.replace(staging, self.app_dir / TREE_NAME)

    def start(self, exe=APP_EXE):
        """Starts the program from C:\\app with +msgbox and +exec traced to the log."""
        self._log_file = open(self.log_path, "wb")
        self.started_at = time.monotonic()
        self.proc = self.spawn([f"{APP_DIR_WIN}\\{exe}"], debug="-all,+msgbox,+exec",
                               stdout=self._log_file, stderr=subprocess.STDOUT)
        log(f"{self.name}: started pid {self.proc.pid}")
        return self

    def _check_running(self, what):
        if self.proc and self.proc.poll() is not None:
            raise E2EError(f"program exited with code {self.proc.returncode} while waiting for "
                           f"{what}; messages: {self.messages()}")

    def wait_window(self, title=TITLE, timeout=25):
        """Waits until the top-level window is mapped and has the keyboard focus
        (keys sent earlier are lost); returns its X id."""
        def found():
            self._check_running(f"window {title!r}")
            windows = self.display.find_windows(title)
            return windows[0] if windows else None
        window = poll(f"window {title!r}", found, timeout)
        self.shown_at = time.monotonic()
        with contextlib.suppress(E2EError):
            poll("focus", lambda: self.display.focused(title) == window, 3, 0.02)
        if title == TITLE:
            self.window = window
        log(f"{self.name}: window {title!r} after {self.shown_at - self.started_at:.2f} s")
        return window

    def wait_exit(self, timeout=10):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise E2EError(f"program still running {timeout} s later") from None

    def click_row(self, index, repeat=1):
        self.display.click(*self.spy.row_point(index), repeat=repeat)

    def double_click_row(self, index):
        self.click_row(index, repeat=2)

    def click_button(self, text):
        left, top, right, bottom = self.spy.control(text)["rect"]
        self.display.click((left + right) // 2, (top + bottom) // 2)

    def copy_to_clipboard(self, timeout=3.0):
        """Clicks "Copy" and returns the clipboard text as X clients read it
        (UTF-8). A sentinel owned by xclip beforehand tells a stale clipboard
        from a fresh one."""
        sentinel = f"kq-e2e-sentinel-{time.monotonic_ns()}"
        self._sentinel = self.display.own_clipboard(sentinel)
        poll("sentinel on the clipboard", lambda: self.display.clipboard() == sentinel, 3)
        self.click_button("Copy")
        text = poll("clipboard text from the program",
                    lambda: (lambda t: t if t not in (None, sentinel) else None)(
                        self.display.clipboard()), timeout)
        self._stop_sentinel()
        return text

    def _stop_sentinel(self):
        if self._sentinel and self._sentinel.poll() is None:
            self._sentinel.terminate()
            self._sentinel.wait(5)
        self._sentinel = None

    def wait_msgbox(self, caption, timeout=15):
        """A message box by its caption, once it has the keyboard focus: Wine
        may replace a new box's X window right after mapping it, so only a
        focused one is taken. Returns its X id. Looked for every 0.05 s, after
        the first 5 s every 0.25 s: two X queries each, over the two-minute
        waits of the installation."""
        started = time.monotonic()

        def focused():
            self._check_running(f"message box {caption!r}")
            window = self.display.focused(caption)
            if window:
                return window
            # A box that opens as another closes can stay without the X
            # focus, Wine drawing it active all the same: after 2 s a box
            # that is there alone is given the focus, as a click would.
            shown = self.display.find_windows(caption)
            if len(shown) == 1 and time.monotonic() - started > 2.0:
                self.display.xdotool("windowfocus", shown[0], check=False)
            return None
        return poll(f"message box {caption!r}", focused, timeout, slower_after=5.0)

    def answer_msgbox(self, caption, key, timeout=15, screenshot=None):
        """Answers a message box with a key typed into the focused window ('y',
        'n', 'Return'; Escape would answer IDCANCEL even for Yes/No boxes under
        Wine); types again if the box is still there, as a key sent while Wine
        replaces the window is lost. screenshot: a suffix to capture the box."""
        deadline = time.monotonic() + timeout
        while True:
            window = self.wait_msgbox(caption, max(1.0, deadline - time.monotonic()))
            if screenshot:
                self.screenshot(screenshot, window, evidence_only=True)
                screenshot = None
            self.display.xdotool("key", key, check=False)
            try:
                poll(f"message box {caption!r} to close",
                     lambda: window not in self.display.find_windows(caption), 2)
                return
            except E2EError:
                if time.monotonic() > deadline:
                    raise

    def log_text(self):
        if self._log_file:
            self._log_file.flush()
        return self.log_path.read_bytes().decode("utf-8", errors="replace") \
            if self.log_path.exists() else ""

    def messages(self):
        """Texts of the message boxes shown so far (Wine's +msgbox trace)."""
        return [decode_wine_string(m) for m in
                re.findall(r"trace:msgbox:MSGBOX_OnInit (L\".*)", self.log_text())]

    def launches(self):
        """ShellExecute calls so far (Wine's +exec trace), each a dict with verb,
        file, params, dir as the program passed them and command/directory as
        Wine resolved them."""
        text = self.log_text()
        calls = [dict(zip(("verb", "file", "params", "dir"), map(decode_wine_string, m)))
                 for m in LAUNCH.findall(text)]
        for call, (command, directory) in zip(calls, RESOLVED.findall(text)):
            call["command"] = decode_wine_string(command)
            call["directory"] = decode_wine_string(directory)
        return calls

    def screenshot(self, suffix="", window=None, evidence_only=False):
        """Saves the window (the main window by default) as
        <out>/<scenario>[-suffix].png and returns the path. evidence_only: a
        failed capture (Wine may be replacing the window) is tried again twice,
        then given up with None instead of failing the scenario."""
        window = window or self.window
        if not window:
            return None
        path = self.session.out_dir / (self.name + (f"-{suffix}" if suffix else "") + ".png")
        for _ in range(3 if evidence_only else 1):
            try:
                self.display.capture(window, path)
                return path
            except E2EError:
                if not evidence_only:
                    raise
                time.sleep(0.2)
        return None

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
                    self.display.capture("root", self.session.out_dir / f"{self.name}-screen.png")
        finally:
            super().close()
            if self._log_file:
                self._log_file.close()
            if self in self.session._open:
                self.session._open.remove(self)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close(failed=exc_type is not None)
