"""A signed release as it leaves the project: no key in it, the zips' and the
packages' exact contents, every signature, the programs the signed builds'
and what tests/pe_check.py requires of their processor, lintian, and the ARM
programs run by qemu-user on this machine's /sys."""

import re
import signal
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import pe_check

ROOT = Path(__file__).resolve().parents[2]
ZIP_FILES = ("kq6200ports.exe", "kqports.exe", "README.txt", "SHA256SUMS")
DEB_FILES = ["./usr/bin/kqports", "./usr/lib/udev/rules.d/70-kq6200.rules",
             "./usr/share/doc/kqports/changelog.gz", "./usr/share/doc/kqports/copyright",
             "./usr/share/man/man1/kqports.1.gz"]
CONTROL_FILES = ["-rw-r--r-- ./control", "-rw-r--r-- ./md5sums", "-rwxr-xr-x ./postinst",
                 "-rwxr-xr-x ./postrm"]
RULES = "usr/lib/udev/rules.d/70-kq6200.rules"
# Each ARM package: the qemu-user that runs it, its machine as readelf names it.
ARM = {"arm64": ("qemu-aarch64", "AArch64"), "armhf": ("qemu-arm", "ARM")}
NOT_FOUND = "Quorvanta KQ-6200 not found"
# The driver packages' files by their resource ID in kq6200ports.exe.
PACKAGE_FILES = {188: "kqdrv_x86.pkg", 189: "kqdrv_x64.pkg"}
PROGRAMS = [("kq6200ports.exe", []), ("kqports.exe", ["--console"])]


def run(*command, timeout=120, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, **options)


def test_no_key_material_in_what_was_made(key):
    secrets = {"password": (key / "password").read_text().strip().encode(),
               "PKCS#12 file": (key / "sign.p12").read_bytes()[-64:],
               "private key": (key / "key.der").read_bytes()[-64:],
               "PEM key": b"PRIVATE KEY"}
    found = [f"{what} in {path}" for top in (ROOT / "dist", ROOT / "build" / "release")
             for path in top.rglob("*") if path.is_file() and not path.is_symlink()
             for what, secret in secrets.items() if secret in path.read_bytes()]
    assert not found


def test_zip_holds_one_folder_of_four_files_mode_0644(zip_path):
    archive = zipfile.ZipFile(zip_path)
    folder = zip_path.name[:-4]
    assert sorted(archive.namelist()) == sorted(f"{folder}/{name}" for name in ZIP_FILES)
    modes = {i.filename: oct(i.external_attr >> 16) for i in archive.infolist()
             if i.create_system != 3 or i.external_attr >> 16 != 0o100644}
    assert not modes, "not Unix mode 0644"
    readme = archive.read(f"{folder}/README.txt")
    assert not re.search(rb"^#(example: |end of example|status table|end of status table)",
                         readme, re.MULTILINE), "README.txt carries the marks of its examples"
    assert b"\r\n  FTDI ErrorCode: 7\r\n" in readme, "README.txt lacks the error codes"
    assert readme.count(b"\n") == readme.count(b"\r\n"), "README.txt has line ends without CR"
    assert ("-dev-" in folder) == (b"DEVELOPMENT BUILD" in readme), \
        "README.txt and the zip's name disagree on a development build"
    assert not re.search(rb"@[A-Z]+@", readme), "README.txt has a place not filled in"


def test_dist_sha256sums_list_the_two_zips_and_three_packages(dist, version):
    names = sorted(path.name for path in dist.iterdir() if path.name != "SHA256SUMS")
    dev = "-dev" if (dist / f"kq6200ports-{version}-dev-windows-x86.zip").exists() else ""
    assert names == sorted([f"kq6200ports-{version}{dev}-windows-{machine}.zip"
                            for machine in pe_check.MACHINES] +
                           [f"kqports_{version}_{arch}.deb" for arch in ("amd64", "arm64", "armhf")])
    done = run("sha256sum", "-c", "--strict", "SHA256SUMS", cwd=dist)
    assert done.returncode == 0, done.stdout + done.stderr
    assert sorted(line.split()[1] for line in (dist / "SHA256SUMS").read_text().splitlines()) == names


def test_zip_sha256sums_match(unzipped):
    done = run("sha256sum", "-c", "--strict", "SHA256SUMS", cwd=unzipped)
    assert done.returncode == 0, done.stdout + done.stderr
    listed = sorted(line.split()[1].lstrip("*") for line in
                    (unzipped / "SHA256SUMS").read_text().splitlines())
    assert listed == sorted(set(ZIP_FILES) - {"SHA256SUMS"})


@pytest.mark.parametrize("arch", sorted(ARM) + ["amd64"])
def test_package_holds_the_program_man_page_rules_copyright_changelog_only(debs, arch):
    listing = run("dpkg-deb", "-c", str(debs[arch])).stdout.splitlines()
    assert sorted(line.split()[5] for line in listing if not line.startswith("d")) == DEB_FILES


@pytest.mark.parametrize("arch", sorted(ARM) + ["amd64"])
def test_package_control_has_postinst_and_postrm(debs, arch):
    """The maintainer scripts apply the rules to the attached units."""
    control = subprocess.run(["dpkg-deb", "--ctrl-tarfile", str(debs[arch])], capture_output=True,
                             check=True).stdout
    listing = subprocess.run(["tar", "-tv"], input=control, capture_output=True,
                             check=True).stdout.decode().splitlines()
    assert sorted(f"{line.split()[0]} {line.split()[5]}" for line in listing
                  if line.split()[5] != "./") == CONTROL_FILES


def verify_signature(key, path):
    done = run("osslsigncode", "verify", "-CAfile", str(key / "cert.pem"), "-in", str(path))
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("name", ["kq6200ports.exe", "kqports.exe"])
def test_zip_program_is_the_signed_builds_and_verifies(key, unzipped, windows, name):
    assert (unzipped / name).read_bytes() == (windows / "bin" / name).read_bytes()
    verify_signature(key, unzipped / name)


def test_zip_program_carries_the_signed_packages_of_its_machine(key, unzipped, windows, machine):
    """The build made the packages of its processor alone, signed each, and
    embedded each as it was signed."""
    carried = pe_check.MACHINES[machine]["packages"]
    folder = windows / "drivers" / "packages"
    assert sorted(path.name for path in folder.glob("kqdrv_*.pkg")) == \
        sorted(PACKAGE_FILES[package_id] for package_id in carried)
    resources = pe_check.PeFile((unzipped / "kq6200ports.exe").read_bytes()).resources()
    embedded = {name: list(languages.values()) for (kind, name), languages in resources.items()
                if kind == pe_check.RT_DRIVER_PACKAGE}
    assert sorted(embedded) == carried
    for package_id in carried:
        verify_signature(key, folder / PACKAGE_FILES[package_id])
        assert embedded[package_id] == [(folder / PACKAGE_FILES[package_id]).read_bytes()]


@pytest.mark.parametrize("name, mode", PROGRAMS, ids=[name for name, _ in PROGRAMS])
def test_zip_program_passes_pe_check_as_its_machines_alone(unzipped, machine, name, mode):
    """Machine, subsystem, imports, icon, manifest, version and packages as
    tests/pe_check.py requires them of the zip's processor; checked as the
    other processor's program, it fails on its machine."""
    path = str(unzipped / name)
    command = [sys.executable, str(ROOT / "tests" / "pe_check.py"), *mode, "--machine"]
    done = run(*command, machine, path)
    assert done.returncode == 0, done.stdout
    assert f"{path}: {pe_check.machine_name(machine)}, " in done.stdout
    other = next(other for other in pe_check.MACHINES if other != machine)
    done = run(*command, other, path)
    assert done.returncode == 1
    assert f"not {pe_check.machine_name(other)}: checked with --machine {other}\n" in done.stdout


@pytest.mark.parametrize("name", [name for name, _ in PROGRAMS])
def test_pe_check_reads_the_headers_as_objdump_does(unzipped, name):
    """PE32+ has an image base of 8 bytes and its data directories 16 bytes
    further on than PE32: what tests/pe_check.py reads there, and the DLLs it
    finds through them, are what binutils reads."""
    path = unzipped / name
    pe = pe_check.PeFile(path.read_bytes())
    dump = run("objdump", "-p", str(path)).stdout

    def field(key, base):
        return int(re.search(rf"^{key}\s+([0-9a-f]+)\b", dump, re.M).group(1), base)

    assert (pe.magic, pe.image_base, pe.subsystem) == \
        (field("Magic", 16), field("ImageBase", 16), field("Subsystem", 16))
    assert (pe.os_major, pe.os_minor, pe.subsystem_major, pe.subsystem_minor) == \
        tuple(field(key, 10) for key in ("MajorOSystemVersion", "MinorOSystemVersion",
                                          "MajorSubsystemVersion", "MinorSubsystemVersion"))
    directories = [(int(rva, 16), int(size, 16)) for rva, size in
                   re.findall(r"^Entry [0-9a-f] ([0-9a-f]+) ([0-9a-f]+) ", dump, re.M)]
    assert pe.directories == directories
    assert pe.load_time_dlls() == re.findall(r"^\tDLL Name: (\S+)$", dump, re.M)


def test_lintian_finds_no_errors_or_warnings(debs):
    done = run("lintian", "--fail-on", "error,warning", "--no-tag-display-limit",
               *map(str, debs.values()), timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("arch", sorted(ARM))
def test_arm_program_under_qemu(unpacked, version, arch):
    """Its machine, --version, and the not-found line with exit code 1 on
    this machine's /sys (then what was seen of a unit's USB functions)."""
    qemu, machine = ARM[arch]
    program = unpacked[arch] / "usr" / "bin" / "kqports"
    header = run("readelf", "-h", str(program)).stdout
    assert re.search(rf"Machine:\s*{machine}$", header, re.M), header
    assert run(qemu, str(program), "--version").stdout == f"kqports {version}\n"
    done = run(qemu, str(program))
    lines = done.stdout.rstrip("\n").split("\n")
    assert (done.returncode, lines[0]) == (1, NOT_FOUND), done.stdout + done.stderr
    assert all(re.match(r"        [A-Z]", line) for line in lines[1:]), done.stdout


def test_armhf_serves_the_pis_its_description_names(debs, unpacked, version):
    """The armhf program is ARMv7, as Debian's armhf libraries it is built
    against are: it dies on an ARMv6 Pi's processor and runs on a Pi 2's.
    The package's description and the README say which Pis that is, in the
    same words."""
    program = str(unpacked["armhf"] / "usr" / "bin" / "kqports")
    attributes = run("readelf", "-A", program).stdout
    assert re.search(r"Tag_CPU_arch: v7$", attributes, re.M), attributes
    arm1176 = run("qemu-arm", "-cpu", "arm1176", program, "--version")
    assert arm1176.returncode == -signal.SIGILL, (arm1176.returncode, arm1176.stderr)
    cortex_a7 = run("qemu-arm", "-cpu", "cortex-a7", program, "--version")
    assert cortex_a7.stdout == f"kqports {version}\n", cortex_a7.stderr

    note = (ROOT / "packaging" / "deb" / "description-armhf").read_text()
    control = run("dpkg-deb", "--field", str(debs["armhf"]), "Description").stdout
    assert control.endswith(note), control
    for arch in ("amd64", "arm64"):
        assert note not in run("dpkg-deb", "--field", str(debs[arch]), "Description").stdout
    sentences = " ".join(line.strip() for line in note.splitlines() if line.strip() != ".")
    readme = " ".join((ROOT / "README.md").read_text().split())
    assert sentences in readme, "the README does not say which Pis armhf serves as the package does"


@pytest.mark.parametrize("arch", sorted(ARM))
def test_arm_program_prints_the_packaged_rules_the_same_as_amd64(unpacked, arch):
    qemu, _ = ARM[arch]
    printed = run(qemu, str(unpacked[arch] / "usr" / "bin" / "kqports"), "--udev-rules").stdout
    assert printed == (unpacked[arch] / RULES).read_text()
    assert (unpacked[arch] / RULES).read_bytes() == (unpacked["amd64"] / RULES).read_bytes()

