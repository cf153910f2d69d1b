#!/usr/bin/env python3
"""cmake/KqPackaging.cmake on copies of the headers it reads: as they are, it
fills in the maintainer scripts' procedure and the rules files' names; with a
line of another shape, a value missing or given twice, it fails rather than
write a package script with a wrong value.

    python3 tests/packaging_facts.py
"""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
COPIED = ["units/unit_ids.h", "udev/udev_rules.h", "packaging/deb/apply-rules.sh.in"]
MCU = 'inline constexpr UsbFunctionId kMcuFunctionId{"0483", "A1DF"};'
RULES = 'inline constexpr char kRulesFileName[] = "70-kq6200.rules";'

# (what is changed, file, line as it is, line as changed)
CHANGES = [
    ("an ID in lower case", "units/unit_ids.h", MCU, MCU.replace("A1DF", "a1df")),
    ("an ID of three digits", "units/unit_ids.h", MCU, MCU.replace("A1DF", "A1D")),
    ("the MCU's ID under another name", "units/unit_ids.h", MCU, MCU.replace("kMcu", "kMain")),
    ("the MCU's ID twice", "units/unit_ids.h", MCU, MCU + "\n" + MCU.replace("A1DF", "A1DE")),
    ("a rules file name with a folder", "udev/udev_rules.h", RULES,
     RULES.replace('"70-', '"/etc/70-')),
    ("a rules file name made at run time", "udev/udev_rules.h", RULES,
     RULES.replace("constexpr char kRulesFileName[] =", "const std::string kRulesFileName =")),
]


def configure(tree):
    return subprocess.run(["cmake", f"-DPROJECT_SOURCE_DIR={tree}", f"-DKQ_PACKAGING_OUT={tree}/out",
                           "-P", str(ROOT / "cmake" / "KqPackaging.cmake")],
                          capture_output=True, text=True)


def main():
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        for what, name, line, changed in [("nothing", None, None, None)] + CHANGES:
            tree = Path(scratch) / str(abs(hash(what)))
            for path in COPIED:
                (tree / path).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy(ROOT / path, tree / path)
            if name:
                text = (tree / name).read_text()
                if text.count(line) != 1:
                    failures.append(f"{name} no longer holds the line {line!r} once")
                    continue
                (tree / name).write_text(text.replace(line, changed))
            done = configure(tree)
            if not name:
                out = tree / "out"
                if done.returncode != 0:
                    failures.append(f"the headers as they are: {done.stderr}")
                elif "@KQ_" in (out / "apply-rules.sh").read_text() or \
                        "= 0483:a1df ]" not in (out / "apply-rules.sh").read_text():
                    failures.append("the procedure lacks the MCU's ID, as sysfs writes it")
                elif "\nrules_file=70-kq6200.rules\n" not in (out / "names.sh").read_text():
                    failures.append("names.sh lacks the rules file's name")
            elif done.returncode == 0 or "expected one line matching" not in " ".join(done.stderr.split()):
                failures.append(f"{what}: configured without a word ({done.returncode})")
    for failure in failures:
        print("FAILED:", failure)
    print(f"{len(CHANGES) + 1 - len(failures)} of {len(CHANGES) + 1} passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
