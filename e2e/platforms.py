"""The pairings of a Windows program and a Wine prefix that the scenarios run
on, which of them this machine can run, and how Wine is started for them.

    python3 e2e/platforms.py     # one line: what the scenarios will run here

A platform is the program's processor and the prefix's: the x86 programs
(build/windows) on a 32-bit and on a 64-bit prefix, the x64 programs
(build/windows-x64) on a 64-bit prefix. The x86 ones need a kernel that runs
32-bit code, which some machines' kernels do not (Wine's 32-bit loader then
fails with "Exec format error"); whether this one does is found out by
running a tiny 32-bit program, not guessed from names. Where it does not,
every scenario runs the x64 programs on a 64-bit prefix, started through
Wine's 64-bit loader. KQ_NO_32BIT=1 takes that path on any machine
(scripts/without-32bit.sh also makes the 32-bit loader unrunnable, as there).
Standard library only.
"""

import errno
import functools
import os
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

FORCE_VARIABLE = "KQ_NO_32BIT"
WINE64_LOADER = Path("/usr/lib/wine/wine64")


@dataclass(frozen=True)
class Platform:
    program: str   # "x86" or "x64": which build's programs
    arch: str      # "win32" or "win64": the prefix

    @property
    def name(self):
        return f"{self.program}-{self.arch}"

    @property
    def package(self):
        """The driver package the program installs there: the x86 one on
        32-bit Windows, the x64 one on 64-bit Windows."""
        return "x86" if self.arch == "win32" else "x64"

    @property
    def wow64(self):
        """Whether the program runs under WOW64, which redirects System32."""
        return self.program == "x86" and self.arch == "win64"

    def system_folder(self):
        """The folder the program's process sees as System32."""
        return "syswow64" if self.wow64 else "system32"


X86_WIN32 = Platform("x86", "win32")
X86_WIN64 = Platform("x86", "win64")
X64_WIN64 = Platform("x64", "win64")
EVERY = (X86_WIN32, X86_WIN64, X64_WIN64)
BY_NAME = {p.name: p for p in EVERY}


def tiny_elf32(machine=3):
    """A static 32-bit ELF program for i386 (machine 3) that exits with code
    42 and does nothing else: an ELF header, one loadable segment, and
    mov eax, 1; mov ebx, 42; int 0x80. Another machine number makes a file
    that no kernel runs (execve fails with ENOEXEC)."""
    base, header, segment = 0x08048000, 52, 32
    code = bytes.fromhex("b801000000" "bb2a000000" "cd80")
    size = header + segment + len(code)
    ident = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)
    elf = ident + struct.pack("<HHIIIIIHHHHHH", 2, machine, 1, base + header + segment, header,
                              0, 0, header, segment, 1, 0, 0, 0)
    program = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return elf + program + code


@dataclass(frozen=True)
class Machine:
    runs_32bit: bool
    why_not: str   # why it runs no 32-bit code ("" when it does)

    @property
    def platforms(self):
        return EVERY if self.runs_32bit else (X64_WIN64,)

    @property
    def default(self):
        """The platform of a scenario that runs on one only."""
        return X86_WIN32 if self.runs_32bit else X64_WIN64

    @property
    def win64(self):
        """The platform of a scenario that wants a 64-bit prefix: the x86
        program under WOW64 where it can run."""
        return X86_WIN64 if self.runs_32bit else X64_WIN64

    def summary(self):
        if self.runs_32bit:
            return ("Wine: this machine runs 32-bit code: the scenarios run the x86 programs on "
                    "32-bit and 64-bit prefixes and the x64 programs on a 64-bit prefix")
        return (f"Wine: this machine runs no 32-bit code ({self.why_not}): every scenario runs "
                "the x64 programs on a 64-bit prefix; the x86 programs are built and their "
                "files checked, not run")


def forced():
    return os.environ.get(FORCE_VARIABLE, "") not in ("", "0")


def probe(folder=None, elf=None):
    """Runs tiny_elf32() (or elf, a test's) and tells whether the kernel ran it."""
    if forced():
        return Machine(False, f"{FORCE_VARIABLE} is set")
    with tempfile.TemporaryDirectory(prefix="kq-elf32-", dir=folder) as scratch:
        program = Path(scratch) / "exit42"
        program.write_bytes(tiny_elf32() if elf is None else elf)
        program.chmod(0o755)
        try:
            code = subprocess.run([str(program)], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=10).returncode
        except OSError as error:
            if error.errno in (errno.ENOEXEC, errno.ELIBBAD):
                return Machine(False, f"the kernel refused a 32-bit program: {error.strerror}")
            raise
    if code != 42:
        return Machine(False, f"a 32-bit program ran but exited with {code}, not 42")
    return Machine(True, "")


@functools.lru_cache(maxsize=None)
def this_machine():
    """probe(), once a process; in a folder where programs may be run (/tmp
    may be mounted noexec)."""
    folder = Path(__file__).resolve().parent.parent / "build"
    folder.mkdir(exist_ok=True)
    return probe(folder)


def wine_command():
    """How to start a Windows program: Debian's `wine`, which takes the
    32-bit loader whenever it is installed; the 64-bit loader itself where
    32-bit code cannot run."""
    return ["wine"] if this_machine().runs_32bit else [str(WINE64_LOADER)]


def wine_environment():
    """What Wine's processes need besides: the loader that starts the
    prefix's own programs, where it is not the default one."""
    return {} if this_machine().runs_32bit else {"WINELOADER": str(WINE64_LOADER)}


def main(argv):
    """No argument: the summary line. --program: the processor of the
    default platform's programs (x86 or x64), for the scripts that build
    them."""
    machine = this_machine()
    if argv[1:] == ["--program"]:
        print(machine.default.program)
    elif argv[1:]:
        print("usage: platforms.py [--program]", file=sys.stderr)
        return 2
    else:
        print(machine.summary())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
