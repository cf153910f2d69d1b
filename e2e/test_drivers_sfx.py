"""The driver packages' self-extractor under Wine: where it unpacks, what it
overwrites, and that a damaged or unsafe archive writes nothing. Archives of
our own are written here straight from sfx/FORMAT.md, so the stub is
also checked against the documented format rather than against the packer."""

import os
import struct
import zlib

from common import expect, expect_equal, listing, on_platforms
from test_drivers import PACKAGES

SETTINGS = ("Setup=install_KQ-6200x86.bat\r\nTempMode\r\nSilent=1\r\nOverwrite=1\r\n"
            "Title=KQ-6200 Driver installation")


def archive(entries, settings=SETTINGS):
    """Body and trailer as FORMAT.md describes them; entries: (path, bytes)."""
    text = settings.encode("utf-16-le")
    body = b"KQ6KPKG1" + struct.pack("<I", len(text)) + text
    body += struct.pack("<II", zlib.crc32(text), len(entries))
    for path, data in entries:
        raw = path.encode("utf-8")
        body += struct.pack("<H", len(raw)) + raw + struct.pack("<II", len(data), zlib.crc32(data))
        body += data
    return body + struct.pack("<I", len(body)) + b"KQ6KEND1"


def packages(sc):
    """The packages and the self-extractor of the scenario's build."""
    return sc.build_dir / "drivers" / "packages"


def own_package(sc):
    """The package the scenario's platform installs, and what it knows of it."""
    package = sc.platform.package
    return (packages(sc) / f"kqdrv_{package}.pkg").read_bytes(), PACKAGES[package]


def run_package(sc, package_bytes, folder, *args):
    """Writes the package as folder/drv.exe and runs it from another folder."""
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "drv.exe").write_bytes(package_bytes)
    elsewhere = sc.drive_c / "elsewhere"
    elsewhere.mkdir(exist_ok=True)
    result = sc.wine([sc.windows_path(folder / "drv.exe")] + list(args), cwd=elsewhere)
    expect_equal(listing(elsewhere), [], "files written into the working folder")
    return result.returncode


def test_sfx_unpacks_beside_itself_and_overwrites(session):
    with session.scenario(app=False, drivers=False) as sc:
        folder = sc.drive_c / "pkg dir & 100%"
        folder.mkdir()
        (folder / "KQ_6200_FSK.inf").write_text("left from an earlier run, longer than the new one")
        package, known = own_package(sc)
        expect_equal(run_package(sc, package, folder, "-y"), 0, "exit code")
        files = listing(folder)
        sub = known["sub"]
        for name in (known["script"], known["devcon"], "certmgr.exe", sub,
                     f"{sub}/libusb0.sys", f"{sub}/WdfCoInstaller01011.dll"):
            expect(name in files, f"{name} not unpacked: {files}")
        other = "amd64" if sub == "x86" else "x86"
        expect(other not in files, f"{other} folder from the {sc.platform.package} package")
        script = (folder / known["script"]).read_bytes()
        expect(b"pnputil" in script and script.count(b"\n") == script.count(b"\r\n"),
               "script missing or without CR LF line ends")
        expect(b"MI_02" in (folder / "KQ_6200_FSK.inf").read_bytes(), "FSK INF not overwritten")


# The self-extractor of each build: the x86 one, and the x64 one of the x64
# program's package.
@on_platforms("x86-win32", "x64-win64")
def test_sfx_own_format_round_trip(session, platform):
    """An archive written here from the format description unpacks exactly."""
    with session.scenario(platform=platform, app=False, drivers=False) as sc:
        stub = (packages(sc) / "kq_sfx.exe").read_bytes()
        entries = [("a.txt", b"alpha"), ("amd64/b.bin", bytes(range(256))), ("empty.cer", b""),
                   ("a~b.txt", "\u00e4".encode())]
        folder = sc.drive_c / "own"
        expect_equal(run_package(sc, stub + archive(entries), folder, "-y"), 0, "exit code")
        for path, data in entries:
            expect_equal((folder / path).read_bytes(), data, path)


@on_platforms("x86-win32", "x64-win64")
def test_sfx_rejects_damage_and_escapes(session, platform):
    """Each damaged or unsafe archive exits 4 and writes nothing at all, not even
    the files before the bad entry."""
    good = [("first.txt", b"written only if all is well"), ("x86/second.txt", b"x" * 100)]
    intact = archive(good)
    flipped = bytearray(intact)
    flipped[intact.index(b"x" * 100) + 50] ^= 1
    cases = {
        "crc": bytes(flipped),
        "truncated": intact[:40] + intact[-12:],
        "no trailer": intact[:-3],
        "parent": archive(good + [("../escape.txt", b"out")]),
        "absolute": archive(good + [("/escape.txt", b"out")]),
        "drive": archive(good + [("C:escape.txt", b"out")]),
        "backslash": archive(good + [("x86\\..\\..\\escape.txt", b"out")]),
        "device": archive(good + [("x86/NUL.txt", b"out")]),
        "other folder": archive(good + [("system32/escape.txt", b"out")]),
        "empty part": archive(good + [("x86//escape.txt", b"out")]),
        # Names Windows could take for another entry's file: beyond ASCII
        # (letter case by Windows' own table) and 8.3 aliases.
        "non-ascii": archive(good + [("\u00e4nderung.txt", b"out"), ("\u00c4NDERUNG.TXT", b"x")]),
        "short alias": archive(good + [("KQ_620~1.INF", b"out")]),
    }
    with session.scenario(platform=platform, app=False, drivers=False) as sc:
        stub = (packages(sc) / "kq_sfx.exe").read_bytes()
        for name, body in cases.items():
            folder = sc.drive_c / "damaged" / name.replace(" ", "-") / "pkg"
            code = run_package(sc, stub + body, folder, "-y")
            expect_equal(code, 4, f"exit code for {name}")
            expect_equal(listing(folder.parent), ["pkg", "pkg/drv.exe"], f"files after {name}")
        expect(not (sc.drive_c / "escape.txt").exists(), "escaped to C:\\")


def test_sfx_without_switch_only_tells(session):
    with session.scenario(app=False, drivers=False) as sc:
        folder = sc.drive_c / "plain"
        folder.mkdir()
        (folder / "drv.exe").write_bytes((packages(sc) / "kqdrv_x64.pkg").read_bytes())
        proc = sc.spawn(["drv.exe"], cwd=folder)
        sc.wait_msgbox("KQ-6200 Driver installation", 20)   # shown and taking the keys
        sc.display.xdotool("key", "Return")
        expect_equal(proc.wait(15), 2, "exit code")
        expect_equal(listing(folder), ["drv.exe"], "files after a start without -y")


def test_sfx_refuses_linked_folders(session):
    """The folder of the package, or a subfolder it unpacks into, is a link
    (Wine shows a unix symbolic link to a folder as a reparse point): exit
    code 6, and nothing is written, neither beside the package nor where the
    link points. A file where the subfolder belongs: exit code 5, nothing
    written either."""
    with session.scenario(app=False, drivers=False) as sc:
        package, known = own_package(sc)
        sub = known["sub"]
        target = sc.drive_c / "target"
        target.mkdir()
        (target / "keep.txt").write_text("planted\n")

        folder = sc.drive_c / "subfolder linked"
        folder.mkdir()
        (folder / sub).symlink_to(target, target_is_directory=True)
        expect_equal(run_package(sc, package, folder, "-y"), 6, f"exit code, {sub} a link")
        expect_equal(sorted(os.listdir(folder)), sorted(["drv.exe", sub]), "files beside the package")
        expect_equal(listing(target), ["keep.txt"], f"files where {sub} points")

        # Not a link but a file where the subfolder belongs: refused before any
        # file is written, too.
        folder = sc.drive_c / "subfolder a file"
        folder.mkdir()
        (folder / sub).write_text("planted\n")
        expect_equal(run_package(sc, package, folder, "-y"), 5, f"exit code, {sub} a file")
        expect_equal(sorted(os.listdir(folder)), sorted(["drv.exe", sub]), "files beside the package")

        (sc.drive_c / "linked").symlink_to(target, target_is_directory=True)
        expect_equal(run_package(sc, package, sc.drive_c / "linked", "-y"), 6,
                     "exit code, own folder a link")
        expect_equal(listing(target), ["drv.exe", "keep.txt"], "files where the folder points")
