"""The examples of program output in the documents.

Each example stands between a line that names it and an end line:

    <!-- example: NAME -->            (Markdown)
    ```
    C:\\> kqports --serial 40117 --role cat
    COM9
    ```
    <!-- end of example -->

or, in the zip's README.txt (whose marker lines the release leaves out), the
same with "#example: NAME" and "#end of example" and the block indented by
two blanks instead of fenced; in the man page's source, with "; example:
NAME" and "; end of example" (scdoc comments), fenced, without the command
line. EXAMPLES says how each is made: which system's
program, on which tree or test bed, with which arguments. The programs print
them (on the demo trees under Wine, on the test beds on Linux); a test
compares every committed example with what the program prints now, and
scripts/examples.sh writes them anew. Times are the one thing that may
differ: each is compared as a time, not by its digits. A port's holder
started by the test has its process ID replaced by DOCUMENTED_PID, and what
the machine around a Linux test bed adds, processes the look at the
holders could not read, is taken out as the beds' expected outputs leave it
out (the line that says so, and its count in the JSON).
"""

import re
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = ("README.md", "docs/kqports.md", "packaging/windows/README.txt",
             "console/kqports.1.scd")
START = re.compile(r"^(?:<!-- example: (\S+) -->|#example: (\S+)|; example: (\S+))$")
END = ("<!-- end of example -->", "#end of example", "; end of example")
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d")
# The line of a Linux report on processes not looked at for holders, and
# their count in its JSON.
UNINSPECTED_LINE = re.compile(r"^Not looked at for holders of the ports: .*\n?", re.M)
UNINSPECTED_COUNT = re.compile(r'"uninspected": \d+')


@dataclass(frozen=True)
class Example:
    system: str                       # "windows" (kqports.exe under Wine) or "linux"
    tree: str                         # demo tree (sim/trees/) or test bed
    args: tuple = ()                  # kqports's arguments
    watch: tuple = ()                 # --watch: the trees it sees after the first, in order
    winver: str = "win10"
    shown: tuple = field(default=None)  # the command line as shown, when not `args`
    before: tuple = ()                # lines shown before the command line
    prompt: bool = True               # whether the command line is shown
    lines: tuple = ()                 # only the output's lines that start so, when given
    fence: str = ""                   # the Markdown fence's language
    python: str = ""                  # Python code the output is piped into, when given


EXAMPLES = {
    "windows-report": Example("windows", "two-units"),
    "windows-role": Example("windows", "two-units", ("--serial", "40117", "--role", "cat")),
    "windows-serial": Example("windows", "two-units", ("--serial", "40262")),
    "windows-seen": Example("windows", "no-mcu"),
    "windows-help": Example("windows", "two-units", ("--help",)),
    "windows-json": Example("windows", "example", ("--json",)),
    "windows-watch": Example("windows", "two-units", ("--watch",),
                             watch=("one-unit", "empty")),
    "windows-script": Example("windows", "two-units", ("--json",), python=(
        "import json,sys; print(next(u['cat']['name'] for u in json.load(sys.stdin)['units'] "
        "if u['serial'] == '40117'))")),
    "linux-help": Example("linux", "", ("--help",)),
    # Made by tests/udev: a unit the rules named, its CAT port held by flrig;
    # the links udevadm made from the rules for every unit.
    "linux-report": Example("linux", "with-rules"),
    "linux-json": Example("linux", "with-rules", ("--json",), prompt=False, fence="json",
                          lines=('      "cat": ', '      "audioIn": ')),
    "linux-links": Example("linux", "two-units", ("--udev-rules",), before=(
        "$ kqports --udev-rules | sudo tee /etc/udev/rules.d/70-kq6200.rules",
        "$ sudo udevadm control --reload",
        "$ sudo udevadm trigger --subsystem-match=tty --subsystem-match=sound --action=add"),
        shown=("cd /dev && find kq6200 -type l -printf '%p -> %l\\n' | sort",)),
    # Made by tests/udev: the settings of each program for two units the rules named.
    "linux-for-wsjtx": Example("linux", "two-with-rules", ("--for", "wsjtx")),
    "linux-for-rigctld": Example("linux", "two-with-rules", ("--for", "rigctld")),
    "linux-for-direwolf": Example("linux", "two-with-rules", ("--for", "direwolf")),
    "linux-for-fldigi": Example("linux", "two-with-rules", ("--for", "fldigi")),
    "linux-for-flrig": Example("linux", "two-with-rules", ("--for", "flrig")),
    # Two radios, one of them labelled by the labelling rules.
    "linux-two-radios": Example("linux", "two-labelled"),
}

# The process ID an example shows for a holder of a port.
DOCUMENTED_PID = 4242


@dataclass
class Block:
    document: str     # relative to ROOT
    name: str
    first: int        # index of the first line of the block (after the marker)
    end: int          # index of the end line
    text: str         # the block as committed
    style: str        # "markdown", "text" (indented) or "man" (fenced, no command line)


def blocks(root=ROOT):
    """Every example block of every document, in order."""
    found = []
    for document in DOCUMENTS:
        lines = (root / document).read_text(encoding="utf-8").splitlines()
        at = 0
        while at < len(lines):
            match = START.match(lines[at].strip())
            if not match:
                at += 1
                continue
            end = next((i for i in range(at + 1, len(lines)) if lines[i].strip() in END), None)
            if end is None:
                raise ValueError(f"{document}:{at + 1}: example without its end line")
            name = match[1] or match[2] or match[3]
            style = "markdown" if match[1] else "text" if match[2] else "man"
            found.append(Block(document, name, at + 1, end, "\n".join(lines[at + 1:end]), style))
            at = end + 1
    return found


def prompt(example):
    shown = example.shown or ("kqports",) + tuple(example.args)
    if example.python:
        shown += ("|", "python", "-c", f'"{example.python}"')
    return ("C:\\> " if example.system == "windows" else "$ ") + " ".join(shown)


def render(block, output):
    """The block for `output` (LF line ends), with the command line before it."""
    example = EXAMPLES[block.name]
    lines = output.rstrip("\n").split("\n")
    if example.lines:
        lines = [line for line in lines if line.startswith(example.lines)]
    if block.style == "man":
        return "\n".join(["```"] + lines + ["```"])
    if example.prompt:
        lines = list(example.before) + [prompt(example)] + lines
    if block.style == "markdown":
        return "\n".join(["```" + example.fence] + lines + ["```"])
    return "\n".join(("  " + line).rstrip() for line in lines)


def with_documented_pid(output, pid):
    """`output` with the process ID of a port's holder, in the text and in
    the JSON, as the examples show it."""
    return re.sub(rf'(\(pid |"pid": ){pid}\b', rf"\g<1>{DOCUMENTED_PID}", output)


def same(committed, made):
    return TIME.sub("TIME", committed) == TIME.sub("TIME", made)


def compare_or_write(outputs, write, system, root=ROOT):
    """Compares (or, with write, replaces) every block of the examples in
    `outputs` (name -> what the program printed; all of `system`'s, or those
    one runner makes) with it. Returns the problems: blocks that differ,
    names without a block, blocks of no known name."""
    problems, changed = [], {}
    names = set(outputs)
    unknown = names - {name for name, e in EXAMPLES.items() if e.system == system}
    if unknown:
        raise ValueError(f"not examples of {system}: {sorted(unknown)}")
    if system == "linux":
        outputs = {name: UNINSPECTED_COUNT.sub('"uninspected": 0', UNINSPECTED_LINE.sub("", out))
                   for name, out in outputs.items()}
    shown = set()
    for block in blocks(root):
        if block.name not in EXAMPLES:
            problems.append(f"{block.document}: no example is named {block.name}")
            continue
        if block.name not in names:
            continue
        shown.add(block.name)
        made = render(block, outputs[block.name])
        if same(block.text, made):
            continue
        if write:
            changed.setdefault(block.document, []).append((block, made))
        else:
            problems.append(f"{block.document}: example {block.name} differs from what the "
                            f"program prints; scripts/examples.sh writes it anew\n"
                            f"--- committed\n{block.text}\n--- printed\n{made}")
    problems += [f"example {name} stands in no document" for name in sorted(names - shown)]
    for document, replacements in changed.items():
        path = root / document
        lines = path.read_text(encoding="utf-8").split("\n")
        for block, made in sorted(replacements, key=lambda r: -r[0].first):
            lines[block.first:block.end] = made.split("\n")
        path.write_text("\n".join(lines), encoding="utf-8")
    return problems


def synopsis_problems(help_text):
    """The man page's SYNOPSIS must be the usage lines of --help (a line
    indented further continues the one before), markup aside, and the line
    of --help and --version."""
    lines = []
    for line in help_text.split("\n"):
        if not (line.startswith("Usage:") or line.startswith(" ")):
            break
        line = line.removeprefix("Usage:")
        if line.startswith("        ") and lines:
            lines[-1] += " " + line.strip()
        else:
            lines.append(line.strip())
    lines.append("kqports --help | --version")
    page = (ROOT / "console" / "kqports.1.scd").read_text(encoding="utf-8")
    section = page.split("# SYNOPSIS", 1)[1].split("\n# ", 1)[0]
    shown = [" ".join(re.sub(r"[*_]", "", line).split()) for line in section.split("\n\n")
             if line.strip()]
    wanted = [" ".join(line.split()) for line in lines]
    return [] if shown == wanted else [f"the man page's SYNOPSIS {shown} is not --help's {wanted}"]


def main():
    """The Linux examples that need no test bed, from the kqports given, and
    the man page's SYNOPSIS against --help: doc_examples.py --kqports PATH
    [--write]."""
    import argparse
    import subprocess
    import sys
    parser = argparse.ArgumentParser(description=main.__doc__)
    parser.add_argument("--kqports", required=True)
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args()
    outputs = {}
    for name, example in EXAMPLES.items():
        if example.system != "linux" or example.tree:
            continue  # those on a test bed are tests/udev's to make
        result = subprocess.run([args.kqports, *example.args], capture_output=True, text=True,
                                timeout=30)
        outputs[name] = result.stdout
    problems = compare_or_write(outputs, args.write, "linux")
    problems += synopsis_problems(subprocess.run([args.kqports, "--help"], capture_output=True,
                                                 text=True, timeout=30).stdout)
    print("\n".join(problems) if problems else
          f"doc_examples: {len(outputs)} Linux example(s) as the program prints them")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
