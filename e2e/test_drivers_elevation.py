"""What the installation elevates and trusts, under Wine, as another process of
the same user would attack it: tools and markers planted where the user can
write, the package changed before its elevated start, a second instance, an
earlier run whose script still runs, a script that ends at once, and a
cfgmgr32.dll planted beside the programs.

Wine runs every process with one token and enforces no file ACLs: the run
folder's descriptor is covered by Elevation.RunFolderDescriptor* and, made by
the self-extractor's own code, by InstallRunFolder.* (kq_tests.exe), and the
Unix mode Wine derives from it by test_install_succeeds; these scenarios show
what the flow takes from where."""

import hashlib
import re
import shutil
import struct
import subprocess
import threading
import time
import zlib

import expected as X
from common import expect, expect_equal, expect_removed, listing, on_platforms, params, poll, tree
from scenario import decode_wine_string
from test_drivers import (ALREADY_RUNNING, CANNOT_CREATE, PACKAGES, COMPLETED, DISCONNECT,
                          ELEVATED_PARAMS, FTDI_ONLY,
                          INSTALL_FOLDER, INSTALLER, OFFER, PROGRESS, WITHOUT, accept_offer,
                          answer_and_expect_exit, elevated_launch, package_files, place_pnputil,
                          replace_command_shell, run_folder_windows, set_temp_variables,
                          slow_devcon, still_running, store_log, temp_folder, wait_run_folder,
                          wait_unpacked)

PLANTED_LOG = "planted-ran.log"


class Planter:
    """A thread that acts as another process of the user: each time `act`
    finds something to do in the user's install folder it does it, until
    stopped."""

    def __init__(self, act):
        self.act, self.done = act, []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                what = self.act()
            except OSError:
                what = None
            if what:
                self.done.append(what)
            time.sleep(0.01)

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        return self.done


def planted_runs(sc):
    log = sc.drive_c / PLANTED_LOG
    return log.read_text().split() if log.exists() else []


def read_archive(data):
    """(stub, settings bytes, [(path, bytes)]) of a package (sfx/FORMAT.md)."""
    body_size = struct.unpack_from("<I", data, len(data) - 12)[0]
    start = len(data) - 12 - body_size
    at = start + 8
    size = struct.unpack_from("<I", data, at)[0]
    settings = data[at + 4:at + 4 + size]
    at += 4 + size + 4
    count = struct.unpack_from("<I", data, at)[0]
    at += 4
    entries = []
    for _ in range(count):
        path_size = struct.unpack_from("<H", data, at)[0]
        path = data[at + 2:at + 2 + path_size].decode()
        at += 2 + path_size
        data_size = struct.unpack_from("<I", data, at)[0]
        at += 8
        entries.append((path, data[at:at + data_size]))
        at += data_size
    return data[:start], settings, entries


def write_archive(stub, settings, entries):
    body = b"KQ6KPKG1" + struct.pack("<I", len(settings)) + settings
    body += struct.pack("<II", zlib.crc32(settings), len(entries))
    for path, data in entries:
        raw = path.encode()
        body += struct.pack("<H", len(raw)) + raw + struct.pack("<II", len(data), zlib.crc32(data))
        body += data
    return stub + body + struct.pack("<I", len(body)) + b"KQ6KEND1"


def planted_script(sc):
    """A script that notes that it ran and writes every marker at once."""
    markers = "".join(f">>{m} echo planted\r\n" for m in
                      ("cert.inf", "wk.inf", "fsk.inf", "cp.inf", "timeToCleanUp.inf"))
    return (f'@echo off\r\ncd /d "%~dp0"\r\n>>C:\\{PLANTED_LOG} echo script\r\n{markers}').encode()


@on_platforms()
def test_planted_tools_are_never_run(session, platform):
    """A certmgr.com and a timeout.com (a command shell tries .COM before .EXE
    in its current folder) planted in the user's install folder as soon as the
    package is there: the installation completes and neither is ever run."""
    with session.scenario(platform=platform, tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        store = place_pnputil(sc)
        staging = temp_folder(sc) / INSTALL_FOLDER
        witness = sc.binary("kq_winspy.exe")

        def plant():
            if not (staging / "drv.exe").exists():
                return None
            planted = []
            for name in ("certmgr.com", "timeout.com", "devcon.com", "devcon64.com"):
                if not (staging / name).exists():
                    shutil.copy2(witness, staging / name)
                    planted.append(name)
            return planted
        planter = Planter(plant)
        accept_offer(sc)
        sc.wait_msgbox(INSTALLER, timeout=60)
        expect(planter.stop(), "nothing was planted")
        expect_equal(planted_runs(sc), [], "planted programs run")
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        expect_equal(store_log(store), ["kq_6200_winkey.inf", "kq_6200_fsk.inf",
                                        "quorvanta_kq-6200_reserved.inf"], "pnputil additions")
        answer_and_expect_exit_or_window(sc)


def answer_and_expect_exit_or_window(sc):
    sc.answer_msgbox(INSTALLER, "Return")
    sc.wait_window()


@on_platforms()
def test_changed_package_is_not_what_runs(session, platform):
    """Another process of the user rewrites the package after the program wrote
    it (its script replaced, the archive's checksums made good) and, should
    files be unpacked where it can write, the script, a .cer and an .inf
    there. The changed script never runs: the elevated side refuses an archive
    that is not the one sealed into it, and the installation ends as refused."""
    with session.scenario(platform=platform, tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        store = place_pnputil(sc)
        staging = temp_folder(sc) / INSTALL_FOLDER
        original = (sc.build_dir / "drivers" / "packages"
                    / f"kqdrv_{sc.platform.package}.pkg").read_bytes()
        script_name = PACKAGES[sc.platform.package]["script"]
        stub, settings, entries = read_archive(original)
        changed = write_archive(stub, settings, [
            (path, planted_script(sc) if path == script_name else data) for path, data in entries])
        state = {"package": False, "whole": None}

        def change():
            package = staging / "drv.exe"
            # From Linux, outside Wine's sharing rules, the package can be
            # renamed over even while the program holds it; it is, once the
            # program has read it back (well before its elevated start), so
            # that what is changed is the file the elevated side reads.
            if state["whole"] is None and package.exists() and package.stat().st_size == len(original):
                state["whole"] = time.monotonic()
            if not state["package"] and state["whole"] and time.monotonic() - state["whole"] > 0.3:
                staged = staging / "drv.exe.new"
                staged.write_bytes(changed)
                staged.replace(package)
                state["package"] = True
                return "drv.exe"
            done = []
            for name, data in ((script_name, planted_script(sc)),
                               ("KQ_6200_WINKEY.cer", b"planted certificate\r\n"),
                               ("KQ_6200_FSK.inf", b"; planted\r\n")):
                path = staging / name
                if path.exists() and path.read_bytes() != data:
                    path.write_bytes(data)
                    done.append(name)
            return done
        planter = Planter(change)
        dialog = accept_offer(sc)
        sc.wait_msgbox(INSTALLER, timeout=90)
        done = planter.stop()
        expect("drv.exe" in done, f"the package was not changed in time: {done}")
        expect_equal(planted_runs(sc), [], "the changed script ran")
        expect_equal(sc.messages(), [OFFER, DISCONNECT, WITHOUT], "message boxes")
        expect(dialog in sc.display.find_windows(PROGRESS), "progress dialog gone at the refusal")
        expect_equal(store_log(store), [], "pnputil additions")
        answer_and_expect_exit(sc, 1)


CANNOT_WRITE = "Error: Can't write to drivers package"


@on_platforms()
def test_package_cannot_be_swapped_before_its_elevated_start(session, platform):
    """A Windows program of the same user (so that Wine's sharing rules apply
    to it as Windows' would) tries, from the moment the package appears until
    the elevated start, to map a writable view of it and close its handles
    (writing through the view from then on), rewrite it, rename it, delete
    it, move a file over it or move its folder away, each time putting the
    other architecture's sealed package in its place. What runs elevated is
    this architecture's package, to "Installation completed"; or, should the
    program find its package touched before it holds it, the installation
    ends with the existing write error and nothing is elevated. (Wine counts
    a writable view as a writer, so the held handle is refused where Windows
    would give it; there the package's descriptor refuses the view's open.)"""
    with session.scenario(platform=platform, tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        store = place_pnputil(sc)
        # The x64 build makes the x64 package alone: the x86 one comes from
        # the x86 build.
        other = "x86" if sc.platform.package == "x64" else "x64"
        shutil.copy2(session.build_dir(other) / "drivers" / "packages" / f"kqdrv_{other}.pkg",
                     sc.drive_c / "other.pkg")
        shutil.copy2(sc.binary("kq_swapper.exe"), sc.drive_c / "swapper.exe")
        staging = temp_folder(sc) / INSTALL_FOLDER
        log, stop = sc.drive_c / "swapper.log", sc.drive_c / "swapper.stop"
        swapper = sc.spawn(["C:\\swapper.exe", sc.windows_path(staging), "C:\\other.pkg",
                            "C:\\swapper.log", "C:\\swapper.stop"])
        accept_offer(sc)
        try:
            outcome = poll("the elevated start or a message", lambda: (
                "launched" if elevated_launch(sc) else
                "message" if sc.display.find_windows(INSTALLER) else None), 30, 0.02)
            if outcome == "launched":
                # Until the elevated side has unpacked, so after it has read
                # its own file; the program lets go of the package only
                # once that side has ended, and then removes it.
                files = wait_unpacked(wait_run_folder(sc), sc.platform.package)
        finally:
            stop.write_text("")
            swapper.wait(15)
        lines = [line for line in log.read_text().split("\n") if line] if log.exists() else []
        tries = next((int(line.split()[1]) for line in lines if line.startswith("tries ")), 0)
        swaps = [line for line in lines if not line.startswith("tries ")]
        sc.wait_msgbox(INSTALLER, timeout=60)
        if outcome == "message":
            # The program lets go of its writing handle for a moment before
            # it holds the package for reading only; what another program
            # does to it then (under Wine, which ignores the package's
            # descriptor), it sees in what it reads back, or as a writable
            # view that refuses the held handle.
            expect_equal(sc.messages(), [OFFER, DISCONNECT, CANNOT_WRITE], "message boxes")
            expect_equal(store_log(store), [], "pnputil additions")
            print(f"      {tries} tries to swap the package; {swaps} before the program held it")
            answer_and_expect_exit(sc, 1)
            return
        expect(tries >= 20, f"the swapper tried {tries} times while the package was there: {lines}")
        expect_equal(swaps, [], "what the swapper did to the package that was elevated")
        expect(set(package_files(sc.platform.package)) <= set(files), f"the run folder held {files}")
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        expect_equal(store_log(store), ["kq_6200_winkey.inf", "kq_6200_fsk.inf",
                                        "quorvanta_kq-6200_reserved.inf"], "pnputil additions")
        print(f"      {tries} tries to swap the package, none succeeded")
        answer_and_expect_exit_or_window(sc)


def test_planted_marker_does_not_complete(session):
    """Every marker planted by another process in the user's install folder
    while the real script fails (the driver-store tool refuses every driver):
    the installation ends as refused, never as completed."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc, refuse="")
        staging = temp_folder(sc) / INSTALL_FOLDER
        markers = ("cert.inf", "wk.inf", "fsk.inf", "cp.inf", "timeToCleanUp.inf")

        def plant():
            if not (staging / "drv.exe").exists():
                return None
            planted = [m for m in markers if not (staging / m).exists()]
            for marker in planted:
                (staging / marker).write_text("all_works_done\r\n")
            return planted
        planter = Planter(plant)
        accept_offer(sc)
        sc.wait_msgbox(INSTALLER, timeout=90)
        expect(planter.stop(), "no marker was planted")
        expect_equal(sc.messages(), [OFFER, DISCONNECT, WITHOUT], "message boxes")
        answer_and_expect_exit(sc, 1)


@on_platforms()
def test_elevated_image_is_the_package(session, platform):
    """What the program asks the shell to elevate is the package's
    self-extractor, as Wine resolves it, not a command shell or a script."""
    with session.scenario(platform=platform, tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        staging = temp_folder(sc) / INSTALL_FOLDER
        accept_offer(sc)
        poll("the elevated start", lambda: elevated_launch(sc), 20, 0.05)
        poll("the resolved command", lambda: "command" in (elevated_launch(sc) or {}), 5, 0.05)
        launch = elevated_launch(sc)
        package = sc.windows_path(staging / "drv.exe")
        expect_equal(launch["file"], package, "file elevated")
        command = launch["command"]
        expect(command.startswith(f'"{package}"') or command.startswith(package),
               f"the shell runs {command!r}, not the package")
        expect("cmd" not in command.lower() and ".bat" not in command.lower(),
               f"a command shell or script elevated: {command!r}")
        sc.wait_msgbox(INSTALLER, timeout=60)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        answer_and_expect_exit_or_window(sc)


def test_elevation_names_the_held_files_final_path(session):
    """The temporary folder is named in other letter case than it has on disk
    (the file system finds it all the same): the shell is asked to elevate
    the package by the path the system gives for the held file, in its
    folder, never by the names the program composed."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        (sc.drive_c / "kq tmp" / "mixed").mkdir(parents=True)
        set_temp_variables(sc, "C:\\KQ TMP\\Mixed")
        accept_offer(sc)
        poll("the elevated start", lambda: elevated_launch(sc), 20, 0.05)
        launch = elevated_launch(sc)
        folder = "C:\\kq tmp\\mixed\\" + INSTALL_FOLDER
        expect_equal((launch["file"], launch["dir"]), (folder + "\\drv.exe", folder),
                     "file elevated and its folder")
        sc.wait_msgbox(INSTALLER, timeout=60)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes")
        answer_and_expect_exit_or_window(sc)


def test_held_install_folder_made_a_link_before_the_package(session):
    """Another process of the user moves the install folder, held and still
    empty, away and puts a link to a folder of its own in its place (on
    Windows it would make the folder itself a junction): the package is made
    in the folder the program holds, by its handle, so that nothing is
    written or elevated where the link points; the installation completes
    from the folder held, or ends as unable to create or write the package
    (Wine: the file made in the folder moved cannot be opened again by its
    handle)."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        staging = temp_folder(sc) / INSTALL_FOLDER
        moved = staging.with_name(INSTALL_FOLDER + "-moved")
        target = sc.drive_c / "outside"
        target.mkdir()
        (target / "keep.txt").write_text("planted\n")

        def swap():
            if (moved.exists() or staging.is_symlink() or not staging.is_dir()
                    or any(staging.iterdir())):
                return None
            staging.rename(moved)
            staging.symlink_to(target, target_is_directory=True)
            return "swapped"
        planter = Planter(swap)
        accept_offer(sc, progress=False)
        sc.wait_msgbox(INSTALLER, timeout=60)
        expect(planter.stop() == ["swapped"], "the held folder was not moved while still empty")
        expect_equal(sorted(p.name for p in target.iterdir()), ["keep.txt"],
                     "files where the link points")
        launched = [c["file"] for c in sc.launches()]
        expect(all("outside" not in (file or "").lower() for file in launched),
               f"launched from where the link points: {launched}")
        messages = sc.messages()
        expect(messages[:2] == [OFFER, DISCONNECT] and
               messages[2:] in ([COMPLETED], [CANNOT_CREATE], [CANNOT_WRITE]),
               f"message boxes: {messages}")
        print(f"      {messages[-1]!r}; launched {launched}")
        sc.answer_msgbox(INSTALLER, "Return")


def start_second(sc, suffix):
    """Another instance of the program in the same prefix, traced to its own log."""
    log_path = sc.session.out_dir / f"{sc.name}-{suffix}.log"
    log = open(log_path, "wb")
    proc = sc.spawn(["C:\\app\\kq6200ports.exe"], debug="-all,+msgbox,+exec", stdout=log,
                    stderr=subprocess.STDOUT)
    return proc, log, log_path


def forget_added_drivers(sc):
    """Takes what the pnputil stand-in added out of the driver store again, so
    that the next start of the program offers the installation once more (as
    when the first script got stuck before them)."""
    for system in sc.system_folders():
        repository = sc.drive_c / "windows" / system / "DriverStore" / "FileRepository"
        for added in repository.glob("*_0standin"):
            added.rmdir()


def messages_in(log_path):
    """Message-box texts in a program's +msgbox trace."""
    text = log_path.read_bytes().decode("utf-8", "replace")
    return [decode_wine_string(m) for m in re.findall(r"trace:msgbox:MSGBOX_OnInit (L\".*)", text)]


def marker_folder(sc, staging, marker):
    """The folder the script writes its markers into, once `marker` is there:
    the run folder in Windows' Temp folder (or, where a script ran from the
    user's own install folder, that one)."""
    def found():
        temp = sc.drive_c / "windows" / "temp"
        candidates = [staging] + sorted(temp.glob("QuorvantaKQ6k-*"))
        return next((f for f in candidates if (f / marker).exists()), None)
    return poll(f"marker {marker}", found, 40, 0.02)


def windows_name(sc, folder):
    """A folder as the program names it in its messages."""
    return (run_folder_windows(folder) if folder.name.startswith("QuorvantaKQ6k-")
            else sc.windows_path(folder))


def second_instance_answered(sc, suffix):
    """Starts another instance, accepts its offer and answers what it says
    next; returns its exit code (None if it is still running 15 s later),
    its message boxes and whether it launched anything."""
    proc, log, log_path = start_second(sc, suffix)
    # The scenario's checks of "the program" follow the second instance now.
    first, sc.proc = sc.proc, proc
    try:
        sc.answer_msgbox(INSTALLER, "y")
        sc.answer_msgbox(INSTALLER, "Return")
        try:
            code = proc.wait(15)
        except subprocess.TimeoutExpired:
            code = None
    finally:
        sc.proc = first
        log.close()
    trace = log_path.read_bytes().decode("utf-8", "replace")
    return code, messages_in(log_path), "trace:exec:SHELL_execute" in trace


def expect_second_refused(sc, before, staging, folder, first, second):
    """A second program started now says an installation is already running,
    exits with code 1, launches nothing and leaves the files of `first` as
    they were (`before`)."""
    code, messages, launched = second_instance_answered(sc, "second")
    expect_unchanged(before, (snapshot(staging), snapshot(folder)),
                     f"files of {first} after {second}")
    expect_equal(messages, [OFFER, ALREADY_RUNNING], f"{second}'s message boxes")
    expect_equal(code, 1, f"{second}'s exit code")
    expect(not launched, f"{second} launched something")


def snapshot(folder):
    """Each file below folder by its relative path, with a digest of its bytes."""
    if not folder.exists():
        return None
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest()[:16]
            for p in sorted(folder.rglob("*")) if p.is_file()}


def expect_unchanged(before, after, what):
    """Names the files deleted, added or changed between two snapshots."""
    changes = []
    for (old, new) in zip(before, after):
        old, new = old or {}, new or {}
        changes += [f"deleted {n}" for n in old if n not in new]
        changes += [f"added {n}" for n in new if n not in old]
        changes += [f"changed {n}" for n in old if n in new and old[n] != new[n]]
    expect(not changes, f"{what}: {changes[:12]}")


def test_second_instance_starts_nothing(session):
    """While an installation runs (its script held between two steps), a
    second instance accepts the offer and is told that an installation is
    already running, exit code 1: it starts nothing and deletes nothing; the
    first installation then completes."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        store = place_pnputil(sc)
        hold = sc.drive_c / "windows" / "system32" / "devcon-standin.hold"
        hold.write_text("")
        staging = temp_folder(sc) / INSTALL_FOLDER
        accept_offer(sc)
        folder = marker_folder(sc, staging, "cp.inf")
        forget_added_drivers(sc)
        before = (snapshot(staging), snapshot(folder))

        expect_second_refused(sc, before, staging, folder, "the running installation",
                              "the second instance")

        hold.unlink()
        sc.wait_msgbox(INSTALLER, timeout=60)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, COMPLETED], "message boxes of the first")
        expect_equal(store_log(store), ["kq_6200_winkey.inf", "kq_6200_fsk.inf",
                                        "quorvanta_kq-6200_reserved.inf"], "pnputil additions")
        answer_and_expect_exit_or_window(sc)


def test_earlier_run_still_running_is_left_alone(session):
    """A first run ends with "still running" (its script hangs); a run started
    after it says that an installation is already running and deletes
    nothing of the first, whose script still runs."""
    with session.scenario(tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        slow_devcon(sc)
        staging = temp_folder(sc) / INSTALL_FOLDER
        accept_offer(sc)
        folder = marker_folder(sc, staging, "cp.inf")
        sc.wait_msgbox(INSTALLER, timeout=150)
        expect_equal(sc.messages(), [OFFER, DISCONNECT, still_running(windows_name(sc, folder))],
                     "message boxes of the first run")
        answer_and_expect_exit(sc, 1)
        before = (snapshot(staging), snapshot(folder))
        expect_equal(sorted(package_files(sc.platform.package) - set(listing(folder))), [],
                     "files of the first run deleted")
        forget_added_drivers(sc)

        expect_second_refused(sc, before, staging, folder, "the still running first run",
                              "the second run")


@on_platforms()
def test_script_that_ends_at_once_ends_the_waits(session, platform):
    """The command shell ends at once without running the script (a stand-in
    that does nothing is in its place), so no marker is ever written: the
    waits end with it and the refusal follows within 5 s, not after a
    30-second wait per marker."""
    with session.scenario(platform=platform, tree=tree("two-units"), drivers=FTDI_ONLY) as sc:
        place_pnputil(sc)
        staging = temp_folder(sc) / INSTALL_FOLDER
        # Wine prefers its own cmd.exe in the system folder unless told not to.
        replace_command_shell(sc, sc.binary("kq_standin.exe"))
        result = sc.wine(["reg", "add", r"HKCU\Software\Wine\DllOverrides", "/v", "cmd.exe",
                          "/t", "REG_SZ", "/d", "native", "/f"])
        expect_equal(result.returncode, 0, "reg add DllOverrides")
        dialog = accept_offer(sc)
        # The script is started at once after the launch: by the elevated side
        # once it has unpacked, or (where no elevated side unpacks) by it.
        poll("the launch that starts the script", lambda: elevated_launch(sc), 20, 0.01)
        launched = time.monotonic()
        folder = sc.drive_c / "windows" / "temp" / (
            (ELEVATED_PARAMS.fullmatch(elevated_launch(sc)["params"] or "") or ["", "-"])[1])
        ended = [None]

        def message_or_end():
            # Only the elevated side removes its folder, once the script has ended.
            if ended[0] is None and folder.name != "-" and not folder.exists():
                ended[0] = time.monotonic()
            return sc.display.focused(INSTALLER)
        poll("the outcome", message_or_end, 200, 0.01)
        shown = time.monotonic()
        expect(shown - launched <= 8, f"refusal {shown - launched:.1f} s after the launch, expected "
                                      "the unpacking, the script's end and the clean-up only")
        expect(ended[0] and shown - ended[0] <= 5,
               f"refusal {shown - (ended[0] or launched):.1f} s after the script ended, expected at "
               "most 5 s")
        expect_equal(sc.messages(), [OFFER, DISCONNECT, WITHOUT], "message boxes")
        expect(dialog in sc.display.find_windows(PROGRESS), "progress dialog gone at the refusal")
        expect_removed(staging, "package")
        answer_and_expect_exit(sc, 1)


@on_platforms()
def test_planted_cfgmgr32_is_not_loaded(session, platform):
    """The simulated cfgmgr32.dll lies beside the programs only, with Wine told
    to prefer a native cfgmgr32 for them: both take the system's (Wine's own,
    which knows no unit), so the window lists no unit and kqports finds
    none."""
    with session.scenario(platform=platform, tree=tree("two-units"), simulation="beside") as sc:
        expect((sc.app_dir / "cfgmgr32.dll").exists(), "no cfgmgr32.dll beside the programs")
        sc.start()
        sc.wait_window()
        sc.spy.wait_rows([X.NOT_FOUND], timeout=5)
        time.sleep(1.5)
        expect_equal(sc.spy.rows(), [X.NOT_FOUND], "rows a second refresh later")
        result = sc.wine(["C:\\app\\kqports.exe"])
        expect_equal(result.returncode, 1, f"kqports exit code (output {result.stdout!r})")
        expect(X.NOT_FOUND in result.stdout, f"kqports output: {result.stdout!r}")
        sc.click_button("Exit")
        expect_equal(sc.wait_exit(), 0, "exit code")

