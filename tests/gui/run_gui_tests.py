#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""GUI tests of the Morvek window under Wine and Xvfb (harness.py runs them).

Each test serves the site it needs on 127.0.0.1, starts the window program's test build in a
fresh working folder, drives and inspects it, and checks the window, the files and the exit
code; screenshots go to the build's gui-shots folder. Run one test by name, or --list them.
"""

import os
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_site  # noqa: E402
from harness import (LABELS, SITE_BASE, W, ShellHandler, TestFailure, TestSkipped,  # noqa: E402
                     click_char, main, poll, run_wine, windows_path)

BANNER = " " * 11 + "Channels fetched from World Wide Internet TV: " + SITE_BASE
WS_VISIBLE, WS_CLIPSIBLINGS, WS_SYSMENU, WS_CAPTION = 0x10000000, 0x04000000, 0x80000, 0xC00000
WS_EX_TOOLWINDOW = 0x80
# The required layout. id: (class, left, top, width, height, text at start)
CONTROL_TABLE = {
    W.kStatusLabel: ("Static", 5, 5, 390, 20, "Channels found: 0"),
    W.kProgressBar: ("msctls_progress32", 5, 30, 390, 30, ""),
    W.kBannerField: ("RichEdit20A", 5, 65, 390, 20, BANNER),
    W.kViewListButton: ("Button", 5, 90, 190, 20, "View list"),
    W.kCloseButton: ("Button", 205, 90, 190, 20, "Close"),
    W.kDetailsPanel: ("RichEdit20A", 5, 115, 390, 240, ""),
}
RICH_EDIT_CLASSES = ("RichEdit20A", "RichEdit")
SLOW_DELAY_MS = 400  # per page, so that a run of a slow site lasts several seconds
QUIET_S = 2  # how long a program start that must not come is looked for
DOUBLE_CLICK_S = 0.6  # longer than the double-click time


# ---- Sites and expected results

def small_site(t, countries=3, per_country=4, delay_ms=0, hang=False):
    root = os.path.join(t.work, "site")
    make_site.write_site(root, make_site.generated_countries(countries * per_country, per_country))
    t.serve(root, delay_ms, hang)
    return root


def cli_records(t, site_root):
    """The channels.dat the console program writes for the site, and its records."""
    t.serve(site_root)
    out = os.path.join(t.work, "cli")
    os.makedirs(out, exist_ok=True)
    result = run_wine(t.paths, t.paths.cli, "--site", SITE_BASE, "--output",
                      windows_path(os.path.join(out, "channels.dat")), cwd=out, timeout=600)
    t.require(result.returncode == 0, f"morvek-cli failed: {result.returncode} "
              f"{result.stderr.decode('latin-1', 'replace')[-500:]}")
    data = t.channel_file(out)
    records = [line.split("|") for line in data.decode("latin-1").split("\r\n")[:-1]]
    t.require(all(len(r) == 7 for r in records), "a channels.dat line without seven fields")
    return data, records


def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


# ---- Checks

def check_panel(t, records):
    """The panel holds one labelled block per record, in order, and nothing else."""
    text = t.panel_text()
    expected = "\n".join(label + value for r in records for label, value in
                         zip(LABELS + [""], r + [""]))
    i = first_difference(text, expected)
    t.expect(text == expected, f"details panel text differs at {i} (lengths {len(text)}, "
             f"{len(expected)}): got {text[max(0, i - 60):i + 60]!r}, "
             f"expected {expected[max(0, i - 60):i + 60]!r}")
    return text


def check_panel_faces_and_links(t, records, text):
    """Label and value of every line of the first two blocks and the last one are in Courier
    New, so that the values line up; the homepage of the first, a middle and the last block
    is a link, so that a click on it reaches the shell."""
    lines = text.split("\n")
    block = len(LABELS) + 1
    wanted = set(range(2 * block)) | set(range(len(lines) - block - 1, len(lines)))
    starts = [0]
    for line in lines:
        starts.append(starts[-1] + len(line) + 1)
    wrong = [f"line {n + 1} at {col}: {face}" for n in sorted(wanted) if lines[n]
             for col in (0, W.kBlockLabelWidth) if col < len(lines[n])
             for face in [t.char_format(W.kDetailsPanel, starts[n] + col)["face"]]
             if face != "Courier New"]
    t.expect(not wrong, f"details panel lines not in Courier New: {wrong[:6]}")
    not_links = []
    for number in sorted({0, len(records) // 2, len(records) - 1}):
        homepage = records[number][6]
        at = starts[number * block + 6] + W.kBlockLabelWidth
        if homepage.startswith("http://") and t.char_format(W.kDetailsPanel, at + 1)["link"] != "1":
            not_links.append(f"block {number + 1}: {homepage}")
    t.expect(not not_links, f"homepage addresses not shown as links: {not_links}")


def check_layout(t, d, status_text, progress_pos, rich_edit_shown=True):
    """The six controls as the required layout gives them, each visible. Wine keeps WS_VISIBLE
    away from a rich-edit control in a fresh prefix for a while at start-up: with
    rich_edit_shown False that flag is left to a later check."""
    t.equal(d["title"], W.kWindowTitle, "window title")
    t.equal(d.pair("client_size"), (W.kClientWidth, W.kClientHeightShort), "client size")
    t.equal(len(d.controls), W.kControlCount, "number of controls")
    for number, (cls, left, top, width, height, text) in CONTROL_TABLE.items():
        c = d.controls.get(number)
        if not t.expect(c is not None, f"control {number} exists"):
            continue
        if cls in RICH_EDIT_CLASSES and c["class"] in RICH_EDIT_CLASSES:
            cls = c["class"]
        t.equal(c["class"], cls, f"control {number} class")
        if rich_edit_shown or cls not in RICH_EDIT_CLASSES:
            t.expect(int(c["style"], 16) & WS_VISIBLE, f"control {number} visible")
        t.equal(c.get("rect"), f"{left},{top},{width},{height}", f"control {number} rectangle")
        if number != W.kDetailsPanel:
            t.equal(c["text"], status_text if number == W.kStatusLabel else text,
                    f"control {number} text")
    bar = d.controls.get(W.kProgressBar, {})
    t.equal(bar.get("range"), f"0,{W.kProgressTop}", "progress bar range")
    t.equal(int(bar.get("pos", -1)), progress_pos, "progress bar position")
    t.equal(d.controls.get(W.kViewListButton, {}).get("check"), "0", "View list starts off")


def check_owned(t, d, owner, position, what):
    style = int(d["style"], 16) & ~(WS_VISIBLE | WS_CLIPSIBLINGS)
    t.equal(hex(style), hex(WS_CAPTION), f"{what}: window style, no system menu")
    t.expect(int(d["exstyle"], 16) & WS_EX_TOOLWINDOW, f"{what}: tool-window style")
    t.equal(d["owner"], str(owner), f"{what}: owner")
    t.equal(d.pair("client_size"), (W.kClientWidth, W.kClientHeightShort), f"{what}: client size")
    t.equal(d.pair("window_rect")[:2], position, f"{what}: position")


def check_toggle(t, what, within=20):
    """View list: short -> tall -> short within `within` seconds each, the top-left corner and
    the width kept."""
    rect = t.dump().pair("window_rect")
    for pressed, height in ((1, W.kClientHeightTall), (0, W.kClientHeightShort)):
        t.click(W.kViewListButton)
        d = poll(lambda: (lambda d: d if d.pair("client_size")[1] == height else None)(t.dump()),
                 within) or t.dump()
        t.equal(d.pair("client_size"), (W.kClientWidth, height), f"{what}: client size")
        t.equal(d.controls[W.kViewListButton]["check"], str(pressed), f"{what}: View list state")
        t.equal(d.pair("window_rect")[:3], rect[:3], f"{what}: left, top and outer width kept")
        t.equal(d.pair("window_rect")[3] - rect[3], height - W.kClientHeightShort,
                f"{what}: outer height")


def check_aborted(t, full_records, within=120):
    """A stopped run: " ABORTED" with the count shown so far, a full bar, the panel holding
    exactly the channels counted, no channels.dat."""
    d = t.wait_finished(within)
    status = d.controls[W.kStatusLabel]["text"]
    m = re.fullmatch(W.kStatusPrefix + r"(\d+)" + W.kWordAborted, status)
    if t.expect(m is not None, f"aborted status, got {status!r}"):
        count = int(m.group(1))
        t.expect(count < len(full_records), f"stopped part way: {count} of {len(full_records)}")
        t.equal(int(d.controls[W.kProgressBar]["pos"]), W.kProgressTop, "progress bar full")
        t.equal(d.controls[W.kCloseButton]["text"], "Close", "Close caption")
        check_panel(t, full_records[:count])
    t.expect(t.channel_file() is None, "no channels.dat after a stopped run")


# ---- The tests

def test_standalone_window(t):
    """No argument: centred on the screen, close box, the six controls, the banner link."""
    small_site(t, 3, 3, delay_ms=1500)  # the index page is still on its way while we look
    metrics = t.driver("metrics")
    t.start()
    t.wait_window()
    d = t.dump()
    check_layout(t, d, "Channels found: 0", 0, rich_edit_shown=False)
    style = int(d["style"], 16) & ~(WS_VISIBLE | WS_CLIPSIBLINGS)
    t.equal(hex(style), hex(WS_CAPTION | WS_SYSMENU), "standalone window style")
    t.expect(int(d["exstyle"], 16) & WS_EX_TOOLWINDOW == 0, "standalone: no tool-window style")
    t.equal(d["owner"], "0", "standalone: no owner")
    screen_w, screen_h = metrics.pair("screen")
    left, top, width, height = d.pair("window_rect")
    t.equal((width, height), metrics.pair("adjusted_standalone"), "outer size for the client")
    t.equal((left, top), ((screen_w - width) // 2, (screen_h - height) // 2), "centred on screen")
    t.window_shot("starting")
    done = t.wait_finished()
    check_layout(t, done, done.controls[W.kStatusLabel]["text"], W.kProgressTop)
    address_at = len(BANNER) - len(SITE_BASE)
    t.equal(t.char_format(W.kBannerField, address_at + 1)["link"], "1", "banner address a link")
    t.equal(t.char_format(W.kBannerField, 12)["link"], "0", "banner words not a link")
    t.window_shot("done")
    t.close_and_check_exit()


def test_owned_window(t):
    """A real owner window: centred on it, tool window without close box, the View list
    toggle after the run."""
    small_site(t)
    width, height = t.driver("metrics").pair("adjusted_owned")
    owner = t.driver("owner-create", 200, 150, 800, 600)
    t.start(owner["owner"])
    t.wait_window()
    d = t.wait_finished()
    ow_left, ow_top, ow_width, ow_height = owner.pair("owner_rect")
    check_owned(t, d, owner["owner"],
                (ow_left + (ow_width - width) // 2, ow_top + (ow_height - height) // 2), "owned")
    check_layout(t, d, d.controls[W.kStatusLabel]["text"], W.kProgressTop)
    t.window_shot("owned")
    check_toggle(t, "owned after the run")
    t.close_and_check_exit()


def test_owned_window_positions(t):
    """An owner so far up and left that the centred position is negative, and the arguments
    "0" and "abc" (the handle 0): owned mode at the screen's corner."""
    small_site(t, 1, 2)
    for case in ("far owner", "0", "abc"):
        workdir = os.path.join(t.work, case.replace(" ", "-"))
        os.makedirs(workdir)
        far = case == "far owner"
        owner = t.driver("owner-create", -500, -400, 600, 300)["owner"] if far else 0
        t.start(owner or case, workdir)
        t.wait_window()
        check_owned(t, t.wait_finished(), owner, (0, 0), f"argument {case!r}")
        if case == "0":
            t.window_shot("handle-0")
        t.close_and_check_exit()


def test_owner_not_a_window(t):
    """A handle that names no window: "Warning!" / "Error opening window!", exit code 0."""
    small_site(t, 1, 2)
    t.start("12345678")
    box = t.driver("msgbox", W.kWarningTitle, 20000, timeout=30)
    t.equal(box.all("text"), [W.kOpenFailedText], "message text")
    t.equal(box.all("button"), ["OK"], "message buttons")
    t.screenshot("warning")
    t.driver("msgbox", W.kWarningTitle, 2000, "dismiss")
    t.equal(t.wait_exit(), 0, "exit code")
    t.expect(t.channel_file() is None, "no channels.dat")


def test_view_toggle_during_run(t):
    """View list during a slow run and after it, in standalone mode."""
    small_site(t, 20, 5, delay_ms=SLOW_DELAY_MS)
    t.start()
    t.wait_window()
    t.wait_count(2)
    check_toggle(t, "during the run")
    t.expect(not t.status().endswith(W.kWordDone), "the toggle was seen during the run")
    t.wait_finished()
    check_toggle(t, "after the run")
    t.close_and_check_exit()


def test_close_button_during_run(t):
    """Close during a slow run: "... ABORTED", the panel keeps the channels, no file; Close again
    ends the program with exit code 0."""
    site = small_site(t, 12, 5)
    full = cli_records(t, site)[1]
    t.serve(site, SLOW_DELAY_MS)
    t.start()
    t.wait_window()
    t.wait_count(6)
    t.click(W.kCloseButton)
    check_aborted(t, full)
    t.click(W.kViewListButton)
    t.window_shot("stopped")
    t.close_and_check_exit()


def test_close_request_during_run(t):
    """Close requests from another program in owned mode (no close box). A sent WM_CLOSE during
    the run stops it like Close, and a posted one after the run ends the program. A posted
    WM_CLOSE during the run is taken both as the stop and as the close request that follows
    it, so the program may end right after the stop; either way nothing is saved."""
    site = small_site(t, 12, 5)
    full = cli_records(t, site)[1]
    t.serve(site, SLOW_DELAY_MS)
    owner = t.driver("owner-create", 100, 100, 700, 500)["owner"]
    t.start(owner)
    t.wait_window()
    t.wait_count(6)
    t.equal(t.driver("send-close")["answered"], "1", "the sent close request was taken")
    check_aborted(t, full)
    t.driver("post-close")
    t.equal(t.wait_exit(), 0, "exit code after a close request")

    workdir = os.path.join(t.work, "posted")
    os.makedirs(workdir)
    t.start(owner, workdir)
    t.wait_window()
    t.wait_count(6)
    t.driver("post-close")
    reply = t.driver.wait("wait-exit", 5)
    if "error" in reply:
        status = t.wait_finished().controls[W.kStatusLabel]["text"]
        t.expect(status.endswith(W.kWordAborted), f"posted close during the run: {status!r}")
        t.driver("post-close")
        t.equal(t.wait_exit(), 0, "exit code")
    else:
        t.started = False
        t.equal(reply["exit"], "0", "exit code after a posted close during the run")
    t.expect(t.channel_file(workdir) is None, "no channels.dat")


def test_slow_server(t):
    """A server that answers each request after 8 s, and one that stalls after the headers.
    While a page is on its way the window answers a message within 500 ms and View list
    resizes within 1 s; Close shows " ABORTED" within 2 s and writes no file."""
    for label, delay_ms, hang in (("slow", 8000, False), ("stalled", 0, True)):
        workdir = os.path.join(t.work, label)
        os.makedirs(workdir)
        small_site(t, 2, 2, delay_ms, hang)
        t.start(workdir=workdir)
        t.wait_window()
        for _ in range(3):
            ping = t.driver("ping", 2000)
            t.expect(ping["answered"] == "1" and int(ping["ms"]) <= 500,
                     f"{label}: the window answered in {ping['ms']} ms")
        check_toggle(t, label, within=1)
        t.window_shot(f"{label}-fetching")
        t.click(W.kCloseButton)
        status = t.wait_finished(2).controls[W.kStatusLabel]["text"]
        t.expect(status.endswith(W.kWordAborted), f"{label}: status after Close {status!r}")
        t.expect(t.channel_file(workdir) is None, f"{label}: no channels.dat")
        t.close_and_check_exit()


def test_focus_cycle(t):
    """Tab and Shift+Tab cycle BannerField, ViewListButton, CloseButton, DetailsPanel."""
    small_site(t, 1, 2)
    t.start()
    t.wait_window()
    t.wait_finished()
    cycle = [W.kBannerField, W.kViewListButton, W.kCloseButton, W.kDetailsPanel]
    seen = []
    for key, steps, direction in (("tab", 5, 1), ("shift-tab", 4, -1)):
        start = cycle.index(seen[-1]) if seen and seen[-1] in cycle else None
        moves = []
        for _ in range(steps):
            t.driver("key", key)
            moves.append(focus_after_key(t))
        if start is None and t.expect(moves[0] in cycle, f"Tab focuses the cycle, got {moves}"):
            start = cycle.index(moves[0]) - 1
        if start is not None:
            t.equal(moves, [cycle[(start + direction * (i + 1)) % 4] for i in range(steps)],
                    f"{key} order")
        seen += moves
    t.close_and_check_exit()


def focus_after_key(t):
    """The focus once two looks in a row agree: the keystroke is handled asynchronously."""
    looks = [None]

    def settled():
        looks.append(int(t.driver("focus")["focus_id"]))
        return looks[-1] == looks[-2]
    poll(settled, 5, step=0.15)
    return looks[-1]


def test_banner_link_opens(t):
    """A real left click on the banner address reaches the shell's "Open" for http; a right
    click opens nothing."""
    small_site(t, 1, 2)
    handler = ShellHandler(t)
    try:
        t.start()
        t.wait_window()
        t.wait_finished()
        address_at = len(BANNER) - len(SITE_BASE)
        click_char(t, W.kBannerField, address_at + 2, button=3)
        click_char(t, W.kBannerField, address_at + 2)
        handler.wait_lines(1)
        lines = handler.wait_lines(2, QUIET_S)  # a start by the right click too?
        t.expect(len(lines) == 1 and lines[0].endswith(f'"{SITE_BASE}"'),
                 f"one start of the http handler, with the banner address: {lines}")
        t.close_and_check_exit()
    finally:
        handler.restore()


def test_unsafe_links_start_nothing(t):
    """Real clicks on hostile page links: a copy of the recorder planted where each would resolve
    as a file never runs; the shell's http handler gets exactly the addresses that may open, a
    www. address with http:// in front, and the good http address with exactly its text."""
    markers = os.path.join(t.work, "markers")
    os.makedirs(markers)
    marker = os.path.join(markers, "calc.exe")
    shutil.copy(t.paths.recorder, marker)
    shutil.copy(t.paths.recorder, os.path.join(t.work, "www.evil.com"))  # the working folder
    unc_dir = os.path.join(os.environ.get("WINEPREFIX", ""), "dosdevices", "unc", "morvekhost")
    os.makedirs(unc_dir, exist_ok=True)
    share = os.path.join(unc_dir, "share")
    if os.path.lexists(share):
        os.remove(share)
    os.symlink(markers, share)
    up = "http://tv.example" + "/.." * 12
    good = SITE_BASE + "home/safe.html"
    links = [  # (link text, address the handler gets, or None)
        (up + marker, "http://tv.example" + marker),  # never a path the shell could look up
        ("www.evil.com", "http://www.evil.com"),
        ("file:///" + windows_path(marker).replace("\\", "/"), None),
        ("\\\\morvekhost\\share\\calc.exe", None),
        ("mailto:calc@evil.example", None),
        ("javascript:alert(1)", None),
        ("http://tv.example/" + "a" * 580 + "/" + up + marker, None),  # longer than the buffer
        ("http://tv.example" + "/%2e%2e" * 12 + marker, "http://tv.example" + "/%2e%2e" * 12 + marker),
        (good, good),
    ]
    site = os.path.join(t.work, "site")
    make_site.write_site(site, [("LINKS", "links.htm", [
        {"channel": f"Link {n}", "homepage": link, "streams": [("m", "mms://127.0.0.1/x", "3")],
         "about": "Links"} for n, (link, _) in enumerate(links)])])
    t.serve(site)
    handler = ShellHandler(t)
    try:
        t.start()
        t.wait_window()
        t.wait_finished()
        check_toggle_on(t)
        raw = t.panel_text()
        expected = []
        for link, address in links:
            time.sleep(DOUBLE_CLICK_S)  # two clicks on one spot would make a double click
            t.driver("show-char", W.kDetailsPanel, raw.index(link) + 2)
            click_char(t, W.kDetailsPanel, raw.index(link) + 2)
            if address:
                expected.append(f'"{address}"')
                handler.wait_lines(len(expected))
        t.window_shot("links")
        lines = handler.wait_lines(len(expected) + 1, QUIET_S)
        t.equal([line[line.index('" ') + 2:] for line in lines], expected, "addresses opened")
        for log in (os.path.join(markers, "gui_recorder.log"), os.path.join(t.work, "gui_recorder.log")):
            t.expect(not os.path.exists(log), f"a planted program ran: {log}")
        t.close_and_check_exit()
    finally:
        handler.restore()
        os.remove(share)


def check_toggle_on(t):
    t.click(W.kViewListButton)
    t.require(poll(lambda: t.dump().pair("client_size")[1] == W.kClientHeightTall, 20),
              "View list did not show the details panel")


def test_harvest_matches_console(t):
    """The bundled sample directory and a generated one of 20,000 channels: the same
    channels.dat as the console program, the panel's blocks in Courier New with their links,
    DONE with the count, a full bar."""
    large = os.path.join(t.work, "large-site")
    make_site.write_site(large, make_site.generated_countries(20000, 100))
    for label, site in (("sample", t.paths.sample_site), ("large", large)):
        if not os.path.isdir(site):
            raise TestSkipped(f"the {label} directory is absent")
        expected, records = cli_records(t, site)
        t.expect(label == "sample" or len(records) == 20000, f"{len(records)} channels")
        workdir = os.path.join(t.work, label)
        os.makedirs(workdir)
        t.start(workdir=workdir)
        t.wait_window()
        d = t.wait_finished(timeout=250)
        got = t.channel_file(workdir)
        t.require(got is not None, f"no channels.dat; {d.controls[W.kStatusLabel]['text']!r}")
        t.expect(got == expected, f"{label}: channels.dat equals the console program's "
                 f"({len(got)} vs {len(expected)} bytes, first difference at "
                 f"{first_difference(got, expected)})")
        t.equal(d.controls[W.kStatusLabel]["text"],
                f"{W.kStatusPrefix}{len(records)}{W.kWordDone}", "final status")
        t.equal(int(d.controls[W.kProgressBar]["pos"]), W.kProgressTop, "progress bar full")
        t.equal(d.controls[W.kCloseButton]["text"], "Close", "Close caption")
        check_panel_faces_and_links(t, records, check_panel(t, records))
        check_toggle_on(t)
        t.window_shot(f"{label}-list")
        t.close_and_check_exit()


def test_save_failure(t):
    """A directory named channels.dat: "Update failed!" box, no DONE, exit code 0 after Close."""
    small_site(t, 2, 3)
    os.makedirs(os.path.join(t.work, "channels.dat"))
    t.start()
    t.wait_window()
    box = t.driver("msgbox", "Update failed!", 60000, timeout=70)
    t.equal(box.all("text"), ["Couldn't save channel list!"], "message text")
    t.equal(box.all("button"), ["OK"], "message buttons")
    t.equal(box["main_enabled"], "0", "the window takes no input while the box is open")
    t.screenshot("update-failed")
    t.driver("msgbox", "Update failed!", 2000, "dismiss")
    t.require(poll(lambda: t.dump()["enabled"] == "1", 10), "the window stays disabled")
    t.equal(t.status(), "Channels found: 6", "status keeps the count without DONE")
    t.expect(os.path.isdir(os.path.join(t.work, "channels.dat")), "the directory is untouched")
    t.close_and_check_exit()


TESTS = {name[5:]: f for name, f in list(globals().items()) if name.startswith("test_")}

if __name__ == "__main__":
    sys.exit(main(TESTS, __doc__))
