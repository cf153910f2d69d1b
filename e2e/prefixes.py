"""Wine prefixes: a 32-bit and a 64-bit template made once per Wine version
and cached, and a throw-away copy of one for each scenario, with its own
wineserver, the Windows version it needs and the Windows programs run in it.
Where the machine runs no 32-bit code there is only the 64-bit template,
made and used through Wine's 64-bit loader (platforms.py)."""

import contextlib
import fcntl
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path, PureWindowsPath

from common import E2EError, log, run
from platforms import this_machine, wine_command, wine_environment

# Bump when the template recipe below changes, so cached templates are rebuilt.
TEMPLATE_RECIPE = 4
READY = ".kq-template-ready"
# Wine draws the caption buttons and scroll bar arrows with the glyphs of its
# Marlett font; Debian's fonts-wine ships it, but this Wine does not find it
# there, and without it a close box is drawn as the letter "r". In the
# prefix's own Fonts folder it is found.
MARLETT = Path("/usr/share/wine/fonts/marlett.ttf")

WINDOWS_VERSIONS = ("winxp", "win2003", "vista", "win2008", "win7", "win2008r2", "win8",
                    "win81", "win10")
# A 64-bit prefix has no 32-bit XP; it offers XP x64 (5.2) instead.
WINDOWS_VERSIONS_64 = ("winxp64",) + WINDOWS_VERSIONS[1:]


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


def wine_env(prefix, display, debug="-all"):
    """Environment for every Wine process of a prefix, on display."""
    env = dict(display.env, WINEPREFIX=str(prefix), WINEDEBUG=debug,
               WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d", **wine_environment())
    env.pop("WINEARCH", None)
    return env


class Templates:
    """The prefix templates of the installed Wine, kept in
    <folder>/<wine --version>-r<recipe>[-64only]/<arch> once built: a 64-bit
    one made without 32-bit code lacks what wineboot sets up for 32-bit
    programs, and is kept apart."""

    def __init__(self, folder):
        self.wine_version = run(wine_command() + ["--version"]).stdout.strip()
        slug = re.sub(r"[^A-Za-z0-9.]+", "_", self.wine_version)
        only64 = "" if this_machine().runs_32bit else "-64only"
        self.folder = Path(folder) / f"{slug}-r{TEMPLATE_RECIPE}{only64}"

    def get(self, arch, display):
        """The template for arch ('win32' or 'win64'), built now if missing."""
        target = self.folder / arch
        if (target / READY).exists():
            return target
        self.folder.mkdir(parents=True, exist_ok=True)
        with open(self.folder / f".{arch}.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)   # another run may be building it
            if (target / READY).exists():
                return target
            started = time.monotonic()
            staging = Path(tempfile.mkdtemp(prefix=f".{arch}-", dir=self.folder))
            env = dict(wine_env(staging, display), WINEARCH=arch)
            try:
                run(wine_command() + ["wineboot", "-i"], env=env, timeout=240)
                run(["wineserver", "-w"], env=env, timeout=120)
                # Wine draws the frame and manages focus itself: without it every
                # close costs 2 s and focus stays on the root window. A crash
                # exits with code 5 instead of blocking on winedbg's dialog.
                set_reg_values(staging / "user.reg", r"Software\Wine\X11 Driver", {"Managed": "N"})
                set_reg_values(staging / "user.reg", r"Software\Wine\WineDbg",
                               {"ShowCrashDialog": 0})
                if not MARLETT.exists():
                    raise E2EError(f"{MARLETT} is missing: scripts/setup.sh installs fonts-wine")
                shutil.copy2(MARLETT, staging / "drive_c" / "windows" / "Fonts" / MARLETT.name)
                (staging / READY).write_text(self.wine_version + "\n")
                shutil.rmtree(target, ignore_errors=True)
                staging.rename(target)
            except BaseException:
                run(["wineserver", "-k"], env=env, check=False, timeout=30)
                shutil.rmtree(staging, ignore_errors=True)
                raise
            log(f"template {arch} built in {time.monotonic() - started:.1f} s")
        return target


class Prefix:
    """A copy of a template at path, with its own wineserver. close() ends
    every Wine process of it and removes it (unless keep)."""

    def __init__(self, path, template, arch, display, keep=False):
        started = time.monotonic()
        self.path, self.arch, self.display, self.keep = Path(path), arch, display, keep
        self.drive_c = self.path / "drive_c"
        self.cwd = self.drive_c          # where Windows programs start by default
        self.processes = []
        run(["cp", "-al", str(template), str(self.path)])
        # wineserver rewrites .reg files in place: through the hard link it would
        # rewrite the template's.
        for reg in template.glob("*.reg"):
            (self.path / reg.name).unlink()
            shutil.copy2(reg, self.path / reg.name)
        log(f"{self.path.name}: prefix {arch} in {(time.monotonic() - started) * 1000:.0f} ms")

    def env(self, debug="-all"):
        return wine_env(self.path, self.display, debug)

    def spawn(self, args, cwd=None, debug="-all", stdout=subprocess.DEVNULL,
              stderr=subprocess.DEVNULL, **kwargs):
        """Starts a Windows program in this prefix and returns its process."""
        proc = subprocess.Popen(wine_command() + [str(a) for a in args], cwd=cwd or self.cwd,
                                env=self.env(debug), stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=stderr, **kwargs)
        self.processes.append(proc)
        return proc

    def wine(self, args, timeout=30, cwd=None, debug="-all"):
        """Runs a Windows program in this prefix to its end and returns its result
        (`returncode`, `stdout` and `stderr` as text, `stdout_bytes` and
        `stderr_bytes` as written).

        Output goes through files, not pipes: a wine process that has to start
        the prefix's services hands them its standard handles, and a pipe would
        then stay open until they exit, seconds after the program itself.
        """
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(
                wine_command() + [str(a) for a in args], env=self.env(debug), timeout=timeout,
                stdin=subprocess.DEVNULL, stdout=out, stderr=err, cwd=cwd or self.cwd)
            out.seek(0)
            err.seek(0)
            result.stdout_bytes, result.stderr_bytes = out.read(), err.read()
            result.stdout = result.stdout_bytes.decode("utf-8", errors="replace")
            result.stderr = result.stderr_bytes.decode("utf-8", errors="replace")
        return result

    def set_windows_version(self, version):
        """winecfg /v: sets the version keys of the registry as Windows has them.
        (Wine 8's per-prefix "Version" value swaps win7 and win2008r2.) Also
        starts the prefix's wineserver and services, which later programs then
        reuse."""
        started = time.monotonic()
        # Once again after a failure: the first Wine program of a copy made
        # from a new 64-bit template, through the 64-bit loader alone, was
        # once seen to fail while the prefix's services were starting.
        for _ in range(2):
            result = self.wine(["winecfg", "/v", version], timeout=90)
            if result.returncode == 0:
                break
            log(f"{self.path.name}: winecfg /v {version} exited {result.returncode}")
            run(["wineserver", "-w"], env=self.env(), check=False, timeout=30)
        if result.returncode != 0:
            raise E2EError(f"winecfg /v {version} failed ({result.returncode}, twice): "
                           f"{result.stderr[-300:]}")
        log(f"{self.path.name}: {self.arch}/{version} set in {time.monotonic() - started:.2f} s")

    def system_folders(self):
        """The prefix's system folders: system32, and syswow64 in a 64-bit one."""
        return ["system32"] + (["syswow64"] if self.arch == "win64" else [])

    def add_driver_store(self, folders, systems=None):
        """Creates folders in the driver store of each of systems (default:
        every system folder of the prefix). A 32-bit process in a 64-bit prefix
        sees system32\\DriverStore in syswow64 while WOW64 redirection is on,
        in system32 only with it off."""
        for system in systems or self.system_folders():
            if system not in self.system_folders():
                raise ValueError(f"{self.arch} prefix has no {system}")
            repository = self.drive_c / "windows" / system / "DriverStore" / "FileRepository"
            repository.mkdir(parents=True, exist_ok=True)
            for folder in folders:
                (repository / folder).mkdir(exist_ok=True)

    def windows_path(self, path):
        """C:\\... for a path under drive_c."""
        return "C:\\" + str(Path(path).relative_to(self.drive_c)).replace("/", "\\")

    def unix_path(self, windows_path):
        """The file under drive_c for a C:\\... path."""
        parts = PureWindowsPath(windows_path).parts
        if not parts or parts[0].upper() != "C:\\":
            raise E2EError(f"not a C: path: {windows_path!r}")
        return self.drive_c.joinpath(*parts[1:])

    def close(self):
        run(["wineserver", "-k"], env=self.env(), check=False, timeout=30)
        for proc in self.processes:
            if proc.poll() is None:
                proc.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(10)
        run(["wineserver", "-w"], env=self.env(), check=False, timeout=30)
        if not self.keep:
            shutil.rmtree(self.path, ignore_errors=True)
