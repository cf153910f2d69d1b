#!/usr/bin/env python3
"""Checks the shipped facts of kq6200ports.exe or kqports.exe from the file itself.

Both must be Windows programs for the processor that --machine names (x86,
the default: PE32 for i386; x64: PE32+ for x86-64) that Windows loads from
Vista on (subsystem version 6.0), whose import tables name only system DLLs
(the C and C++ runtimes linked in statically), and that carry icon group 181
with nine 32-bpp images, a manifest that asks for asInvoker and declares
nothing else, and the version in VERSION with their own original file name.
kq6200ports.exe is a GUI program with the strings 103 and 109, the progress
dialog 157 and the driver packages its processor's build carries (see
MACHINES): the x86 program both, 188 (x86) and 189 (x64), the x64 program
189 alone; kqports.exe (--console) is a console program and carries neither
the dialog nor any driver package.

Every one names only Windows' known DLLs in its load-time import table
(others are delay-loaded). --stub checks the driver packages'
self-extractor, built for the same processor as the program, for that and
for a manifest of its own (see SFX_MANIFEST); the checks of kq6200ports.exe
check it again in each package it carries.

Usage: pe_check.py [--console|--stub] [--machine x86|x64] PATH-TO-EXE. Prints
every failed check; exit status 1 when any failed.
"""

import struct
import sys
from pathlib import Path
import xml.etree.ElementTree as ElementTree

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_MAGIC = 0x10B
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3

RT_ICON = 3
RT_DIALOG = 5
RT_STRING = 6
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
RT_DRIVER_PACKAGE = 256

# Every DLL a stock Windows Vista has in System32; anything else (a MinGW
# runtime DLL such as libstdc++-6.dll, libgcc_s_dw2-1.dll or
# libwinpthread-1.dll) would have to ship beside the program.
SYSTEM_DLLS = {
    "KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "SHELL32.DLL", "COMCTL32.DLL",
    "CFGMGR32.DLL", "ADVAPI32.DLL", "MSVCRT.DLL", "OLE32.DLL", "SHLWAPI.DLL",
    "VERSION.DLL", "SETUPAPI.DLL",
}

# Of those, the ones Windows always takes from System32 (its "known DLLs" from
# Vista on). Every other DLL (CFGMGR32, COMCTL32, VERSION, ...) named in the
# load-time import table would be looked for in the program's own folder
# first, where anything may have been saved beside a download: such DLLs are
# delay-loaded after the program has limited the search to System32.
KNOWN_DLLS = {"KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "SHELL32.DLL", "ADVAPI32.DLL",
              "MSVCRT.DLL", "OLE32.DLL", "SHLWAPI.DLL"}

# What each build's programs are, by the --machine that names the build: the
# optional header's format and the machine, each with its name, and the
# driver packages that kq6200ports.exe carries (by resource ID; 188 is the x86
# package, 189 the x64 one). The x64 program runs on x64 Windows only, so it
# carries the x64 package alone.
MACHINES = {
    "x86": {"magic": (PE32_MAGIC, "PE32"), "machine": (IMAGE_FILE_MACHINE_I386, "i386"),
            "packages": [188, 189]},
    "x64": {"magic": (PE32_PLUS_MAGIC, "PE32+"), "machine": (IMAGE_FILE_MACHINE_AMD64, "x86-64"),
            "packages": [189]},
}


def machine_name(machine):
    """The build's programs as the summary names them: PE32 i386 or PE32+ x86-64."""
    return "%s %s" % (MACHINES[machine]["magic"][1], MACHINES[machine]["machine"][1])


# What tells the two executables apart.
WINDOW = {
    "subsystem": (IMAGE_SUBSYSTEM_WINDOWS_GUI, "GUI"),
    "strings": {103: "Quorvanta KQ-6200 Ports", 109: "QUORVANTAKQ6200ENUM"},
    "original_filename": "kq6200ports.exe",
    "driver_gate": True,
}
CONSOLE = {
    "subsystem": (IMAGE_SUBSYSTEM_WINDOWS_CUI, "console"),
    "strings": {},
    "original_filename": "kqports.exe",
    "driver_gate": False,
}
EXPECTED_ICON_SIZES = [16, 24, 32, 48, 64, 96, 128, 192, 256]
EXPECTED_VERSION = (Path(__file__).resolve().parent.parent / "VERSION").read_text().strip()
EXPECTED_PRODUCT_NAME = "Quorvanta KQ-6200 Explorer"

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
# The manifest's elements in document order, each with all of its attributes.
EXPECTED_MANIFEST = [
    (ASM_V1 + "assembly", {"manifestVersion": "1.0"}),
    (ASM_V3 + "trustInfo", {}),
    (ASM_V3 + "security", {}),
    (ASM_V3 + "requestedPrivileges", {}),
    (ASM_V3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}),
]

ASM_COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
# The self-extractor's manifest: asInvoker, the supported Windows versions and
# no dependency. Without a manifest of its own, Windows would read one from a
# file beside it, and ".local" redirection would apply.
SFX_SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
SFX_MANIFEST = EXPECTED_MANIFEST + [
    (ASM_COMPATIBILITY + "compatibility", {}),
    (ASM_COMPATIBILITY + "application", {}),
] + [(ASM_COMPATIBILITY + "supportedOS", {"Id": os_id}) for os_id in sorted(SFX_SUPPORTED_OS)]


class PeFile:
    """The parts of a PE32 or PE32+ image that the checks read."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        # PE32+ has no BaseOfData, a 64-bit ImageBase in its place and its
        # four stack and heap sizes 64-bit too, so its data directories start
        # 16 bytes later; the fields in between are where they are in PE32.
        if self.magic == PE32_MAGIC:
            self.image_base = struct.unpack_from("<I", data, optional + 28)[0]
            directories = optional + 92
        elif self.magic == PE32_PLUS_MAGIC:
            self.image_base = struct.unpack_from("<Q", data, optional + 24)[0]
            directories = optional + 108
        else:
            raise ValueError("optional header magic 0x%X is neither PE32 nor PE32+" % self.magic)
        (self.os_major, self.os_minor, _, _, self.subsystem_major,
         self.subsystem_minor) = struct.unpack_from("<6H", data, optional + 40)
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directory_count = struct.unpack_from("<I", data, directories)[0]
        if directories + 4 + 8 * directory_count > optional + optional_size:
            raise ValueError("%d data directories do not fit the optional header of %d bytes"
                             % (directory_count, optional_size))
        self.directories = [struct.unpack_from("<II", data, directories + 4 + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, virtual_size, address, raw_size, raw_pointer = struct.unpack_from(
                "<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii", "replace"),
                                  address, max(virtual_size, raw_size), raw_pointer))

    def offset(self, rva):
        for _, address, size, raw_pointer in self.sections:
            if address <= rva < address + size:
                return raw_pointer + rva - address
        raise ValueError("RVA 0x%X is in no section" % rva)

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii", "replace")

    def load_time_dlls(self):
        """Names of the DLLs in the import table, which the loader resolves
        before the program runs."""
        return self.imported_dlls(delay=False)

    def imported_dlls(self, delay=True):
        """Names of the DLLs in the import table and the delay-load table."""
        names = []
        rva, size = self.directory(1)
        if size:
            position = self.offset(rva)
            while True:
                descriptor = struct.unpack_from("<5I", self.data, position)
                if not any(descriptor):
                    break
                names.append(self.c_string(descriptor[3]))
                position += 20
        rva, size = self.directory(13) if delay else (0, 0)
        if size:
            position = self.offset(rva)
            while True:
                descriptor = struct.unpack_from("<8I", self.data, position)
                if not any(descriptor):
                    break
                names.append(self.c_string(descriptor[1]))
                position += 32
        return names

    def resources(self):
        """{(type, name): {language: bytes}}; names are ints or strings."""
        rva, size = self.directory(2)
        if not size:
            return {}
        base = self.offset(rva)
        found = {}

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if name & 0x80000000:
                    at = base + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, at)[0]
                    name = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                yield name, target

        for type_id, type_target in entries(0):
            for name, name_target in entries(type_target & 0x7FFFFFFF):
                for language, data_entry in entries(name_target & 0x7FFFFFFF):
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + data_entry)
                    start = self.offset(data_rva)
                    found.setdefault((type_id, name), {})[language] = self.data[start:start + data_size]
        return found


def only_language(resources, key):
    languages = resources.get(key)
    if not languages:
        return None
    return next(iter(languages.values()))


def string_resource(resources, string_id):
    block = only_language(resources, (RT_STRING, string_id // 16 + 1))
    if block is None:
        return None
    position = 0
    for index in range(16):
        length = struct.unpack_from("<H", block, position)[0]
        text = block[position + 2:position + 2 + 2 * length].decode("utf-16-le")
        if index == string_id % 16:
            return text
        position += 2 + 2 * length
    return None


def icon_image_facts(image):
    """(width, height, bits per pixel) of one RT_ICON image, PNG or DIB."""
    if image[:8] == b"\x89PNG\r\n\x1a\n":
        width, height, depth, colour_type = struct.unpack_from(">IIBB", image, 16)
        channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour_type, 0)
        return width, height, depth * channels
    header_size, width, double_height, _, bits = struct.unpack_from("<IiiHH", image, 0)
    if header_size != 40:
        return None
    return width, double_height // 2, bits


def version_blocks(data, position=0):
    """Parses one VS_VERSIONINFO-style block: (key, value bytes, children)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, position)
    end = position + length
    key_start = position + 6
    key_end = key_start
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[key_start:key_end].decode("utf-16-le")
    cursor = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = data[cursor:cursor + value_bytes]
    cursor = (cursor + value_bytes + 3) & ~3
    children = []
    while cursor < end:
        child, child_end = version_blocks(data, cursor)
        children.append(child)
        cursor = (child_end + 3) & ~3
    return (key, value, children), end


def check_machine(pe, machine, expect, what=""):
    """The image is a program for the processor that --machine names: its
    optional header's format and its machine both."""
    wanted = MACHINES[machine]
    if (pe.magic, pe.machine) == (wanted["magic"][0], wanted["machine"][0]):
        return
    formats = dict(facts["magic"] for facts in MACHINES.values())
    processors = dict(facts["machine"] for facts in MACHINES.values())
    expect(False, "%s%s %s (magic 0x%X, machine 0x%X), not %s: checked with --machine %s"
           % (what, formats.get(pe.magic, "?"), processors.get(pe.machine, "?"), pe.magic,
              pe.machine, machine_name(machine), machine))


def check_load_time_imports(pe, expect):
    for dll in pe.load_time_dlls():
        expect(dll.upper() in KNOWN_DLLS, "imports %s at load time: not a known DLL, so Windows "
                                          "may take it from the program's folder" % dll)


def read_for_checks(path):
    """The file's PE image, the list of failures, and the check that adds to it."""
    failures = []

    def expect(condition, message):
        if not condition:
            failures.append(message)

    with open(path, "rb") as handle:
        return PeFile(handle.read()), failures, expect


def manifest_elements(resources, expect, what):
    """The elements of the only manifest, resource 1, in document order, each
    with its attributes; None when there is none."""
    manifests = [name for (kind, name) in resources if kind == RT_MANIFEST]
    expect(manifests == [1], "%smanifest resources %s, expected only 1" % (what, manifests))
    manifest = only_language(resources, (RT_MANIFEST, 1))
    if manifest is None:
        return None
    root = ElementTree.fromstring(manifest)
    stray_text = [element.tag for element in root.iter()
                  if (element.text or "").strip() or (element.tail or "").strip()]
    expect(not stray_text, "%smanifest has text in %s" % (what, stray_text))
    return [(element.tag, dict(element.attrib)) for element in root.iter()]


def check_stub_image(pe, machine, expect, what=""):
    """The package's self-extractor, the image the installation elevates: a
    GUI program for the build's processor whose load-time imports are known
    DLLs only, with its own manifest."""
    check_machine(pe, machine, expect, what)
    expect(pe.subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI,
           "%ssubsystem %d is not GUI" % (what, pe.subsystem))
    check_load_time_imports(pe, expect)
    elements = manifest_elements(pe.resources(), expect, what)
    if elements is not None:
        sorted_elements = elements[:7] + sorted(elements[7:], key=lambda e: e[1].get("Id", ""))
        expect(sorted_elements == SFX_MANIFEST, "%smanifest declares %s" % (what, elements))


def check_stub(path, machine="x86"):
    pe, failures, expect = read_for_checks(path)
    check_stub_image(pe, machine, expect)
    return failures, pe.load_time_dlls()


def check(path, program=WINDOW, machine="x86"):
    pe, failures, expect = read_for_checks(path)

    check_machine(pe, machine, expect)
    subsystem, subsystem_name = program["subsystem"]
    expect(pe.subsystem == subsystem, "subsystem %d is not %s" % (pe.subsystem, subsystem_name))
    expect((pe.subsystem_major, pe.subsystem_minor) == (6, 0),
           "subsystem version %d.%d is not 6.0" % (pe.subsystem_major, pe.subsystem_minor))
    expect((pe.os_major, pe.os_minor) == (6, 0),
           "operating system version %d.%d is not 6.0" % (pe.os_major, pe.os_minor))

    dlls = pe.imported_dlls()
    expect(dlls, "no imports at all")
    for dll in dlls:
        expect(dll.upper() in SYSTEM_DLLS, "imports %s, which is not a system DLL" % dll)
    check_load_time_imports(pe, expect)

    resources = pe.resources()
    for string_id, text in program["strings"].items():
        actual = string_resource(resources, string_id)
        expect(actual == text, "string %d is %r, not %r" % (string_id, actual, text))

    group = only_language(resources, (RT_GROUP_ICON, 181))
    expect(group is not None, "no icon group 181")
    if group is not None:
        _, kind, count = struct.unpack_from("<HHH", group, 0)
        expect(kind == 1, "icon group 181 has type %d" % kind)
        sizes = []
        for i in range(count):
            width, height, _, _, _, bits, size, icon_id = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            width, height = width or 256, height or 256
            sizes.append(width)
            expect(bits == 32, "icon %dx%d is listed with %d bpp" % (width, height, bits))
            image = only_language(resources, (RT_ICON, icon_id))
            if image is None:
                failures.append("icon image %d of group 181 is missing" % icon_id)
                continue
            expect(len(image) == size, "icon image %d has %d bytes, listed %d"
                   % (icon_id, len(image), size))
            facts = icon_image_facts(image)
            expect(facts == (width, height, 32),
                   "icon image %d is %r, listed %dx%d 32 bpp" % (icon_id, facts, width, height))
        expect(sorted(sizes) == EXPECTED_ICON_SIZES,
               "icon group 181 has sizes %s" % sorted(sizes))

    elements = manifest_elements(resources, expect, "")
    if elements is not None:
        expect(elements == EXPECTED_MANIFEST, "manifest declares %s" % elements)

    version = only_language(resources, (RT_VERSION, 1))
    expect(version is not None, "no version resource 1")
    if version is not None:
        (key, fixed, children), _ = version_blocks(version)
        expect(key == "VS_VERSION_INFO", "version resource key %r" % key)
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed, 0)
        expect(signature == 0xFEEF04BD, "no VS_FIXEDFILEINFO")
        numbers = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        expect(numbers(file_ms, file_ls) == EXPECTED_VERSION,
               "fixed file version %s" % numbers(file_ms, file_ls))
        expect(numbers(product_ms, product_ls) == EXPECTED_VERSION,
               "fixed product version %s" % numbers(product_ms, product_ls))
        strings = {}
        for child_key, _, tables in children:
            if child_key == "StringFileInfo":
                for _, _, entries in tables:
                    for name, value, _ in entries:
                        strings[name] = value.decode("utf-16-le").rstrip("\0")
        for name, text in (("FileVersion", EXPECTED_VERSION), ("ProductVersion", EXPECTED_VERSION),
                           ("ProductName", EXPECTED_PRODUCT_NAME),
                           ("OriginalFilename", program["original_filename"])):
            expect(strings.get(name) == text, "%s is %r, not %r" % (name, strings.get(name), text))

    # The progress dialog and the driver packages of the program's processor:
    # each package is the self-extractor (a program of its own, built for the
    # same processor) with its archive behind it. The console program has no
    # driver gate and carries none of it.
    if program["driver_gate"]:
        expect(only_language(resources, (RT_DIALOG, 157)) is not None, "no progress dialog 157")
        carried = MACHINES[machine]["packages"]
        packages = sorted(name for (kind, name) in resources if kind == RT_DRIVER_PACKAGE)
        expect(packages == carried, "driver packages %s, expected %s for --machine %s"
               % (packages, carried, machine))
        for package_id in carried:
            package = only_language(resources, (RT_DRIVER_PACKAGE, package_id))
            expect(package is not None and package[:2] == b"MZ",
                   "driver package %d missing or not a program" % package_id)
            if package is not None and package[:2] == b"MZ":
                check_stub_image(PeFile(package), machine, expect,
                                 "driver package %d: " % package_id)
    else:
        stray = sorted({kind for (kind, _) in resources if kind in (RT_DIALOG, RT_DRIVER_PACKAGE)})
        expect(not stray, "carries resources of the driver gate (types %s)" % stray)

    return failures, dlls


def main():
    arguments = sys.argv[1:]
    program = WINDOW
    machine = "x86"
    usage = "usage: pe_check.py [--console|--stub] [--machine x86|x64] PATH-TO-EXE"
    while len(arguments) > 1 and arguments[0].startswith("--"):
        option = arguments.pop(0)
        if option == "--console":
            program = CONSOLE
        elif option == "--stub":
            program = None
        elif option == "--machine" and arguments[0] in MACHINES:
            machine = arguments.pop(0)
        else:
            arguments = []
    if len(arguments) != 1:
        print(__doc__.strip().splitlines()[0])
        print(usage)
        return 2
    path = arguments[0]
    try:
        failures, dlls = check(path, program, machine) if program else check_stub(path, machine)
    except (OSError, ValueError, struct.error, ElementTree.ParseError) as error:
        print("%s: cannot read: %s" % (path, error))
        return 1
    for failure in failures:
        print("FAIL: %s" % failure)
    if failures:
        return 1
    if not program:
        print("%s: %s GUI, imports %s at load time"
              % (path, machine_name(machine), ", ".join(dlls)))
        return 0
    print("%s: %s, %s 6.0, imports %s; %sicon, manifest and version as shipped"
          % (path, machine_name(machine), program["subsystem"][1], ", ".join(dlls),
             "strings, " if program["strings"] else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
