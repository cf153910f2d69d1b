"""kqports.exe, the console report, under Wine: the same [line, ID] pairs as
kqreport on the same tree and version level, the window's rows as aligned
text, its exit codes, --watch, and wide text on a console."""

import json
import os
import pty
import re
import select
import signal
import subprocess
import sys
import threading
import time
from datetime import datetime, timezone

import expected as X
from common import E2EError, ROOT, TREES, expect, expect_equal, params, poll, run, timing, tree
from platforms import wine_command
from scenario import APP_DIR_WIN, CONSOLE_EXE

sys.path.insert(0, str(ROOT / "tests"))
import doc_examples  # noqa: E402  (the examples of the documents)
import pe_check  # noqa: E402  (the version the executable checks require of the file)

KQPORTS = f"{APP_DIR_WIN}\\{CONSOLE_EXE}"
HEADER = "Quorvanta KQ6200 S/N "
# The demo trees, and trees that give a unit at either version level and
# that carry names beyond ASCII.
TREES_TO_COMPARE = sorted((ROOT / "sim" / "trees").glob("*.devtree")) + [
    TREES / "mixed-case.devtree", TREES / "non-ascii.devtree"]
TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d")
ROLES = ("cat", "ptt", "fsk", "winkey", "audioIn", "audioOut")
ERROR_LINE = re.compile(r"    (MCU|FTDI|AUDIO) ErrorCode: \d+")
EXPLANATION = " " * 8


def decoded(data, what):
    """Text written into a file or pipe: UTF-8 without a byte-order mark,
    every line ending in CR LF. Returned with LF line ends."""
    expect(not data.startswith(b"\xef\xbb\xbf"), f"{what} starts with a byte-order mark")
    bare = data.replace(b"\r\n", b"")
    expect(b"\n" not in bare and b"\r" not in bare,
           f"{what} has a line end other than CR LF: {data!r}")
    try:
        return data.decode("utf-8").replace("\r\n", "\n")
    except UnicodeDecodeError as error:
        raise E2EError(f"{what} is not UTF-8: {error}") from None


def kqports(sc, *args):
    result = sc.wine([KQPORTS, *args])
    result.text = decoded(result.stdout_bytes, f"kqports {' '.join(args)} output")
    return result


def check_text_is_rows(text, rows, what):
    """The text is the rows, one a line, each TAB replaced by spaces that put
    every value in one column."""
    expect(text.endswith("\n"), f"{what}: no line end after the last line: {text!r}")
    lines, explain = [], False
    for line in text[:-1].split("\n"):
        if lines == [X.NOT_FOUND] and line.startswith(EXPLANATION):
            continue  # what was seen of a unit: no row of the window
        if explain:
            # What the code means, under its line: no row of the window.
            expect(line.startswith(EXPLANATION) and len(line) > 40,
                   f"{what}: no explanation after {lines[-1]!r}: {line!r}")
            explain = False
            continue
        lines.append(line)
        explain = bool(ERROR_LINE.fullmatch(line))
    expect(not explain, f"{what}: no explanation after the last line {lines[-1]!r}")
    expect_equal(len(lines), len(rows), f"{what}: lines {lines!r} for rows {rows!r}; count")
    columns = set()
    for row, line in zip(rows, lines):
        expect("\t" not in line, f"{what}: TAB in {line!r}")
        if "\t" not in row:
            expect_equal(line, row, f"{what}: line of a row without TAB")
            continue
        label, value = row.split("\t", 1)
        start = len(line) - len(value)
        expect(line.startswith(label) and line.endswith(value) and start >= len(label)
               and set(line[len(label):start]) <= {" "},
               f"{what}: {line!r} is not {row!r} with its TAB turned into spaces")
        columns.add(start)
    expect(len(columns) <= 1, f"{what}: values start in columns {sorted(columns)}: {lines!r}")


def check_document(document, pairs, split, what):
    """The JSON document against the [line, ID] pairs it must carry."""
    expect_equal(document["format"], 1, f"{what}: format")
    expect(TIMESTAMP.fullmatch(document["time"]), f"{what}: time {document['time']!r}")
    expect_equal(document["splitAudio"], split, f"{what}: splitAudio")
    expect_equal(document["report"], pairs, f"{what}: [line, id] pairs")
    serials = [line[len(HEADER):] for line, _ in pairs if line.startswith(HEADER)]
    expect_equal([unit["serial"] for unit in document["units"]], serials, f"{what}: serials")
    # Every device the report names is some unit's role, and no role names
    # a device the report does not.
    role_ids = {unit[role]["id"] for unit in document["units"] for role in ROLES if unit[role]}
    expect_equal(role_ids, {device for _, device in pairs if device},
                 f"{what}: devices of the roles")
    for unit in document["units"]:
        for key in ("mcuStatus", "ftdiStatus", "audioStatus"):
            expect(isinstance(unit[key], int), f"{what}: {key} {unit[key]!r}")


@params(("x86-win32-win7", {"platform": "x86-win32", "winver": "win7", "split": False}),
        ("x86-win64-win10", {"platform": "x86-win64", "winver": "win10", "split": True}),
        ("x64-win64-win10", {"platform": "x64-win64", "winver": "win10", "split": True}))
def test_kqports_reports_as_kqreport(session, platform, winver, split):
    """--json into a file parses and carries kqreport's pairs; the text is the
    same report; the exit code says whether a unit was found."""
    kqreport = [str(session.host_tool("kqreport"))] + (["--split-audio"] if split else [])
    with session.scenario(platform=platform, winver=winver) as sc:
        for path in TREES_TO_COMPARE:
            sc.set_tree(path)
            pairs = json.loads(run(kqreport + [str(path)]).stdout)
            # Written by hand: kqreport shares the report's code with kqports.
            expect_equal([line for line, _ in pairs], X.CONSOLE_TREES[(path.stem, split)],
                         f"{path.name}: the report")
            found = any(line.startswith(HEADER) for line, _ in pairs)
            result = kqports(sc, "--json")
            check_document(json.loads(result.text), pairs, split, f"{path.name} --json")
            expect_equal(result.returncode, 0 if found else 1, f"{path.name}: exit code of --json")
            result = kqports(sc)
            check_text_is_rows(result.text, [line for line, _ in pairs],
                               f"{path.name} text (exit code {result.returncode}, "
                               f"stderr {result.stderr[-400:]!r})")
            expect_equal(result.returncode, 0 if found else 1, f"{path.name}: exit code")


@params(("win7", {"winver": "win7", "names": ["two-units-win7", "mixed-case"]}),
        ("win10", {"winver": "win10", "names": ["two-units", "non-ascii", "mixed-case", "empty"]}))
def test_kqports_text_is_the_window_rows(session, winver, names):
    with session.scenario(winver=winver, tree=tree(names[0])) as sc:
        sc.start()
        sc.wait_window()
        for name in names:
            sc.set_tree(tree(name))
            text = kqports(sc).text
            seen = [None]

            def same():
                seen[0] = sc.spy.rows()
                try:
                    check_text_is_rows(text, seen[0], name)
                    return True
                except E2EError:
                    return False
            try:
                poll(f"window rows of {name}", same, 3.0, 0.1)
            except E2EError:
                raise E2EError(f"{name}: kqports printed {text!r}; the window shows {seen[0]!r}") \
                    from None
            if name == "non-ascii":
                sc.screenshot(name)


def test_kqports_exit_codes_and_usage(session):
    with session.scenario(tree=tree("empty")) as sc:
        result = kqports(sc)
        expect_equal((result.returncode, result.text.split("\n")[0]), (1, X.NOT_FOUND), "no unit")
        expect(result.text.split("\n")[1].startswith(
            "        None of the unit's USB functions is attached (the MCU 0483:A1DF"),
               f"no unit: not said that none of its functions is there: {result.text!r}")
        result = kqports(sc, "--json")
        expect_equal((result.returncode, json.loads(result.text)["units"],
                      json.loads(result.text)["seen"]), (1, [], []), "no unit, JSON")
        # Both units without their MCU: their FTDI bridges and codecs are seen,
        # by their instance IDs.
        sc.set_tree("".join(line for line in tree("two-units").splitlines(keepends=True)
                            if "VID_0483" not in line))
        result = kqports(sc)
        expect_equal(result.text.split("\n")[1:], [
            "        Seen: the FTDI bridge 0403:6010 as USB\\VID_0403&PID_6010\\KQ6A1B2C.",
            "        Seen: the FTDI bridge 0403:6010 as USB\\VID_0403&PID_6010\\KQ6D4E5F.",
            "        Seen: the codec 10C4:EAC3 as USB\\VID_10C4&PID_EAC3\\5&3A1F2C&0&5.",
            "        Seen: the codec 10C4:EAC3 as USB\\VID_10C4&PID_EAC3\\5&4B2C3D&0&6.",
            "        Not seen: the MCU 0483:A1DF, by which a unit is found: unplug the unit and "
            "plug it in again.", ""], "the functions seen without the MCUs")
        expect_equal([(f["function"], f["id"]) for f in json.loads(kqports(sc, "--json").text)["seen"]],
                     [("ftdi", "USB\\VID_0403&PID_6010\\KQ6A1B2C"),
                      ("ftdi", "USB\\VID_0403&PID_6010\\KQ6D4E5F"),
                      ("audio", "USB\\VID_10C4&PID_EAC3\\5&3A1F2C&0&5"),
                      ("audio", "USB\\VID_10C4&PID_EAC3\\5&4B2C3D&0&6")], "seen, JSON")
        sc.set_tree(tree("two-units"))
        expect_equal(kqports(sc).returncode, 0, "exit code with two units")

        for args, named in ((["--bogus"], "--bogus"), (["--json", "COM9"], "COM9"),
                            (["--watch", "-x"], "-x"), (["--json", "--watch", "--json"], "--json"),
                            (["--serial=12345", "--serial", "67890"], "--serial")):
            result = kqports(sc, *args)
            expect_equal(result.returncode, 2, f"exit code of {args}")
            expect_equal(result.stdout_bytes, b"", f"output of {args}")
            message = decoded(result.stderr_bytes, f"error of {args}")
            expect(message.count("\n") == 1 and message.endswith("\n") and f'"{named}"' in message,
                   f"{args}: error {message!r} is not one line naming {named!r}")

        # The second unit's FTDI walk stops at step 1: its line, then what
        # that means and what to do about it on Windows.
        result = kqports(sc, "--serial", "67890")
        expect_equal(result.returncode, 0, "exit code of --serial 67890")
        expect("S/N 12345" not in result.text and "S/N 67890" in result.text,
               f"--serial 67890 shows another unit: {result.text!r}")
        expect("    FTDI ErrorCode: 1\n        The FTDI bridge's channel B (PTT/CW) port has no "
               "COM port name. In Device Manager, the channel's USB Serial Port" in result.text,
               f"no explanation with the Windows remedy: {result.text!r}")
        for args, out, code in ((["--serial", "12345", "--role", "cat"], "COM9\n", 0),
                                (["--role", "audioIn", "--serial", "12345"],
                                 "Microphone (USB Audio CODEC)\n", 0),
                                (["--serial=12345", "--role=CAT"], "COM9\n", 0),
                                (["--serial", "67890", "--role", "ptt"], "", 1),
                                (["--serial", "11111", "--role", "cat"], "", 1),
                                (["--role", "cat"], "", 2)):
            result = kqports(sc, *args)
            expect_equal((result.returncode, result.text), (code, out), f"kqports {args}")

        result = kqports(sc, "--help")
        expect_equal(result.returncode, 0, "exit code of --help")
        for option in ("--json", "--watch", "--help", "--version"):
            expect(option in result.text, f"--help does not mention {option}: {result.text!r}")
        result = kqports(sc, "--version")
        # With the native machine: Wine's IsWow64Process2 names that of the prefix.
        machine = "x86" if sc.arch == "win32" else "x64"
        expect_equal((result.returncode, result.text),
                     (0, f"kqports {pe_check.EXPECTED_VERSION}\nnative machine: {machine}\n"),
                     "--version")

        # Output that cannot be written is a failure of its own, not a unit
        # found or missing.
        for args in ([], ["--json"], ["--help"]):
            with open("/dev/full", "wb") as full:
                proc = sc.spawn([KQPORTS, *args], stdout=full)
                expect_equal(proc.wait(30), 3, f"exit code of {args} into a full output")


class WatchReader:
    """Reads kqports --watch from its pipe on a thread: each complete report
    with the time its last line arrived."""

    def __init__(self, stream, json_lines):
        self.json_lines = json_lines
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self.lock:
                self.lines.append((time.monotonic(), raw))

    def reports(self):
        """[(arrived, timestamp, rows)]; raises on anything malformed."""
        with self.lock:
            lines = list(self.lines)
        reports, current = [], None
        for arrived, raw in lines:
            if not raw.endswith(b"\n"):
                break  # not yet whole
            line = decoded(raw, "watch output")[:-1]
            if self.json_lines:
                document = json.loads(line)
                rows = [text for text, _ in document["report"]]
                reports.append((arrived, document["time"], rows))
            elif current is None:
                expect(TIMESTAMP.fullmatch(line), f"report does not start with its time: {line!r}")
                current = (line, [])
            elif line:
                current[1].append(line + "\n")
            else:  # the empty line after each report
                reports.append((arrived, current[0], "".join(current[1])))
                current = None
        return reports

    def data(self):
        with self.lock:
            return b"".join(raw for _, raw in self.lines)


def check_watch_report(report, rows, json_lines, what):
    _, stamp, body = report
    taken = datetime.fromisoformat(stamp)
    lag = abs((datetime.now(timezone.utc) - taken).total_seconds())
    expect(lag < 15, f"{what}: time {stamp} is {lag:.0f} s away from now")
    if json_lines:
        expect_equal(body, rows, f"{what}: report lines")
    else:
        check_text_is_rows(body, rows, what)


@params(("text", {"json_lines": False}), ("json", {"json_lines": True}))
@timing
def test_kqports_watch(session, json_lines):
    """One report at the start and one per change of the report, each within
    2 s of the tree's change; none over 10 s without a change, nor for a new
    tree file that gives the same report; Ctrl+C ends it with exit code 0."""
    with session.scenario(tree=tree("empty")) as sc:
        # Wine's own Ctrl+C handling also ends the process with code 0, but
        # says so on this channel; only the program's handler keeps it quiet.
        proc = sc.spawn([KQPORTS, "--watch"] + (["--json"] if json_lines else []),
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, debug="-all,fixme+console")
        reader = WatchReader(proc.stdout, json_lines)
        first = poll("the first report", reader.reports, 15)
        check_watch_report(first[0], [X.NOT_FOUND], json_lines, "first report")

        sc.set_tree(tree("empty") + "\n# The same devices in another file.\n")
        time.sleep(10.0)
        expect_equal(len(reader.reports()), 1, "reports over 10 s without a change of the report")

        for name, rows in (("two-units", X.TWO_UNITS_SPLIT), ("no-units", [X.NOT_FOUND]),
                           ("mixed-case", X.UNIT_A_SPLIT)):
            count = len(reader.reports())
            changed = time.monotonic()
            sc.set_tree(tree(name))
            reports = poll(f"a report after {name}",
                           lambda: (lambda r: r if len(r) > count else None)(reader.reports()), 3)
            delay = reports[count][0] - changed
            expect(delay <= 2.0, f"report {delay:.2f} s after changing to {name}")
            check_watch_report(reports[count], rows, json_lines, name)
            time.sleep(2.5)
            expect_equal(len(reader.reports()), count + 1, f"reports after changing to {name}")
            print(f"      {name}: report {delay:.2f} s after the change")

        proc.send_signal(signal.SIGINT)  # Wine turns SIGINT into CTRL_C_EVENT
        try:
            code = proc.wait(5)
        except subprocess.TimeoutExpired:
            raise E2EError("kqports --watch still running 5 s after Ctrl+C") from None
        reader.thread.join(5)
        expect_equal(code, 0, "exit code after Ctrl+C")
        ending = b"\r\n" if json_lines else b"\r\n\r\n"
        expect(reader.data().endswith(ending),
               f"output ends in half a report: {reader.data()[-200:]!r}")
        expect_equal(proc.stderr.read(), b"", "standard error (Wine's default Ctrl+C handler "
                     "reports itself there)")


def test_kqports_console_gets_wide_text(session):
    """On a console kqports writes UTF-16 (WriteConsoleW). Wine makes a Unix
    terminal a console and renders its text in the terminal's UTF-8; UTF-8
    bytes written as to a file would come out in the console's code page."""
    with session.scenario(tree=tree("non-ascii")) as sc:
        master, slave = pty.openpty()
        proc = subprocess.Popen(wine_command() + [KQPORTS], cwd=sc.cwd, env=dict(sc.env(), LC_ALL="C.UTF-8"),
                                stdin=slave, stdout=slave, stderr=slave)
        sc.processes.append(proc)
        os.close(slave)
        data = b""
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.2)
            if ready:
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the terminal closed with the program
                    break
                if not chunk:
                    break
                data += chunk
            elif proc.poll() is not None:
                break
        os.close(master)
        expect_equal(proc.wait(5), 0, "exit code on a console")
        text = data.decode("utf-8", errors="replace")
        for name in ("    Audio Output - Lautsprecher (Звуковой кодек USB)",
                     "    CAT Port     - COM9"):
            expect(name in text, f"{name!r} not on the terminal: {text!r}")


def test_kqports_watch_ends_when_its_reader_goes(session):
    """A pipe whose reader has gone cannot take the next report: the watch
    ends with exit code 0 instead of checking on for nobody."""
    with session.scenario(tree=tree("empty")) as sc:
        proc = sc.spawn([KQPORTS, "--watch"], stdout=subprocess.PIPE)
        received = b""
        deadline = time.monotonic() + 15
        while not received.endswith(b"\r\n\r\n"):  # the first whole report
            expect(time.monotonic() < deadline, f"no whole report within 15 s: {received!r}")
            if select.select([proc.stdout], [], [], 0.2)[0]:
                chunk = os.read(proc.stdout.fileno(), 4096)
                expect(chunk, f"output ended after {received!r}")
                received += chunk
        proc.stdout.close()
        sc.set_tree(tree("two-units"))
        try:
            code = proc.wait(5)
        except subprocess.TimeoutExpired:
            raise E2EError("kqports --watch still running 5 s after its reader went away") from None
        expect_equal(code, 0, "exit code after the reader went away")


def example_tree(name):
    """A demo tree (sim/trees/) by name, else one of the scenarios' trees."""
    demo = ROOT / "sim" / "trees" / f"{name}.devtree"
    return demo.read_text(encoding="utf-8") if demo.exists() else tree(name)


def watch_transcript(sc, example):
    """What kqports --watch prints while the tree becomes each of
    example.watch in turn, a report apart, until Ctrl+C."""
    proc = sc.spawn([KQPORTS, *example.args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    reader = WatchReader(proc.stdout, False)
    poll("the first report", reader.reports, 15)
    for count, name in enumerate(example.watch, start=2):
        sc.set_tree(example_tree(name))
        poll(f"the report after {name}", lambda: len(reader.reports()) >= count or None, 5)
    proc.send_signal(signal.SIGINT)
    expect_equal(proc.wait(5), 0, "exit code of kqports --watch after Ctrl+C")
    reader.thread.join(5)
    return decoded(reader.data(), "watch output")


def test_documented_examples(session):
    """Every example of kqports.exe's output in the documents (README.md,
    docs/kqports.md, the zip's README.txt) is what it prints now, on the demo
    trees; times aside. With KQ_WRITE_EXAMPLES=1 in the environment the
    examples are written instead (scripts/examples.sh)."""
    outputs = {}
    for name, example in doc_examples.EXAMPLES.items():
        if example.system != "windows":
            continue
        with session.scenario(suffix=name, tree=example_tree(example.tree),
                              winver=example.winver) as sc:
            if example.watch:
                outputs[name] = watch_transcript(sc, example)
            else:
                outputs[name] = kqports(sc, *example.args).text
            if example.python:
                outputs[name] = run(["/usr/bin/python3", "-c", example.python],
                                    input=outputs[name]).stdout
    problems = doc_examples.compare_or_write(outputs, os.environ.get("KQ_WRITE_EXAMPLES") == "1",
                                             "windows")
    expect(not problems, "\n".join(problems))


def test_kqports_for_programs(session):
    """--for on two units: each program's keys carry the COM ports and the
    endpoint names of the report, per unit; the second unit's FTDI walk stops
    short, and its lines say so instead of naming a port."""
    with session.scenario(tree=tree("two-units")) as sc:
        units = {u["serial"]: u for u in json.loads(kqports(sc, "--json").text)["units"]}
        first, second = units["12345"], units["67890"]
        result = kqports(sc, "--for", "wsjtx")
        expect_equal(result.returncode, 0, "--for wsjtx exit code")
        keys = [dict(line.split("=", 1) for line in block.splitlines() if "=" in line
                     and not line.startswith(";"))
                for block in result.text.strip().split("\n\n")]
        expect_equal(keys[0], {
            "CATSerialPort": first["cat"]["name"], "PTTport": first["ptt"]["name"],
            "PTTMethod": "@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1eTransceiverFactory::PTTMethod"
                         "\\0\\0\\0\\0\\xfPTT_method_RTS\\0)",
            "SoundInName": first["audioIn"]["name"], "SoundOutName": first["audioOut"]["name"]},
            "WSJT-X's keys of the first unit")
        expect("CATSerialPort" not in keys[1] and "; CATSerialPort: none: its CAT Port is not in "
               "order (FTDI ErrorCode: 1" in result.text
               and "wsjtx.exe --rig-name=67890" in result.text
               and "%LOCALAPPDATA%\\WSJT-X - 67890\\WSJT-X - 67890.ini" in result.text,
               f"the second unit's WSJT-X: {result.text}")
        rigctld = kqports(sc, "--for", "rigctld", "--ptt-line", "dtr").text
        expect(f"# rigctld.exe -m MODEL -s SPEED -r {first['cat']['name']} -p {first['ptt']['name']} "
               "-P DTR -T 127.0.0.1 -t 4580 -C dtr_state=OFF,rts_state=OFF\n" in rigctld
               and "# CAT port: none: its CAT Port is not in order" in rigctld, rigctld)
        direwolf = kqports(sc, "--for", "direwolf").text
        expect(f'ADEVICE "{first["audioIn"]["name"][:31]}" "{first["audioOut"]["name"][:31]}"\n'
               f"ACHANNELS 1\n" in direwolf
               and f"CHANNEL 0\nPTT {first['ptt']['name']} RTS DTR\n" in direwolf, direwolf)


def test_kqports_labels(session):
    """--label names a unit in the report, the JSON, --serial and --for;
    a label of another shape is refused with nothing printed."""
    with session.scenario(tree=tree("two-units")) as sc:
        result = kqports(sc, "--label", "12345=IC7300")
        expect(result.text.startswith("Quorvanta KQ6200 S/N 12345 (IC7300)\n"), result.text)
        units = {u["serial"]: u for u in json.loads(
            kqports(sc, "--json", "--label=12345=IC7300").text)["units"]}
        expect_equal((units["12345"]["label"], units["67890"]["label"]), ("IC7300", None), "labels")
        result = kqports(sc, "--serial", "IC7300", "--role", "cat", "--label", "12345=IC7300")
        expect_equal(result.text, units["12345"]["cat"]["name"] + "\n", "--role by the label")
        wsjtx = kqports(sc, "--for", "wsjtx", "--label", "67890=FT991").text
        expect("wsjtx.exe --rig-name=FT991" in wsjtx, wsjtx)
        result = kqports(sc, "--label", "12345=IC 7300")
        expect((result.returncode, result.stdout_bytes) == (2, b"")
               and "is no label" in decoded(result.stderr_bytes, "error"), result.stderr_bytes)
