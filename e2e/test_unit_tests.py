"""The program's unit tests, built with mingw and run under Wine, where wchar_t
is 16 bits wide as on Windows."""

import re

from common import ROOT, E2EError, expect, on_platforms

# Unit tests that may skip themselves under Wine, each with its reason; any
# other skip fails this scenario.
ALLOWED_SKIPS = {
    "InstallRunFolder.AFolderMadeWithTheDescriptorKeepsIt":
        "Wine 8 keeps no descriptor of a folder (only its staging builds do): it reads one back "
        "made up from the Unix mode bits; test_install_succeeds checks those bits",
    "PackageFileDescriptor.TheFileKeepsItAndNoHandleOfTheUserMayWriteIt":
        "Wine runs every process in Administrators, to whom the package file is granted full "
        "control, and enforces no file ACLs; test_install_succeeds checks the Unix mode Wine "
        "derives from the descriptor",
}


# Each build's, in a prefix of its own processor.
@on_platforms("x86-win32", "x64-win64")
def test_unit_tests_under_wine(session, platform):
    with session.scenario(platform=platform, app=False) as sc:
        tests = sc.binary("kq_tests.exe")
        # From the source root: the tests find their fixture trees there (Z:).
        result = sc.wine([tests], timeout=170, cwd=ROOT)
        output = result.stdout + result.stderr
        (session.out_dir / f"{sc.name}.log").write_text(output)
        passed = re.search(r"\[  PASSED  \] (\d+) tests?", output)
        failed = re.findall(r"\[  FAILED  \] (\S+)", output)
        if result.returncode != 0 or failed or not passed:
            raise E2EError(f"kq_tests.exe exited {result.returncode}; failed: {sorted(set(failed))}; "
                           f"see {session.out_dir / (sc.name + '.log')}")
        expect(int(passed.group(1)) > 0, "no unit test ran")
        skipped = set(re.findall(r"^\[  SKIPPED \] (\S+) \(\d+ ms\)", output, re.M))
        expect(skipped <= set(ALLOWED_SKIPS),
               f"unit tests skipped under Wine, and not allowed to be: {sorted(skipped - set(ALLOWED_SKIPS))}")
        print(f"      {passed.group(1)} unit tests passed under Wine")
