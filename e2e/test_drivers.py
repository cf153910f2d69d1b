"""The start-up driver gate of the real program under Wine: the driver-store
test, the FTDI and install questions, and the installation of the embedded
development package with its progress dialog, marker files and clean-up.

The package is written to the user's temporary folder and started elevated
("runas", which Wine runs as "open"); its self-extractor makes the run folder
in Windows' Temp folder, unpacks there and runs the install script for real
(Wine's cmd). The driver-store tool is the package's stand-in program placed
as System32\\pnputil.exe, which adds the store folder at once (or refuses, see
tests/standin/standin.cpp). Wine 8.0 has no timeout.exe, so the script's
waits cost nothing here."""

import ctypes
import os
import re
import select
import shutil
import struct
import threading
import time

import expected as X
from common import (E2EError, expect, expect_equal, expect_removed, listing, on_platforms, params,
                    poll, run, timing, tree)
from display import pixels
from scenario import ALL_DRIVERS, APP_EXE
from spy import Spy

FTDI_ONLY = ALL_DRIVERS[:2]
INSTALLER = "Drivers installer"
PROGRESS = "KQ-6200 driver installation"
INSTALL_FOLDER = "QuorvantaKQ6kInstall"

FTDI_QUESTION = ("Drivers for FTDI component of KQ-6200 not installed. Would you like to visit "
                 "ftdichip.com to download them now?")
RELAUNCH = "Please, install FTDI VCP drivers and then relaunch KQ-6200 Explorer."
OFFER = "Drivers for KQ-6200 not installed. Would you like to install them now?"
WITHOUT = "Without drivers KQ-6200 Explorer can not enumerate WinKey and FSK ports."
DISCONNECT = "Please disconnect your KQ-6200 from the USB port until installation is complete"
CANNOT_CREATE = "Error: Can't create drivers package on disk"
COMPLETED = ("Installation completed. Please connect your device to the USB port. Now your "
             "Windows will detect the devices. This may take a few minutes, please wait.")
VENDOR_PAGE = "https://ftdichip.com/drivers/vcp-drivers/"


def still_running(install_windows):
    return (f"The drivers installation is still running in {install_windows}; relaunch "
            "KQ-6200 Explorer when it has finished.")

# two-units.devtree after the user declined: the MCU section of each unit is
# one error line with code 8.
MCU_8 = "    MCU ErrorCode: 8"
DECLINED_ROWS = (X.UNIT_A_SPLIT[:3] + [MCU_8] + X.UNIT_A_SPLIT[5:]
                 + X.UNIT_B_SPLIT[:2] + [MCU_8] + X.UNIT_B_SPLIT[4:])

ALREADY_RUNNING = ("The drivers installation is already running; relaunch KQ-6200 Explorer when "
                   "it has finished.")
PACKAGE_TOP = {"certmgr.exe", "KQ_6200_WINKEY.inf", "KQ_6200_WINKEY.cat", "KQ_6200_WINKEY.cer",
               "KQ_6200_FSK.inf", "KQ_6200_FSK.cat", "KQ_6200_FSK.cer",
               "Quorvanta_KQ-6200_Reserved.inf", "Quorvanta_KQ-6200_Reserved.cat",
               "Quorvanta_KQ-6200_Reserved.cer", "serial_KQ6200.ico"}
# The two driver packages: x86 Windows takes the x86 one, 64-bit Windows the
# x64 one, whichever program installs it (platforms.Platform.package).
PACKAGES = {"x86": {"script": "install_KQ-6200x86.bat", "devcon": "devcon.exe", "sub": "x86"},
            "x64": {"script": "install_KQ-6200x64.bat", "devcon": "devcon64.exe", "sub": "amd64"}}
LIBC = ctypes.CDLL(None, use_errno=True)
IN_MOVED_FROM, IN_MOVED_TO, IN_CREATE, IN_DELETE, IN_DELETE_SELF = 0x40, 0x80, 0x100, 0x200, 0x400
IN_EVENTS = IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF
MARKERS = ["cert.inf", "wk.inf", "fsk.inf", "cp.inf", "timeToCleanUp.inf"]
REFUSED = "userDisagreeInstallation.inf"
WM_CLOSE, WM_COMMAND, WM_SYSCOMMAND = 0x0010, 0x0111, 0x0112
IDCANCEL, SC_CLOSE, HTCAPTION = 2, 0xF060, 2


# ----- helpers -------------------------------------------------------------------------

def temp_folder(sc):
    """The user's temporary folder as the program will see it."""
    result = sc.wine(["cmd", "/c", "echo %TEMP%"])
    return sc.unix_path(result.stdout.strip().splitlines()[-1])


def set_temp_variables(sc, windows_path):
    """The user's TEMP and TMP, as the program will read them."""
    for name in ("TEMP", "TMP"):
        result = sc.wine(["reg", "add", "HKCU\\Environment", "/v", name, "/t", "REG_SZ",
                          "/d", windows_path, "/f"])
        expect_equal(result.returncode, 0, f"reg add {name}")


def set_temp(sc, windows_path):
    set_temp_variables(sc, windows_path)
    folder = sc.unix_path(windows_path)
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def place_pnputil(sc, refuse=None):
    """The stand-in driver-store tool where the script looks first."""
    system32 = sc.drive_c / "windows" / "system32"
    shutil.copy2(sc.binary("kq_standin.exe"), system32 / "pnputil.exe")
    if refuse is not None:
        (system32 / "pnputil-standin.refuse").write_text(refuse)
    return system32 / "pnputil-standin.log"


def store_log(log):
    return log.read_text().split() if log.exists() else []


def bar_fill(path):
    """Filled share of the progress bar in a screenshot of the dialog: in the
    lower half (the caption is blue too), the row with the most bar-blue
    pixels; blue / (blue + white)."""
    width, height = map(int, run(["identify", "-format", "%w %h", str(path)]).stdout.split())
    top = height // 2
    data = pixels(path, (0, top, width, height - top))
    best = (0, 0)
    for row in range(height - top):
        line = data[row * width * 3:(row + 1) * width * 3]
        colours = [tuple(line[i:i + 3]) for i in range(0, len(line), 3)]
        blue = sum(1 for r, g, b in colours if b > 200 and r < 120)
        white = sum(1 for c in colours if c == (255, 255, 255))
        best = max(best, (blue, white))
    return best[0] / max(1, best[0] + best[1])


def accept_offer(sc, progress=True):
    """Starts the program and accepts the offer of drivers; returns the progress
    dialog once it shows (when progress)."""
    sc.start()
    sc.answer_msgbox(INSTALLER, "y")
    sc.answer_msgbox(INSTALLER, "Return")
    return sc.wait_window(PROGRESS, timeout=10) if progress else None


def package_files(package):
    """What the run folder holds once the package ("x86" or "x64") is unpacked."""
    a = PACKAGES[package]
    return PACKAGE_TOP | {a["script"], a["devcon"],
                          f"{a['sub']}/WdfCoInstaller01011.dll", f"{a['sub']}/winusbcoinstaller2.dll"}


ELEVATED_PARAMS = re.compile(r"--install (QuorvantaKQ6k-[0-9a-f]{32}) S-1-5-21(-\d+)+")


def elevated_launch(sc):
    """The elevated start of the package (the runas launch), once made."""
    return next((c for c in sc.launches() if c["verb"] == "runas"), None)


def wait_run_folder(sc, timeout=20):
    """The run folder the program asked its elevated side to make, from the
    parameters of the elevated start (it need not exist yet, or any more)."""
    launch = poll("the elevated start", lambda: elevated_launch(sc), timeout, 0.02)
    match = ELEVATED_PARAMS.fullmatch(launch["params"] or "")
    expect(match, f"parameters of the elevated start: {launch['params']!r}")
    return sc.drive_c / "windows" / "temp" / match[1]


def unix_mode(path):
    """The permission bits of `path`, or None while there is nothing there."""
    try:
        return path.stat().st_mode & 0o777
    except FileNotFoundError:
        return None


def run_folder_windows(folder):
    """The run folder as the program names it: "<Windows folder>\\Temp\\<name>"."""
    return "C:\\windows\\Temp\\" + folder.name


def wait_unpacked(folder, package):
    """What the install folder holds once the package is unpacked."""
    wanted = package_files(package)
    last = [[]]

    def unpacked():
        last[0] = listing(folder) if folder.exists() else []
        return last[0] if wanted <= set(last[0]) else None
    try:
        return poll("the unpacked package", unpacked, 20, 0.02)
    except E2EError:
        raise E2EError(f"package not unpacked; folder holds {last[0]}") from None


def follow_installation(sc):
    """Watches the run folder while the flow runs: returns what it held once
    the package was unpacked, the markers in the order they appeared (until
    the refusal marker, a message box or the folder's removal), whether the
    refusal marker was seen, and the folder."""
    folder = wait_run_folder(sc)
    files = wait_unpacked(folder, sc.platform.package)
    seen, refused = [], False
    deadline = time.monotonic() + 40
    next_window_look = 0.0
    # The elevated side removes the folder as soon as the script has ended,
    # which follows the refusal marker within milliseconds: the folder is
    # looked at every few milliseconds, and for the message box (an X client
    # to start) only four times a second.
    while time.monotonic() < deadline and len(seen) < len(MARKERS):
        seen += [m for m in MARKERS if m not in seen and (folder / m).exists()]
        refused = refused or (folder / REFUSED).exists()
        if not folder.exists() or refused:
            break
        if time.monotonic() >= next_window_look:
            if sc.display.find_windows(INSTALLER):
                break
            next_window_look = time.monotonic() + 0.25
        time.sleep(0.003)
    return files, seen, refused, folder


def replace_command_shell(sc, program=None):
    """Takes cmd.exe out of every system folder of the prefix, or puts program
    in its place (ask for the temporary folder before)."""
    for system in sc.system_folders():
        cmd = sc.drive_c / "windows" / system / "cmd.exe"
        if cmd.exists():
            cmd.unlink()
        if program:
            shutil.copy2(program, cmd)


def slow_devcon(sc, ms=None):
    """The package's device console hangs (ms None) or takes ms per call; the
    script calls it four times between cp.inf and timeToCleanUp.inf."""
    (sc.drive_c / "windows" / "system32" / "devcon-standin.hang").write_text(
        "" if ms is None else str(ms))


class FolderWatch:
    """Notes from a thread, on the host's clock, when each marker first shows in
    the install folder and when the install script first is gone from it.
    Told by inotify, not by looking: the elevated side removes the folder
    within milliseconds of the script's end, so the end marker may exist for
    less time than any look's period."""

    def __init__(self, folder, script):
        self.folder, self.script = folder, script
        self.seen, self.script_gone = {}, None
        self._stop = threading.Event()
        self._fd = LIBC.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self._fd < 0:
            raise E2EError(f"no inotify: errno {ctypes.get_errno()}")
        self._script_seen = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _watch(self):
        """Once the folder is there: the watch on it, and what it held before."""
        while not self._stop.is_set():
            if LIBC.inotify_add_watch(self._fd, os.fsencode(self.folder), IN_EVENTS) >= 0:
                break
            time.sleep(0.002)
        now = time.monotonic()
        for marker in MARKERS + [REFUSED]:
            if (self.folder / marker).exists():
                self.seen.setdefault(marker, now)
        self._script_seen = self._script_seen or (self.folder / self.script).exists()

    def _run(self):
        self._watch()
        while not self._stop.is_set():
            ready, _, _ = select.select([self._fd], [], [], 0.05)
            if not ready:
                continue
            now = time.monotonic()
            try:
                data = os.read(self._fd, 65536)
            except BlockingIOError:
                continue
            at = 0
            while at + 16 <= len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, at)
                name = data[at + 16:at + 16 + length].split(b"\0", 1)[0].decode(errors="replace")
                at += 16 + length
                if mask & (IN_CREATE | IN_MOVED_TO):
                    if name in MARKERS + [REFUSED]:
                        self.seen.setdefault(name, now)
                    if name == self.script:
                        self._script_seen = True
                elif mask & (IN_DELETE | IN_MOVED_FROM) and name == self.script:
                    if self._script_seen and self.script_gone is None:
                        self.script_gone = now
                elif mask & IN_DELETE_SELF and self._script_seen and self.script_gone is None:
                    self.script_gone = now

    def wait_for(self, marker, timeout):
        poll(f"marker {marker}", lambda: marker in self.seen, timeout, 0.02)
        return self.seen[marker]

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        os.close(self._fd)


class DialogPing:
    """The progress dialog's answers to WM_NULL, sampled once a second by the
    spy from now until the dialog goes or limit_ms pass."""

    def __init__(self, sc, limit_ms):
        self.watch, self.origin = Spy(sc, sc.spy.exe, PROGRESS).ping(limit_ms)

    def samples(self, timeout=10):
        """[(host time the sample was sent, answer ms or None)]."""
        events = self.watch.events(timeout)
        return [(self.origin + e["t"] / 1000, e["ms"]) for e in events if e["event"] == "sample"]


def expect_answers(samples, start, end, at_least):
    """Every sample sent between start and end was answered within 1000 ms;
    returns their number and the longest answer in ms."""
    window = [(t, ms) for t, ms in samples if start <= t <= end]
    expect(len(window) >= at_least, f"{len(window)} samples in {end - start:.1f} s, expected at "
                                    f"least {at_least}")
    late = [(round(t - start, 1), ms) for t, ms in window if ms is None or ms > 1000]
    expect(not late, f"progress dialog did not answer WM_NULL within 1 s at {len(late)} of "
                     f"{len(window)} samples (s after the start, ms): {late[:8]}")
    longest = max(ms for _, ms in window)
    print(f"      {len(window)} WM_NULL samples over {end - start:.1f} s, longest answer "
          f"{longest:.1f} ms")
    return len(window), longest


def caption_point(dialog_spy):
    """A screen point on the dialog's caption, checked by hit-testing."""
    state = dialog_spy.state()
    left, _, right, _ = state["window"]
    x, y = (left + right) // 2, state["client"][1] - state["metrics"]["captionY"] // 2
    hit = dialog_spy("hittest", x, y)["hit"]
    expect_equal(hit, HTCAPTION, f"hit test at the dialog's caption ({x}, {y})")
    return x, y, state["window"]


def expect_install_launches(sc, install_windows):
    """One launch: the package itself, elevated, from the user's temporary
    folder, asked to install into its run folder (the platform picks the
    package, which names its own script)."""
    launches = sc.launches()
    expect_equal([(c["verb"], c["file"], c["dir"]) for c in launches],
                 [("runas", install_windows + "\\drv.exe", install_windows)],
                 f"ShellExecute calls ({sc.platform.package} package, elevated)")
    expect(ELEVATED_PARAMS.fullmatch(launches[0]["params"] or ""),
           f"parameters of the elevated start: {launches[0]['params']!r}")
    return launches


def expect_refusal_shown(sc, dialog):
    """The outcome of an installation that did not finish: the refusal message
    over the still visible progress dialog."""
    expect_equal(sc.messages(), [OFFER, DISCONNECT, WITHOUT], "message boxes")
    expect(dialog in sc.display.find_windows(PROGRESS), "progress dialog gone at the refusal")


def answer_and_expect_exit(sc, code):
    sc.answer_msgbox(INSTALLER, "Return")
    expect_equal(sc.wait_exit(), code, "exit code")


def plant_link(sc, link):
    """A folder outside the install folder, holding files, and a link to it at
    link. Wine cannot make a junction or symbolic link itself, but shows a
    unix symbolic link to a folder as a reparse point. Returns the folder and
    what it holds."""
    target = sc.drive_c / "outside"
    target.mkdir()
    for name in ("keep.txt", "libusb0.sys", "drv.exe"):
        (target / name).write_text(f"planted {name}\n")
    link.parent.mkdir(parents=True, exist_ok=True)
    link.symlink_to(target, target_is_directory=True)
    return target, contents(target)


def contents(folder):
    """Each file's bytes by name; None when the folder itself is gone."""
    if not folder.is_dir():
        return None
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


# ----- scenarios ---------------------------------------------------------------------------

@on_platforms()
def test_all_drivers_present(session, platform):
    with session.scenario(platform=platform, tree=tree("two-units"), drivers=True) as sc:
        temp = temp_folder(sc)
        sc.start()
        sc.wait_window()
        sc.spy.wait_rows(X.TWO_UNITS_SPLIT, timeout=3)
        expect_equal(sc.messages(), [], "message boxes")
        expect_equal(sc.launches(), [], "launches")
        expect(not (temp / INSTALL_FOLDER).exists(), "install folder created")


# Only one FTDI entry, or one whose name differs in case: both count as missing,
# even with the maker's drivers present.
@params(("yes", {"reply": "y", "drivers": ALL_DRIVERS[1:]}),
        ("no", {"reply": "n", "drivers": ALL_DRIVERS[:1] + ALL_DRIVERS[2:]}),
        ("upper-case", {"reply": "n",
                        "drivers": ("FTDIBUS.INF_X86_4F1C2A7B9D3E5C60",) + ALL_DRIVERS[1:]}))
def test_ftdi_missing(session, reply, drivers):
    with session.scenario(tree=tree("two-units"), drivers=drivers) as sc:
        sc.start()
        sc.answer_msgbox(INSTALLER, reply, screenshot="question")
        sc.answer_msgbox(INSTALLER, "Return")
        expect_equal(sc.wait_exit(), 1, "exit code")
        expect_equal(sc.messages(), [FTDI_QUESTION, RELAUNCH], "message boxes")
        pages = [(c["verb"], c["file"], c["params"], c["dir"]) for c in sc.launches()]
        expect_equal(pages, [("open", VENDOR_PAGE, None, None)] if reply == "y" else [],
                     "launches")


# On 64-bit Windows the store that counts is the 64-bit System32's. Wine, like
# Vista and Server 2008, shows a 32-bit process SysWOW64 there while WOW64
# redirection is on, at every Windows version; the x64 program sees System32
# itself.
@params(*((f"{platform}-{winver}-{store}", {"platform": platform, "winver": winver, "store": store})
          for platform, winver in (("x86-win64", "vista"), ("x86-win64", "win10"),
                                   ("x64-win64", "win10"))
          for store in ("system32", "syswow64")))
def test_store_of_64_bit_windows(session, platform, winver, store):
    units, rows = (("two-units-win7", X.TWO_UNITS_JOINED) if winver == "vista"
                   else ("two-units", X.TWO_UNITS_SPLIT))
    with session.scenario(platform=platform, winver=winver, tree=tree(units),
                          store=[store]) as sc:
        sc.start()
        if store == "system32":
            sc.wait_window()
            sc.spy.wait_rows(rows, timeout=3)
            expect_equal(sc.messages(), [], "message boxes")
        else:
            sc.answer_msgbox(INSTALLER, "n")
            sc.answer_msgbox(INSTALLER, "Return")
            expect_equal(sc.wait_exit(), 1, "exit code")
            expect_equal(sc.messages(), [FTDI_QUESTION, RELAUNCH], "message boxes")


def test_unsupported_os(session):
    """Windows 2000: the message, then the main window; no driver is examined
    (the store is empty, yet no FTDI question comes)."""
    with session.scenario(winver="win7", tree=tree("two-units-win7"), drivers=False) as sc:
        # For the program alone: winecfg offers Windows 2000 to 32-bit
        # prefixes only, Wine's per-program setting to both.
        result = sc.wine(["reg", "add", rf"HKCU\Software\Wine\AppDefaults\{APP_EXE}", "/v",
                          "Version", "/d", "win2k", "/f"])
        expect_equal(result.returncode, 0, "reg add of the program's Windows version")
        sc.start()
        sc.wait_msgbox("KQ-6200 Explorer")
        expect_equal(sc.messages(), ["Unsupported OS detected"], "message boxes")
        sc.answer_msgbox("KQ-6200 Explorer", "Return", screenshot="msgbox")
        sc.wait_window()
        sc.spy.wait_rows(X.TWO_UNITS_JOINED, timeout=3)
        expect_equal(sc.messages(), ["Unsupported OS detected"], "message boxes")


def test_offer_declined(session):
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        temp = temp_folder(sc)
        before = listing(temp)
        sc.start()
        sc.answer_msgbox(INSTALLER, "n")
        sc.answer_msgbox(INSTALLER, "Return")
        sc.wait_window()
        sc.spy.wait_rows(DECLINED_ROWS, timeout=3)
        sc.screenshot()
        expect_equal(sc.messages(), [OFFER, WITHOUT], "message boxes")
        expect_equal(listing(temp), before, "temporary folder after a declined offer")
        expect_equal(sc.launches(), [], "launches")


@on_platforms()
def test_install_succeeds(session, platform):
    with session.scenario(platform=platform, tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        store = place_pnputil(sc)
        temp = temp_folder(sc)
        staging = temp / INSTALL_FOLDER
        dialog = accept_offer(sc)
        sc.screenshot("progress", dialog, evidence_only=True)
        # Wine keeps no descriptor of a file, but makes its Unix mode from the
        # one it is made with: the package's lets none in but SYSTEM,
        # Administrators and the user, who reads and executes (the owner's
        # write bit is the Administrators entry's: Wine's token holds
        # Administrators). A file made without it is 0755.
        package_mode = poll("the package", lambda: unix_mode(staging / "drv.exe"), 20, 0.005)
        expect_equal(oct(package_mode), oct(0o750), "the package's Unix mode")
        # Every marker as the script makes it, told by inotify from the
        # folder's making on: the folder is looked at too seldom to see them
        # all (the script writes them within milliseconds under Wine).
        run_folder = wait_run_folder(sc)
        watch = FolderWatch(run_folder, PACKAGES[sc.platform.package]["script"])
        try:
            # Wine keeps no descriptor of a file, but makes a folder's Unix
            # mode from the descriptor it was made with: the self-extractor's
            # lets no one but SYSTEM, Administrators and the user in.
            mode = poll("the run folder made", lambda: unix_mode(run_folder), 20, 0.005)
            expect(mode & 0o027 == 0, f"the run folder's Unix mode is {mode:o}: made without "
                                      f"its descriptor, or one that lets others in")
            unpacked, _, _, folder = follow_installation(sc)
            sc.wait_msgbox(INSTALLER, timeout=60)
        finally:
            watch.stop()
        expect_equal(list(watch.seen), MARKERS, "markers, in the order they were made")
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        expect(not sc.display.find_windows(PROGRESS),
               "progress dialog still up at the completion message")
        expect_removed(folder, "install folder")
        expect_removed(staging, "package")

        other = "amd64" if sc.platform.package == "x86" else "x86"
        expect(other not in unpacked, f"{other} unpacked from the {sc.platform.package} package")
        expect_equal(store_log(store), ["kq_6200_winkey.inf", "kq_6200_fsk.inf",
                                        "quorvanta_kq-6200_reserved.inf"], "pnputil additions")
        expect_install_launches(sc, sc.windows_path(staging))

        sc.answer_msgbox(INSTALLER, "Return")
        sc.wait_window()
        sc.spy.wait_rows(X.TWO_UNITS_SPLIT, timeout=3)


def test_script_refuses(session):
    """The reserved-interface driver never reaches the store: the markers up to
    fsk.inf come, then the refusal marker and the script's end; the waits for
    cp.inf and timeToCleanUp.inf end with it, and the refusal message shows
    over the progress dialog."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        store = place_pnputil(sc, refuse="Quorvanta_KQ-6200_Reserved.inf")
        staging = temp_folder(sc) / INSTALL_FOLDER
        dialog = accept_offer(sc)
        # By inotify: the elevated side removes the folder within
        # milliseconds of the refusal marker, which a look can miss.
        watch = FolderWatch(wait_run_folder(sc), PACKAGES[sc.platform.package]["script"])
        try:
            _, _, _, folder = follow_installation(sc)
            watch.wait_for(REFUSED, 10)
        finally:
            watch.stop()
        expect_equal(list(watch.seen), ["cert.inf", "wk.inf", "fsk.inf", REFUSED],
                     "markers, in the order they were made")
        started = time.monotonic()
        # The bar stands at 60 from the last marker wait on; the package goes
        # last in the clean-up, a second before the message covers the bar.
        poll("the clean-up", lambda: not (staging / "drv.exe").exists(), 30, 0.02)
        picture = sc.screenshot("progress-at-refusal", dialog, evidence_only=True)
        expect(picture, "no screenshot of the progress dialog")
        fill = bar_fill(picture)
        expect(0.57 <= fill <= 0.63, f"progress bar {fill:.0%} filled at the refusal, expected 60 %")
        box = sc.wait_msgbox(INSTALLER, timeout=10)
        waited = time.monotonic() - started
        expect(waited <= 8, f"refusal {waited:.0f} s after the script ended, expected the "
                            "clean-up only")
        expect_refusal_shown(sc, dialog)
        expect_removed(folder, "install folder")
        expect_removed(staging, "package")
        sc.screenshot("refusal", box, evidence_only=True)
        expect_equal(store_log(store).count("quorvanta_kq-6200_reserved.inf"), 3,
                     "additions of the refused driver")
        answer_and_expect_exit(sc, 1)


def test_script_never_finishes(session):
    """The script writes its four step markers but hangs before its end (the
    device console never returns). After the completion marker's wait, the one
    more wait and the further wait for the script to end, the folder is left to
    the still running script: the message says so and where, exit code 1,
    nothing deleted; the dialog answered all along with its bar at 60 %."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        slow_devcon(sc)
        dialog = accept_offer(sc)
        ping = DialogPing(sc, 170000)
        folder = wait_run_folder(sc)
        watch = FolderWatch(folder, PACKAGES[sc.platform.package]["script"])
        started = watch.wait_for("cp.inf", 40)
        # Within the further wait: both 30 s waits are over.
        time.sleep(max(0.0, started + 90 - time.monotonic()))
        picture = sc.screenshot("progress-waiting", dialog, evidence_only=True)
        box = sc.wait_msgbox(INSTALLER, timeout=60)
        shown = time.monotonic()
        watch.stop()
        waited = shown - started
        install_windows = run_folder_windows(folder)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, still_running(install_windows)],
                     "message boxes")
        expect(115 <= waited <= 135, f"outcome {waited:.0f} s after the last step marker, "
                                     "expected two 30 s waits and the 60 s wait for the script")
        expect(dialog in sc.display.find_windows(PROGRESS), "progress dialog gone at the message")
        expect(picture, "no screenshot of the progress dialog")
        fill = bar_fill(picture)
        expect(0.57 <= fill <= 0.63, f"progress bar {fill:.0%} filled while waiting for the "
                                     "script, expected 60 %")
        missing = sorted(package_files(sc.platform.package) - set(listing(folder)))
        expect_equal(missing, [], "files deleted under the running script")
        expect(watch.script_gone is None, "the install script was deleted while it ran")
        sc.screenshot("still-running", box, evidence_only=True)
        answer_and_expect_exit(sc, 1)
        expect_answers(ping.samples(), started, shown - 1, 100)


def test_package_file_locked(session):
    """A drv.exe that is still running cannot be deleted by the initial clean-up,
    so the package file cannot be created."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        folder = temp_folder(sc) / INSTALL_FOLDER
        folder.mkdir(parents=True)
        shutil.copy2(sc.build_dir / "drivers" / "packages" / f"kqdrv_{sc.platform.package}.pkg",
                     folder / "drv.exe")
        # Without "-y" the package only shows a message and keeps running (until
        # the clean-up of the prefix).
        sc.spawn(["drv.exe"], cwd=folder)
        poll("the running package's message",
             lambda: sc.display.find_windows("KQ-6200 Driver installation"), 15)
        accept_offer(sc, progress=False)
        sc.wait_msgbox(INSTALLER, timeout=15)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, CANNOT_CREATE], "message boxes")
        sc.answer_msgbox(INSTALLER, "Return")
        expect_equal(sc.wait_exit(), 1, "exit code")
        expect((folder / "drv.exe").exists(), "locked package gone")
        expect_equal(sc.launches(), [], "launches")


def test_temp_path_with_shell_characters(session):
    """A temporary folder whose path a command shell would misread: the clean-up
    removes the install folder and its files, and nothing beside it."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        temp_windows = "C:\\kq tmp\\Jo & Ann 100% ^x (y) \u00c4\u00f6"
        temp = set_temp(sc, temp_windows)
        parent = temp.parent
        planted = [temp / "keep.txt", temp / "QuorvantaKQ6kInstall.keep",
                   temp / "QuorvantaKQ6kInstall x" / "drv.exe", parent / "keep.txt",
                   parent / "Jo" / "drv.exe", sc.drive_c / "kq tmp.txt"]
        for path in planted:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text("planted\n")
        accept_offer(sc)
        unpacked, _, _, _ = follow_installation(sc)
        expect("KQ_6200_FSK.inf" in unpacked, f"unpacked: {unpacked}")
        sc.wait_msgbox(INSTALLER, timeout=60)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        expect_removed(temp / INSTALL_FOLDER, "install folder")
        missing = [str(p) for p in planted if not p.exists()]
        expect_equal(missing, [], "planted files deleted")
        expect_install_launches(sc, temp_windows + "\\" + INSTALL_FOLDER)
        sc.answer_msgbox(INSTALLER, "Return")
        sc.wait_window()


@timing
def test_progress_dialog_answers_while_waiting(session):
    """A slow script (the device console takes 3 s a call, so the last marker
    comes about 12 s after the first). Sampled once a second from the first
    marker to the last, the progress dialog answers WM_NULL within 1 s every
    time; it moves when dragged by its caption, stays through WM_CLOSE,
    IDCANCEL, SC_CLOSE and Alt+F4, and the installation completes as usual."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        store = place_pnputil(sc)
        slow_devcon(sc, 3000)
        dialog = accept_offer(sc)
        ping = DialogPing(sc, 120000)
        folder = wait_run_folder(sc)
        watch = FolderWatch(folder, PACKAGES[sc.platform.package]["script"])
        first = watch.wait_for("cert.inf", 40)

        # Checked after the samples: a dialog that does not answer fails there first.
        dialog_spy = Spy(sc, sc.spy.exe, PROGRESS)
        try:
            x, y, before = caption_point(dialog_spy)
            sc.display.xdotool("mousemove", x, y)
            sc.display.xdotool("mousedown", 1)
            for step in (1, 2, 3, 4):
                sc.display.xdotool("mousemove", x + 15 * step, y + 10 * step)
            sc.display.xdotool("mouseup", 1)
            moved_to = [before[0] + 60, before[1] + 40, before[2] + 60, before[3] + 40]
            after = [None]

            def moved():
                after[0] = dialog_spy.state()["window"]
                return after[0] == moved_to
            poll("the dialog to move", moved, 3, 0.1)
            not_moved = None
        except E2EError as error:
            not_moved = f"dragging the dialog's caption by (60, 40): {error}"

        for message, wparam in ((WM_CLOSE, 0), (WM_COMMAND, IDCANCEL), (WM_SYSCOMMAND, SC_CLOSE)):
            dialog_spy.post(message, wparam)
        focused = sc.display.focused(PROGRESS) == dialog
        if focused:
            sc.display.xdotool("key", "alt+F4")
        time.sleep(1)
        still_there = bool(sc.display.find_windows(PROGRESS))

        last = watch.wait_for("timeToCleanUp.inf", 40)
        sc.wait_msgbox(INSTALLER, timeout=60)
        watch.stop()
        expect_answers(ping.samples(), first, last, 8)
        expect(not not_moved, not_moved)
        expect(focused, "the dialog had no focus for Alt+F4")
        expect(still_there, "the progress dialog closed")
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        expect_removed(folder, "install folder")
        expect_equal(store_log(store), ["kq_6200_winkey.inf", "kq_6200_fsk.inf",
                                        "quorvanta_kq-6200_reserved.inf"], "pnputil additions")
        sc.answer_msgbox(INSTALLER, "Return")
        sc.wait_window()


def test_slow_script_is_awaited(session):
    """The script is still running after every marker wait (the device console
    takes 18 s a call, so its end marker comes about 72 s after cp.inf): the
    flow waits on for it instead of deleting its files, and once it has ended
    with its end marker the installation is complete."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        store = place_pnputil(sc)
        slow_devcon(sc, 18000)
        accept_offer(sc)
        folder = wait_run_folder(sc)
        watch = FolderWatch(folder, PACKAGES[sc.platform.package]["script"])
        started = watch.wait_for("cp.inf", 40)
        sc.wait_msgbox(INSTALLER, timeout=130)
        waited = time.monotonic() - started
        watch.stop()
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        ended = watch.seen.get("timeToCleanUp.inf")
        expect(ended, "the script never wrote its end marker")
        expect(watch.script_gone is None or watch.script_gone > ended,
               f"the install script was deleted {ended - watch.script_gone:.1f} s before it "
               "ended" if ended and watch.script_gone else "the install script was deleted")
        expect(66 <= waited <= 90, f"completion {waited:.0f} s after cp.inf, expected the "
                                   "script's 72 s and the clean-up")
        expect_removed(folder, "install folder")
        expect_equal(store_log(store), ["kq_6200_winkey.inf", "kq_6200_fsk.inf",
                                        "quorvanta_kq-6200_reserved.inf"], "pnputil additions")
        sc.answer_msgbox(INSTALLER, "Return")
        sc.wait_window()


@on_platforms()
def test_script_cannot_start(session, platform):
    """The command interpreter is gone, so the elevated side cannot start the
    script (as when the user declines the elevation prompt, nothing runs): the
    installation ends at once as refused, with no marker awaited: the folders
    are removed, the bar stays at 30 %, the refusal message, exit code 1."""
    with session.scenario(platform=platform, tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        staging = temp_folder(sc) / INSTALL_FOLDER
        replace_command_shell(sc)
        dialog = accept_offer(sc)
        folder = wait_run_folder(sc)
        unpacked = time.monotonic()
        poll("the clean-up", lambda: not (staging / "drv.exe").exists(), 20, 0.02)
        picture = sc.screenshot("progress-at-refusal", dialog, evidence_only=True)
        sc.wait_msgbox(INSTALLER, timeout=20)
        waited = time.monotonic() - unpacked
        expect(waited <= 10, f"refusal {waited:.0f} s after the package was started, expected "
                             "the file waits and the clean-up only")
        expect_refusal_shown(sc, dialog)
        expect_removed(folder, "install folder")
        expect_removed(staging, "package")
        expect(picture, "no screenshot of the progress dialog")
        fill = bar_fill(picture)
        expect(0.27 <= fill <= 0.33, f"progress bar {fill:.0%} filled at the refusal, expected 30 %")
        expect_install_launches(sc, sc.windows_path(staging))
        answer_and_expect_exit(sc, 1)


@params(("folder", {"linked": ""}), ("x86", {"linked": "x86"}), ("amd64", {"linked": "amd64"}))
def test_linked_install_folder_refused(session, linked):
    """The install folder, or a subfolder of it, is a link planted beforehand.
    Wine's RemoveDirectoryW follows a unix link and so cannot remove one whose
    target holds files: the link stays, and nothing may be written; on Windows
    the link itself goes and the installation goes on."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        folder = temp_folder(sc) / INSTALL_FOLDER
        link = folder / linked if linked else folder
        target, before = plant_link(sc, link)
        accept_offer(sc, progress=False)
        sc.wait_msgbox(INSTALLER, timeout=15)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, CANNOT_CREATE], "message boxes")
        expect_equal(contents(target), before, "what the link points to")
        expect(link.is_symlink(), "the link is gone")
        if linked:
            expect_equal(os.listdir(folder), [linked], "install folder")
        expect_equal(sc.launches(), [], "launches")
        answer_and_expect_exit(sc, 1)


def test_install_folder_under_a_linked_folder_refused(session):
    """The temporary folder lies below a link the user made (under Wine a unix
    symbolic link, the only reparse point it shows, and one it lets the user
    change, as Windows lets a junction's maker): "Can't create drivers
    package", exit code 1, no package written and nothing launched."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        target = sc.drive_c / "kq real"
        (target / "temp").mkdir(parents=True)
        (sc.drive_c / "kq linked").symlink_to(target, target_is_directory=True)
        set_temp_variables(sc, "C:\\kq linked\\temp")
        accept_offer(sc, progress=False)
        sc.wait_msgbox(INSTALLER, timeout=15)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, CANNOT_CREATE], "message boxes")
        expect(not (target / "temp" / INSTALL_FOLDER / "drv.exe").exists(),
               "package written below the link")
        expect_equal(sc.launches(), [], "launches")
        answer_and_expect_exit(sc, 1)


def test_link_planted_before_the_clean_up(session):
    """The package's subfolder is replaced by a link while the script runs: the
    clean-up deletes nothing through it. (Wine cannot remove the link, see
    test_linked_install_folder_refused, so the install folder stays with the
    link alone in it.)"""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        hold = sc.drive_c / "windows" / "system32" / "devcon-standin.hold"
        hold.write_text("")
        accept_offer(sc)
        folder = wait_run_folder(sc)
        poll("the last step marker", lambda: (folder / "cp.inf").exists(), 40, 0.02)
        sub = PACKAGES[sc.platform.package]["sub"]
        expect((folder / sub / "libusb0.sys").exists(), "package subfolder not unpacked")
        shutil.rmtree(folder / sub)
        target, before = plant_link(sc, folder / sub)
        hold.unlink()
        sc.wait_msgbox(INSTALLER, timeout=40)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        expect_equal(contents(target), before, "what the link points to")
        expect_equal(sorted(os.listdir(folder)), [sub], "install folder after the clean-up")
        sc.answer_msgbox(INSTALLER, "Return")
        sc.wait_window()
