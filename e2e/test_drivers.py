"""The start-up driver gate of the real program under Wine: the driver-store
test, the FTDI and install questions, and the installation of the embedded
development package with its progress dialog, marker files and clean-up.

The install script of the package runs for real (Wine's cmd); the driver-store
tool is the package's stand-in program placed as System32\\pnputil.exe, which
adds the store folder at once (or refuses, see drivers/standin/standin.cpp).
Wine 8.0 has no timeout.exe, so the script's waits cost nothing here."""

import os
import shutil
import time

import expected as X
from common import E2EError, expect, expect_equal, listing, params, poll, run, tree
from display import pixels
from scenario import ALL_DRIVERS

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

# two-units.devtree after the user declined: the MCU section of each unit is
# one error line with code 8.
MCU_8 = "    MCU ErrorCode: 8"
DECLINED_ROWS = (X.UNIT_A_SPLIT[:3] + [MCU_8] + X.UNIT_A_SPLIT[5:]
                 + X.UNIT_B_SPLIT[:2] + [MCU_8] + X.UNIT_B_SPLIT[4:])

PACKAGE_TOP = {"certmgr.exe", "KQ_6200_WINKEY.inf", "KQ_6200_WINKEY.cat", "KQ_6200_WINKEY.cer",
               "KQ_6200_FSK.inf", "KQ_6200_FSK.cat", "KQ_6200_FSK.cer",
               "Quorvanta_KQ-6200_Reserved.inf", "Quorvanta_KQ-6200_Reserved.cat",
               "Quorvanta_KQ-6200_Reserved.cer", "serial_KQ6200.ico"}
ARCH = {"win32": {"script": "install_KQ-6200x86.bat", "devcon": "devcon.exe", "sub": "x86"},
        "win64": {"script": "install_KQ-6200x64.bat", "devcon": "devcon64.exe", "sub": "amd64"}}
MARKERS = ["cert.inf", "wk.inf", "fsk.inf", "cp.inf", "timeToCleanUp.inf"]


# ----- helpers -------------------------------------------------------------------------

def temp_folder(sc):
    """The user's temporary folder as the program will see it."""
    result = sc.wine(["cmd", "/c", "echo %TEMP%"])
    return sc.unix_path(result.stdout.strip().splitlines()[-1])


def set_temp(sc, windows_path):
    for name in ("TEMP", "TMP"):
        result = sc.wine(["reg", "add", "HKCU\\Environment", "/v", name, "/t", "REG_SZ",
                          "/d", windows_path, "/f"])
        expect_equal(result.returncode, 0, f"reg add {name}")
    folder = sc.unix_path(windows_path)
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def place_pnputil(sc, refuse=None):
    """The stand-in driver-store tool where the script looks first."""
    system32 = sc.drive_c / "windows" / "system32"
    shutil.copy2(sc.session.binary("kq_standin.exe"), system32 / "pnputil.exe")
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


def package_files(arch):
    a = ARCH[arch]
    return PACKAGE_TOP | {a["script"], a["devcon"], "drv.exe",
                          f"{a['sub']}/WdfCoInstaller01011.dll", f"{a['sub']}/winusbcoinstaller2.dll"}


def follow_installation(sc, folder, arch):
    """Watches the install folder while the flow runs: returns what it held once
    the package was unpacked, and the markers in the order they appeared (until
    the refusal marker, a message box or the folder's removal)."""
    wanted = package_files(arch)
    last = [[]]

    def unpacked():
        last[0] = listing(folder) if folder.exists() else []
        return last[0] if wanted <= set(last[0]) else None
    try:
        files = poll("the unpacked package", unpacked, 20, 0.02)
    except E2EError:
        raise E2EError(f"package not unpacked; folder holds {last[0]}") from None
    seen = []
    deadline = time.monotonic() + 40
    while time.monotonic() < deadline and len(seen) < len(MARKERS):
        seen += [m for m in MARKERS if m not in seen and (folder / m).exists()]
        if (not folder.exists() or sc.display.find_windows(INSTALLER)
                or (folder / "userDisagreeInstallation.inf").exists()):
            break
        time.sleep(0.02)
    return files, seen


def expect_install_launches(sc, install_windows, arch):
    launches = sc.launches()
    expect_equal([(c["verb"], c["file"], c["params"], c["dir"]) for c in launches],
                 [("open", "drv.exe", "-y", install_windows),
                  ("runas", ARCH[arch]["script"], "", install_windows)],
                 "ShellExecute calls (package, then script)")
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

@params(("win32", {"arch": "win32"}), ("win64", {"arch": "win64"}))
def test_all_drivers_present(session, arch):
    with session.scenario(arch=arch, tree=tree("two-units"), drivers=True) as sc:
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
# redirection is on, at every Windows version.
@params(("vista-system32", {"winver": "vista", "store": "system32"}),
        ("vista-syswow64", {"winver": "vista", "store": "syswow64"}),
        ("win10-system32", {"winver": "win10", "store": "system32"}),
        ("win10-syswow64", {"winver": "win10", "store": "syswow64"}))
def test_store_of_64_bit_windows(session, winver, store):
    units, rows = (("two-units-win7", X.TWO_UNITS_JOINED) if winver == "vista"
                   else ("two-units", X.TWO_UNITS_SPLIT))
    with session.scenario(arch="win64", winver=winver, tree=tree(units), store=[store]) as sc:
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
    with session.scenario(winver="win2k", tree=tree("two-units-win7"), drivers=False) as sc:
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


@params(("win32", {"arch": "win32"}), ("win64", {"arch": "win64"}))
def test_install_succeeds(session, arch):
    with session.scenario(arch=arch, tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        store = place_pnputil(sc)
        temp = temp_folder(sc)
        folder = temp / INSTALL_FOLDER
        dialog = accept_offer(sc)
        sc.screenshot("progress", dialog, evidence_only=True)
        unpacked, seen = follow_installation(sc, folder, arch)

        sc.wait_msgbox(INSTALLER, timeout=60)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        expect(not sc.display.find_windows(PROGRESS),
               "progress dialog still up at the completion message")
        expect(not folder.exists(), f"install folder left behind: {listing(folder)}")

        other = "amd64" if ARCH[arch]["sub"] == "x86" else "x86"
        expect(other not in unpacked, f"{other} unpacked from the {arch} package")
        expect_equal(seen, MARKERS[:len(seen)], "markers in order")
        expect(seen, "no marker seen while the flow ran")
        expect_equal(store_log(store), ["kq_6200_winkey.inf", "kq_6200_fsk.inf",
                                        "quorvanta_kq-6200_reserved.inf"], "pnputil additions")
        expect_install_launches(sc, sc.windows_path(folder), arch)

        sc.answer_msgbox(INSTALLER, "Return")
        sc.wait_window()
        sc.spy.wait_rows(X.TWO_UNITS_SPLIT, timeout=3)


def test_script_refuses(session):
    """The reserved-interface driver never reaches the store: the markers up to
    fsk.inf come, then cp.inf and timeToCleanUp.inf each cost their full 30 s
    wait, and the refusal message shows over the progress dialog."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        store = place_pnputil(sc, refuse="Quorvanta_KQ-6200_Reserved.inf")
        folder = temp_folder(sc) / INSTALL_FOLDER
        dialog = accept_offer(sc)
        _, seen = follow_installation(sc, folder, "win32")
        expect_equal(seen, ["cert.inf", "wk.inf", "fsk.inf"], "markers")
        expect((folder / "userDisagreeInstallation.inf").exists(), "no refusal marker")
        started = time.monotonic()
        # The bar stands at 60 from the last marker wait on; the subfolder goes
        # first in the clean-up, two seconds before the message covers the bar.
        poll("the clean-up", lambda: not (folder / "x86").exists(), 90, 0.02)
        picture = sc.screenshot("progress-at-refusal", dialog, evidence_only=True)
        expect(picture, "no screenshot of the progress dialog")
        fill = bar_fill(picture)
        expect(0.57 <= fill <= 0.63, f"progress bar {fill:.0%} filled at the refusal, expected 60 %")
        box = sc.wait_msgbox(INSTALLER, timeout=10)
        waited = time.monotonic() - started
        expect(55 <= waited <= 75, f"refusal {waited:.0f} s after the script ended, expected "
                                   "two 30 s waits and the clean-up")
        expect_refusal_shown(sc, dialog)
        expect(not folder.exists(), f"install folder left behind: {listing(folder)}")
        sc.screenshot("refusal", box, evidence_only=True)
        expect_equal(store_log(store).count("quorvanta_kq-6200_reserved.inf"), 3,
                     "additions of the refused driver")
        answer_and_expect_exit(sc, 1)


def test_script_never_finishes(session):
    """The script writes its four step markers but hangs before its end (the
    device console never returns). After the completion marker's wait and the
    one more wait, the installation is reported as not done: the refusal
    message and exit code 1, never the completion message."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        (sc.drive_c / "windows" / "system32" / "devcon-standin.hang").write_text("")
        folder = temp_folder(sc) / INSTALL_FOLDER
        dialog = accept_offer(sc)
        poll("the last step marker", lambda: (folder / "cp.inf").exists(), 40, 0.02)
        started = time.monotonic()
        box = sc.wait_msgbox(INSTALLER, timeout=100)
        waited = time.monotonic() - started
        expect(55 <= waited <= 80, f"outcome {waited:.0f} s after the last step marker, expected "
                                   "two 30 s waits and the clean-up")
        expect_refusal_shown(sc, dialog)
        expect(not (folder / "timeToCleanUp.inf").exists(), "the script did reach its end")
        sc.screenshot("not-finished", box, evidence_only=True)
        answer_and_expect_exit(sc, 1)


def test_package_file_locked(session):
    """A drv.exe that is still running cannot be deleted by the initial clean-up,
    so the package file cannot be created."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        folder = temp_folder(sc) / INSTALL_FOLDER
        folder.mkdir(parents=True)
        shutil.copy2(session.build_dir / "drivers" / "packages" / "kqdrv_x86.pkg",
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
        unpacked, _ = follow_installation(sc, temp / INSTALL_FOLDER, "win32")
        expect("KQ_6200_FSK.inf" in unpacked, f"unpacked: {unpacked}")
        sc.wait_msgbox(INSTALLER, timeout=60)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        expect(not (temp / INSTALL_FOLDER).exists(), "install folder left behind")
        missing = [str(p) for p in planted if not p.exists()]
        expect_equal(missing, [], "planted files deleted")
        expect_install_launches(sc, temp_windows + "\\" + INSTALL_FOLDER, "win32")
        sc.answer_msgbox(INSTALLER, "Return")
        sc.wait_window()


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


def test_link_planted_before_the_clean_up(session):
    """The package's subfolder is replaced by a link while the script runs: the
    clean-up deletes nothing through it. (Wine cannot remove the link, see
    test_linked_install_folder_refused, so the install folder stays with the
    link alone in it.)"""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        hold = sc.drive_c / "windows" / "system32" / "devcon-standin.hold"
        hold.write_text("")
        folder = temp_folder(sc) / INSTALL_FOLDER
        accept_offer(sc)
        poll("the last step marker", lambda: (folder / "cp.inf").exists(), 40, 0.02)
        expect((folder / "x86" / "libusb0.sys").exists(), "package subfolder not unpacked")
        shutil.rmtree(folder / "x86")
        target, before = plant_link(sc, folder / "x86")
        hold.unlink()
        sc.wait_msgbox(INSTALLER, timeout=40)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        expect_equal(contents(target), before, "what the link points to")
        expect_equal(sorted(os.listdir(folder)), ["x86"], "install folder after the clean-up")
        sc.answer_msgbox(INSTALLER, "Return")
        sc.wait_window()
