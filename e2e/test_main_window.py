"""The main window of the real program under Wine: rows, Copy, hint, the
properties launch, hot-plug, geometry and the ways out."""

import contextlib
import time

import expected as X
from common import E2EError, expect, expect_equal, on_platforms, params, poll, timing, tree
from display import pixels

HEADER_ROW_A, CAT_ROW_A, AUDIO_OUT_ROW_A = 0, 1, 6
WINKEY_ROW_B = 10


@contextlib.contextmanager
def start(session, **kwargs):
    """A scenario whose program runs and shows its window."""
    with session.scenario(**kwargs) as scenario:
        scenario.start()
        scenario.wait_window()
        yield scenario


def check_copy(scenario, lines):
    """Copy must put exactly the display lines, each ending in LF, no IDs."""
    wanted = "".join(line + "\n" for line in lines)
    text = scenario.copy_to_clipboard()
    expect_equal(text, wanted, "clipboard text read by X clients")
    native = scenario.spy.clipboard()
    expect_equal(native["text"], wanted, "CF_UNICODETEXT read by a Windows program")
    expect_equal(native["bytes"], (len(wanted) + 1) * 2, "clipboard block size in bytes")
    expect("\r" not in native["text"], "clipboard text holds a CR")
    for line in native["text"].splitlines():
        expect("\\" not in line and "VID_" not in line, f"instance ID in copied line {line!r}")


@timing
def test_empty_tree(session):
    with session.scenario(tree=tree("empty")) as sc:
        # The watch starts before the program, so that its first sample is the
        # window's first moment rather than a spy started once it is up.
        shown = sc.spy.watch(4000, wait_ms=25000)
        sc.start()
        sc.wait_window()
        filled = shown.until(lambda e: e.get("count", 0) > 0, 5)
        changes = [e for e in shown.events(10, stop=True) if e["event"] == "change"]
        expect(changes and changes[0]["t"] < 300,
               f"the window's first moment not sampled: {changes}")
        expect_equal(changes[0]["count"], 0, f"rows in the window's first moment: {changes}")
        expect(filled is not None, f"the list never filled: {changes}")
        expect(600 <= filled["t"] <= 2000,
               f"first refresh {filled['since']} to {filled['t']} ms after the window was shown, "
               f"expected ~1 s: {changes}")
        rows, _ = sc.spy.wait_rows([X.NOT_FOUND], timeout=2.5)
        sc.screenshot()
        check_copy(sc, [X.NOT_FOUND])
        # The not-found row names no device: no hint, no launch.
        watcher = sc.spy.watch(6000)
        select_until_refreshed(sc, watcher, 0)
        events = watcher.events(10, stop=True)
        expect(not any(e.get("hintVisible") for e in events), f"hint shown: {events}")
        sc.double_click_row(0)
        time.sleep(1.0)
        expect_equal(sc.launches(), [], "launches after double-clicking the not-found row")


@on_platforms()
def test_two_units_win8(session, platform):
    with start(session, platform=platform, winver="win8", tree=tree("two-units")) as sc:
        sc.spy.wait_rows(X.TWO_UNITS_SPLIT, timeout=3)
        sc.screenshot()
        check_copy(sc, X.TWO_UNITS_SPLIT)


def test_win7_lower_case_tree(session):
    with start(session, winver="win7", tree=tree("two-units-win7")) as sc:
        sc.spy.wait_rows(X.TWO_UNITS_JOINED, timeout=3)
        sc.screenshot()
        check_copy(sc, X.TWO_UNITS_JOINED)


def test_win7_upper_case_tree_not_found(session):
    with start(session, winver="win7", tree=tree("two-units")) as sc:
        sc.spy.wait_rows([X.NOT_FOUND], timeout=3)
        time.sleep(1.1)  # and it stays so over the next refresh
        expect_equal(sc.spy.rows(), [X.NOT_FOUND], "rows one refresh later")
        sc.screenshot()


def hint_box(state):
    """The hint label's rectangle relative to the window (screenshot coordinates)."""
    label = next(c for c in state["children"] if c["class"].lower() == "static")
    wx, wy = state["window"][0], state["window"][1]
    left, top, right, bottom = label["rect"]
    return (left - wx, top - wy, right - left, bottom - top)


def select_until_refreshed(sc, watcher, row):
    """Selects row, one naming no device, until the watch sees it selected and
    then cleared by a refresh; returns the host's time of that refresh. A click
    landing just before a refresh is cleared before the watch can see it, so
    it is made again."""
    point = sc.spy.row_point(row)
    for _ in range(3):
        sc.display.click(*point)
        if watcher.until(lambda e: e.get("cursel") == row, 1.5) is None:
            continue
        if watcher.until(lambda e: e.get("cursel") == -1, 1.5) is not None:
            return time.monotonic()
    raise E2EError(f"row {row} never seen selected and then cleared: {watcher.seen}")


def click_at(sc, point, when):
    """Clicks point at the host's monotonic time when (at once if it is past)."""
    time.sleep(max(0.0, when - time.monotonic()))
    sc.display.click(*point)


def first_change(events, predicate, after=None):
    """The first change event satisfying predicate (after the event after)."""
    return next((e for e in events if e["event"] == "change" and predicate(e)
                 and (after is None or e["t"] > after["t"])), None)


def elapsed(earlier, later, events):
    """The least and the most milliseconds that can have passed between two
    watched changes: each happened after its `since` and by its `t`. A spy
    held up for a second or more cannot time them."""
    for event in (earlier, later):
        expect(event["t"] - event["since"] < 1000,
               f"the spy's samples around t={event['t']} too far apart to time: {events}")
    return later["since"] - earlier["t"], later["t"] - earlier["since"]


def expect_about(span, ms, what, events):
    """span (least, most) may be ms, within 150 less and 350 more."""
    least, most = span
    expect(most >= ms - 150 and least <= ms + 350,
           f"{what} {least} to {most} ms, expected about {ms}: {events}")


def until_hint_hidden(watcher):
    """Reads the watch until the hint, shown, is hidden again (6 s at most),
    ends it and returns all its events."""
    watcher.until(lambda e: e.get("hintVisible"), 3)
    watcher.until(lambda e: e.get("hintVisible") is False, 6)
    return watcher.events(10, stop=True)


@timing
def test_hint_after_selecting_a_device_row(session):
    with start(session, tree=tree("two-units")) as sc:
        sc.spy.wait_rows(X.TWO_UNITS_SPLIT, timeout=3)
        state = sc.spy.state()
        label = next(c for c in state["children"] if c["class"].lower() == "static")
        expect_equal(label["text"], X.HINT, "hint label text")
        expect(not label["visible"], "hint label visible before any selection")
        box = hint_box(state)
        before = pixels(sc.screenshot("before"), box)
        cat = sc.spy.row_point(CAT_ROW_A)

        # A header row names no device: selecting it shows nothing. The refresh
        # clearing it also times the next click well between two refreshes.
        watcher = sc.spy.watch(15000)
        refreshed = select_until_refreshed(sc, watcher, HEADER_ROW_A)
        expect(not any(e.get("hintVisible") for e in watcher.seen),
               f"hint shown for a header: {watcher.seen}")

        click_at(sc, cat, refreshed + 0.4)
        shown = sc.screenshot("hint-shown")
        events = until_hint_hidden(watcher)
        selected = first_change(events, lambda e: e.get("cursel") == CAT_ROW_A)
        visible = first_change(events, lambda e: e.get("hintVisible"))
        hidden = first_change(events, lambda e: e.get("hintVisible") is False, visible)
        cleared = first_change(events, lambda e: e.get("cursel") == -1, selected)
        expect(selected and visible and hidden and cleared,
               f"selection, hint, its end or the selection's clearing missing: {events}")
        expect(elapsed(selected, visible, events)[0] < 400,
               f"hint not shown right after the selection: {events}")
        # The next refresh clears the selection (and leaves the hint alone).
        expect(elapsed(selected, cleared, events)[0] <= 1100,
               f"selection not cleared by the next refresh: {events}")
        expect_about(elapsed(visible, hidden, events), 4567, "hint shown for", events)
        # The label really is drawn, and really is wiped again.
        after = pixels(sc.screenshot("hint-hidden"), box)
        expect(pixels(shown, box) != before, "hint area unchanged while the hint is shown")
        expect_equal(after, before, "hint area after the hint was hidden")


@timing
def test_hint_restarts_on_second_selection(session):
    """A second selection 3 s after the first keeps the hint until 4567 ms after
    the second; the refreshes in between do not hide it. Both clicks land
    0.4 s after a refresh, so neither is cleared before the watch sees it."""
    with start(session, tree=tree("two-units")) as sc:
        sc.spy.wait_rows(X.TWO_UNITS_SPLIT, timeout=3)
        first, second_row = sc.spy.row_point(CAT_ROW_A), sc.spy.row_point(CAT_ROW_A + 1)
        watcher = sc.spy.watch(15000)
        refreshed = select_until_refreshed(sc, watcher, HEADER_ROW_A)
        click_at(sc, first, refreshed + 0.4)
        click_at(sc, second_row, refreshed + 3.4)
        events = until_hint_hidden(watcher)
        second = first_change(events, lambda e: e.get("cursel") == CAT_ROW_A + 1)
        shown = first_change(events, lambda e: e.get("hintVisible"))
        hidden = first_change(events, lambda e: e.get("hintVisible") is False, shown)
        expect(second and shown and hidden, f"selections or hint changes missing: {events}")
        expect_about(elapsed(second, hidden, events), 4567,
                     "hint hidden after the second selection", events)


def double_click_until_launch(sc, row, count_before):
    """Double-clicks a row; once more if a refresh tick fell between the clicks."""
    for _ in range(2):
        sc.double_click_row(row)
        try:
            return poll("properties launch", lambda: len(sc.launches()) > count_before and
                        sc.launches(), 2.0)
        except E2EError:
            continue
    raise E2EError(f"no launch after double-clicking row {row}; log: {sc.log_path}")


# rundll32.exe of the 64-bit System32 on 64-bit Windows: the x86 program
# switches WOW64's redirection off to launch it, the x64 one has none.
@params(("x86-win32", {"platform": "x86-win32", "row": CAT_ROW_A, "device": X.ID_CAT_A}),
        ("x86-win64", {"platform": "x86-win64", "row": AUDIO_OUT_ROW_A, "device": X.ID_RENDER_A}),
        ("x86-win64-second-unit", {"platform": "x86-win64", "row": WINKEY_ROW_B,
                                   "device": X.ID_WINKEY_B}),
        ("x64-win64", {"platform": "x64-win64", "row": AUDIO_OUT_ROW_A, "device": X.ID_RENDER_A}))
def test_double_click_opens_properties(session, platform, row, device):
    with start(session, platform=platform, tree=tree("two-units")) as sc:
        sc.spy.wait_rows(X.TWO_UNITS_SPLIT, timeout=3)
        sc.double_click_row(HEADER_ROW_A)
        time.sleep(1.2)
        expect_equal(sc.launches(), [], "launches after double-clicking a header row")

        launch = double_click_until_launch(sc, row, 0)[0]
        params_text = X.PROPERTIES_PREFIX + device
        expect_equal(launch["verb"], "runas", "ShellExecute operation")
        # By its full path in the system folder, which is also the working
        # folder: the shell would look for a bare name there first.
        expect_equal(launch["file"], "C:\\windows\\system32\\rundll32.exe", "ShellExecute file")
        expect_equal(launch["params"], params_text, "ShellExecute parameters")
        expect_equal(launch["dir"], "C:\\windows\\system32", "ShellExecute directory")
        expect_equal(launch.get("command"), '"C:\\windows\\system32\\rundll32.exe" ' + params_text,
                     "command line Wine started")
        sc.screenshot()
        expect("Can't revert WOW64 redirection" not in sc.messages(), "WOW64 revert failed")


def test_double_click_on_an_over_long_id_launches_nothing(session):
    """A device whose instance ID is longer than any Windows gives (over 200
    characters): double-clicking its row launches nothing, not even the page
    of the device opened before it, whose ID the parameters still hold."""
    long_id = X.ID_RENDER_A + "0" * 240
    with start(session, platform=session.machine.win64,
               tree=tree("two-units").replace(X.ID_RENDER_A, long_id)) as sc:
        sc.spy.wait_rows(X.TWO_UNITS_SPLIT, timeout=3)
        expect_equal(double_click_until_launch(sc, CAT_ROW_A, 0)[0]["params"],
                     X.PROPERTIES_PREFIX + X.ID_CAT_A, "the first launch's parameters")
        # Twice, in case a refresh tick falls between the clicks of one.
        for _ in range(2):
            sc.double_click_row(AUDIO_OUT_ROW_A)
            time.sleep(1.2)
        expect_equal(len(sc.launches()), 1, "launches after double-clicking the over-long ID")
        expect("Can't revert WOW64 redirection" not in sc.messages(), "WOW64 revert failed")


@timing
def test_hot_plug(session):
    with start(session, tree=tree("empty")) as sc:
        sc.spy.wait_rows([X.NOT_FOUND], timeout=3)
        sc.set_tree(tree("two-units"))
        _, waited = sc.spy.wait_rows(X.TWO_UNITS_SPLIT, timeout=2.0)
        sc.screenshot("plugged")
        sc.set_tree(tree("no-units"))
        _, waited_out = sc.spy.wait_rows([X.NOT_FOUND], timeout=2.0)
        sc.set_tree(tree("mixed-case"))
        sc.spy.wait_rows(X.UNIT_A_SPLIT, timeout=2.0)
        sc.screenshot()
        print(f"      rows changed {waited:.2f} s after plugging, {waited_out:.2f} s after "
              "unplugging")


def check_layout(state):
    """The child controls where the layout arithmetic puts them, from the frame
    metrics of this Wine session, in client coordinates, with their styles."""
    metrics = state["metrics"]
    allowance_x = 4 * metrics["paddedBorder"]
    allowance_y = (metrics["frameY"] + metrics["captionY"]) * 9 // 10 + allowance_x
    width, height = 470 - allowance_x, 500 - allowance_y
    expected = {  # text or class: (x, y, w, h, id, style bits that must be set)
        "Copy": (5, height - 35, 70, 30, 107, 0x50010001),     # WS_CHILD|VISIBLE|TABSTOP, BS_DEFPUSHBUTTON
        "Exit": (width - 75, height - 35, 70, 30, 108, 0x50010001),
        # |WS_BORDER, LBS_NOTIFY|LBS_HASSTRINGS|LBS_USETABSTOPS. (WS_VSCROLL and
        # WS_HSCROLL leave the style while their scroll bars are hidden.)
        "ListBox": (5, 0, width - 10, height - 30, 109, 0x508000C1),
        "Static": (105, height - 35, width - 210, 15, 0, 0x40000000),
    }
    origin_x, origin_y = state["client"][0], state["client"][1]
    seen = {}
    for child in state["children"]:
        key = child["text"] if child["class"] == "Button" else child["class"]
        left, top, right, bottom = child["rect"]
        seen[key] = (left - origin_x, top - origin_y, right - left, bottom - top, child["id"],
                     child["style"])
    expect_equal(sorted(seen), sorted(expected), "child controls")
    # Without LBS_NOINTEGRALHEIGHT the list box trims its height to whole rows,
    # counting the room of its (hidden) horizontal scroll bar: up to two rows less.
    item_height = state["list"]["itemHeight"]
    list_height = seen["ListBox"][3]
    expect(expected["ListBox"][3] - 2 * item_height < list_height <= expected["ListBox"][3],
           f"list box height {list_height}, expected {expected['ListBox'][3]} trimmed to whole "
           f"rows of {item_height}")
    seen["ListBox"] = seen["ListBox"][:3] + (expected["ListBox"][3],) + seen["ListBox"][4:]
    for key, (x, y, w, h, control_id, style) in expected.items():
        actual = seen[key]
        expect_equal(actual[:5], (x, y, w, h, control_id), f"{key}: x, y, width, height, id")
        expect(actual[5] & style == style, f"{key}: style {actual[5]:#x} lacks {style:#x}")
    LBS_SORT, SS_TYPEMASK = 0x2, 0x1F
    expect(not seen["ListBox"][5] & LBS_SORT, "list box sorts its rows")
    expect_equal(seen["Static"][5] & SS_TYPEMASK, 0, "hint label type (SS_LEFT)")


def test_window_geometry_and_exit_button(session):
    with start(session, tree=tree("two-units")) as sc:
        width, height = session.display.width, session.display.height
        x, y, w, h = sc.display.geometry(sc.window)
        expect_equal((w, h), (470, 500), "outer size")
        expect_equal((x, y), ((width - 470) // 2, (height - 500) // 2), "position")
        state = sc.spy.state()
        expect_equal(state["window"], [x, y, x + 470, y + 500], "window rectangle seen by Windows")
        expect_equal(state["class"], "QUORVANTAKQ6200ENUM", "window class")
        style = state["style"]
        WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x40000, 0x20000, 0x10000
        expect(not style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
               f"window style {style:#x} allows sizing, minimising or maximising")
        # The edges and corners are plain border, not sizing handles (HTLEFT..HTBOTTOMRIGHT).
        for px, py in ((x, y + 250), (x + 469, y + 250), (x + 235, y + 499), (x + 469, y + 499)):
            hit = sc.spy("hittest", px, py)["hit"]
            expect(not 10 <= hit <= 17, f"({px},{py}) hit-tests as sizing handle {hit}")
        # Dragging the bottom-right corner changes nothing.
        sc.display.xdotool("mousemove", x + 469, y + 499, "mousedown", 1)
        sc.display.xdotool("mousemove", x + 560, y + 600)
        sc.display.xdotool("mouseup", 1)
        time.sleep(0.3)
        expect_equal(sc.display.geometry(sc.window), (x, y, 470, 500),
                     "geometry after dragging the corner")
        check_layout(state)
        sc.screenshot()
        sc.click_button("Exit")
        expect_equal(sc.wait_exit(10), 0, "exit code after Exit")


def test_close_box_exits(session):
    with start(session, platform=session.machine.win64, tree=tree("two-units")) as sc:
        point = sc.spy("closebox")
        sc.display.click(point["x"], point["y"])
        expect_equal(sc.wait_exit(10), 0, "exit code after the close box")
        expect_equal(sc.messages(), [], "message boxes")
