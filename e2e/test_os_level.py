"""OsLevel per Windows version that Wine emulates: exactly, through a probe built
from the program's own classification code, and through the program's
behaviour (above 9 it searches for the capital-letter MCU ID and splits audio;
otherwise the lower-case one with one audio line)."""

import expected as X
from common import E2EError, expect_equal, params, tree
from platforms import EVERY
from prefixes import WINDOWS_VERSIONS, WINDOWS_VERSIONS_64

# Wine's version table: XP is SP3, Vista SP2, 7 SP1; XP x64 is 5.2 SP2 workstation;
# 2003/2008/2008 R2 are servers; 8.1 and 10 answer as 8 to a program that declares
# no supported-OS list.
LEVELS = {"winxp": 4, "win2003": 13, "vista": 7, "win2008": 13, "win7": 9, "win2008r2": 13,
          "win8": 10, "win81": 10, "win10": 10, "winxp64": 4}


def test_os_level_probe(session):
    """Every version on every platform this machine runs, in one prefix each:
    a process reads the version when it starts, so it can be switched between
    runs."""
    failures = []
    for platform in EVERY:
        if platform not in session.machine.platforms:
            continue
        versions = WINDOWS_VERSIONS if platform.arch == "win32" else WINDOWS_VERSIONS_64
        with session.scenario(platform.name, platform=platform, app=False) as sc:
            probe = sc.binary("kq_oslevel_probe.exe")
            for version in versions:
                sc.set_windows_version(version)
                result = sc.wine([probe])
                level = result.stdout.strip()
                if level != str(LEVELS[version]):
                    failures.append(f"{platform.name}/{version}: {level!r}, "
                                    f"expected {LEVELS[version]}")
    if failures:
        raise E2EError("; ".join(failures))


CASES = [(f"x86-win32-{v}", {"platform": "x86-win32", "winver": v}) for v in WINDOWS_VERSIONS] + \
        [(f"x86-win64-{v}", {"platform": "x86-win64", "winver": v})
         for v in ("winxp64", "win7", "win10")] + \
        [(f"x64-win64-{v}", {"platform": "x64-win64", "winver": v}) for v in ("win7", "win10")]


@params(*CASES)
def test_split_audio_by_version(session, platform, winver):
    split = LEVELS[winver] > 9
    with session.scenario(platform=platform, winver=winver, tree=tree("mixed-case")) as sc:
        sc.start()
        sc.wait_window()
        sc.spy.wait_rows(X.UNIT_A_SPLIT if split else X.UNIT_B_JOINED, timeout=3)
        sc.screenshot()
        expect_equal(sc.messages(), [], "message boxes at start-up")
