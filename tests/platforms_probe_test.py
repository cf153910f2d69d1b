#!/usr/bin/env python3
"""What e2e/platforms.py makes of a machine: a kernel that refuses the tiny
32-bit program leaves the x64 programs alone, KQ_NO_32BIT forces that, and
the probe's program is one this machine's kernel either runs to exit code 42
or refuses, nothing else. Run by ctest (platforms_probe)."""

import errno
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "e2e"))
import platforms  # noqa: E402

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def main():
    os.environ.pop(platforms.FORCE_VARIABLE, None)
    with tempfile.TemporaryDirectory(dir=ROOT / "build") as folder:
        # The probe's own program: run to 42 where the machine runs 32-bit
        # code, refused with "Exec format error" where it does not.
        path = Path(folder) / "exit42"
        path.write_bytes(platforms.tiny_elf32())
        path.chmod(0o755)
        try:
            outcome = subprocess.run([str(path)]).returncode
        except OSError as error:
            outcome = errno.errorcode.get(error.errno)
        check(outcome in (42, "ENOEXEC"), f"the tiny 32-bit program gave {outcome!r}")
        machine = platforms.probe(folder)
        check(machine.runs_32bit == (outcome == 42),
              f"the probe says {machine} where the program gave {outcome!r}")

        # A program the kernel refuses stands for a kernel that runs no 32-bit code.
        refused = platforms.probe(folder, elf=platforms.tiny_elf32(machine=0))
        check(not refused.runs_32bit and "Exec format error" in refused.why_not,
              f"a refused program: {refused}")
        check(refused.platforms == (platforms.X64_WIN64,) and
              refused.default == refused.win64 == platforms.X64_WIN64,
              f"without 32-bit code: {refused.platforms}, default {refused.default}")
        check("x86 programs are built and their files checked, not run" in refused.summary()
              and refused.why_not in refused.summary(), f"its line: {refused.summary()!r}")

        for value, forced in (("1", True), ("0", False), ("", False)):
            os.environ[platforms.FORCE_VARIABLE] = value
            machine = platforms.probe(folder)
            check((not machine.runs_32bit and platforms.FORCE_VARIABLE in machine.why_not)
                  if forced else machine.runs_32bit == (outcome == 42),
                  f"{platforms.FORCE_VARIABLE}={value!r}: {machine}")
        os.environ.pop(platforms.FORCE_VARIABLE)

    for failure in failures:
        print(f"FAIL: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
