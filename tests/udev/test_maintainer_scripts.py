"""The package's maintainer scripts on the two-unit test bed."""

from pathlib import Path

import testbeds
from harness import BEDS, in_namespace, maintainer_script


def test_maintainer_scripts(make_bed, tmp_path, kqports):
    """postinst and postrm on the two-unit test bed, with a udevadm that only
    notes its arguments: udev is told to reload and to handle the units'
    three USB functions again, no other device; nothing at all where udev's
    control socket is missing (a chroot, a container)."""
    make_bed(BEDS["two-units"][0], shared=True)
    scratch = str(tmp_path)
    (Path(scratch) / "bin").mkdir()
    udevadm = Path(scratch) / "bin" / "udevadm"
    udevadm.write_text(f'#!/bin/sh\necho "$*" >> {scratch}/calls\n')
    udevadm.chmod(0o755)
    for name in ("postinst", "postrm"):
        (Path(scratch) / name).write_text(maintainer_script(name, kqports))
    socket = "python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"/run/udev/control\")'"
    runs = {"no udev": "postinst configure", "postinst": "postinst configure",
            "postrm": "postrm purge", "upgrade": "postrm upgrade 1.0.0.1"}
    script = ""
    for what, args in runs.items():
        if what == "postinst":
            script += f"mkdir -p /run/udev && {socket}\n"
        script += (f"echo '== {what}' >> {scratch}/calls; PATH={scratch}/bin:$PATH "
                   f"sh {scratch}/{args} || echo '{what} failed' >> {scratch}/calls\n")
    in_namespace(scratch, "", script)
    calls = (Path(scratch) / "calls").read_text().split("== ")[1:]
    got = {part.split("\n", 1)[0]: part.split("\n", 1)[1].splitlines() for part in calls}
    functions = [f"{testbeds.ROOT}/{hub}/{hub}.{n}" for hub in ("1-4", "1-5") for n in (1, 2, 3)]
    assert got.get("no udev") == [], f"without udev's control socket, udevadm is not called: {got}"
    assert got.get("postinst") == ["control --reload"] + [
        f"trigger --action=change --subsystem-match={s} --parent-match=/sys{f}"
        for f in functions for s in ("tty", "sound")], \
        f"postinst reloads and handles each unit's functions' ports and cards, nothing else: " \
        f"{got.get('postinst')}"
    assert got.get("postrm") == ["control --reload"] + [
        f"trigger --action=change --subsystem-match=sound --parent-match=/sys{f}"
        for f in functions], \
        f"postrm on purge handles the units' sound cards only: {got.get('postrm')}"
    assert got.get("upgrade") == [], f"postrm on upgrade leaves udev alone: {got.get('upgrade')}"


def test_purge_names_the_rules_the_user_installed(make_bed, tmp_path, kqports):
    """A purge leaves the labels' rules the user installed in /etc (theirs,
    not the package's) and says so, naming the file; a removal says nothing."""
    make_bed(BEDS["two-units"][0], shared=True)
    scratch = Path(tmp_path)
    (scratch / "postrm").write_text(maintainer_script("postrm", kqports))
    label_rules = "71-kq6200-labels.rules"
    out = in_namespace(str(scratch), {label_rules: "# labels\n"},
                       f"sh {scratch}/postrm remove; echo '== purge'; sh {scratch}/postrm purge\n")
    removed, purged = out.split("== purge\n")
    assert removed == "", f"postrm remove said: {removed!r}"
    assert purged == (f"kqports: /etc/udev/rules.d/{label_rules} was installed by hand and stays; "
                      "remove it to stop its rules.\n"), f"postrm purge said: {purged!r}"
