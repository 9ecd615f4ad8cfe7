#!/usr/bin/env python3
"""GUI tests of the Morvek window under Wine and Xvfb.

Each test starts the test web server on 127.0.0.1:18765 with the site it needs, starts the test
build of the window program (whose site base is that address) in a fresh working directory,
drives and inspects it with gui_driver.exe, clicks with xdotool, takes screenshots with
ImageMagick into the build's gui-shots folder, and checks the window, the files and the exit
code. Every wait is bounded. Run one test by name, or --list them.
"""

import argparse
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_site  # noqa: E402

PORT = 18765
SITE_BASE = f"http://127.0.0.1:{PORT}/"
TITLE = " Morvek v1.0 Beta 3"
BANNER = " " * 11 + "Channels fetched from World Wide Internet TV: " + SITE_BASE
STATUS_PREFIX = "Channels found: "
LABELS = ["Country:    ", "Channel:    ", "Bitrate:    ", "Category:   ", "About:      ",
          "Stream URL: ", "Homepage:   "]
STATUS_LABEL, PROGRESS_BAR, DETAILS_PANEL, BANNER_FIELD, CLOSE_BUTTON, VIEW_LIST_BUTTON = range(6)
PROGRESS_TOP = 1206
CLIENT_WIDTH, CLIENT_SHORT, CLIENT_TALL = 400, 115, 360

WS_VISIBLE, WS_CLIPSIBLINGS, WS_SYSMENU, WS_CAPTION = 0x10000000, 0x04000000, 0x00080000, 0x00C00000
WS_VSCROLL, WS_HSCROLL = 0x00200000, 0x00100000
WS_EX_TOOLWINDOW, WS_EX_WINDOWEDGE = 0x80, 0x100

# id: (class, left, top, width, height, style, ex-style, text at start)
CONTROL_TABLE = {
    STATUS_LABEL: ("Static", 5, 5, 390, 20, 0x50020001, 0, "Channels found: 0"),
    PROGRESS_BAR: ("msctls_progress32", 5, 30, 390, 30, 0x50000000, 0, ""),
    BANNER_FIELD: ("RichEdit20A", 5, 65, 390, 20, 0x503119C4, 0x200, BANNER),
    VIEW_LIST_BUTTON: ("Button", 5, 90, 190, 20, 0x50031003, 0, "View list"),
    CLOSE_BUTTON: ("Button", 205, 90, 190, 20, 0x50030000, 0, "Close"),
    DETAILS_PANEL: ("RichEdit20A", 5, 115, 390, 240, 0x503119C4, 0x200, ""),
}
RICH_EDIT_CLASSES = ("RichEdit20A", "RichEdit")
# The rich-edit control shows and hides its own scroll bars, which sets and clears these bits.
SCROLL_BITS = WS_VSCROLL | WS_HSCROLL

SLOW_DELAY_MS = 400  # per page, so that a run lasts several seconds


class TestFailure(Exception):
    pass


class TestSkipped(Exception):
    """Something the test needs is not part of this build yet."""


SKIPPED = 77  # the exit code CTest counts as skipped


class Paths:
    def __init__(self, args):
        self.source = os.path.abspath(args.source_dir)
        self.build = os.path.abspath(args.build_dir)
        self.program = os.path.abspath(args.program)
        self.driver = os.path.abspath(args.driver)
        self.recorder = os.path.abspath(args.recorder)
        self.cli = os.path.abspath(args.cli)
        self.server = args.server or os.path.join(self.source, "tests", "server", "test_server.py")
        self.wine_run = os.path.join(self.source, "scripts", "wine-run.sh")
        self.shots = os.path.join(self.build, "gui-shots")
        self.work = os.path.join(self.build, "gui-work")
        self.sample_site = os.path.join(self.source, "sample-site")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return env


def unescape(value):
    out = bytearray()
    i = 0
    raw = value.encode("latin-1")
    while i < len(raw):
        if raw[i] == 0x5C and i + 1 < len(raw):
            if raw[i + 1] == 0x5C:
                out.append(0x5C)
                i += 2
                continue
            if raw[i + 1] == ord("x") and i + 3 < len(raw):
                out.append(int(raw[i + 2:i + 4], 16))
                i += 4
                continue
        out.append(raw[i])
        i += 1
    return out.decode("latin-1")


class Reply(dict):
    """A driver reply: key -> last value; every value of a repeated key in .all(key)."""

    def __init__(self):
        super().__init__()
        self.lists = {}

    def add(self, key, value):
        self[key] = value
        self.lists.setdefault(key, []).append(value)

    def all(self, key):
        return self.lists.get(key, [])

    def pair(self, key):
        return tuple(int(v) for v in self[key].split(","))


class Driver:
    """One gui_driver.exe in serve mode under Wine."""

    def __init__(self, paths):
        self.proc = subprocess.Popen([paths.wine_run, paths.driver, "serve"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     env=wine_env())
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("latin-1").rstrip("\r\n"))
        self.lines.put(None)

    def __call__(self, *fields, timeout=30, fail=True):
        line = "\t".join(str(f) for f in fields) + "\n"
        try:
            self.proc.stdin.write(line.encode("latin-1"))
            self.proc.stdin.flush()
        except OSError as e:
            raise TestFailure(f"driver gone: {e}")
        reply = Reply()
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TestFailure(f"driver command {fields[0]} gave no answer in {timeout} s")
            try:
                out = self.lines.get(timeout=remaining)
            except queue.Empty:
                continue
            if out is None:
                raise TestFailure(f"driver ended during {fields[0]}")
            if out == "ok":
                return reply
            if out.startswith("error="):
                reply.add("error", out[6:])
                if fail:
                    raise TestFailure(f"driver {' '.join(map(str, fields))}: {out[6:]}")
                return reply
            key, _, value = out.partition("=")
            reply.add(key, unescape(value))

    def close(self):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait(timeout=10)


class Server:
    """The project's test web server serving one folder on PORT."""

    def __init__(self, paths, root, delay_ms=0):
        if not os.path.exists(paths.server):
            raise TestSkipped(f"the test web server is absent: {paths.server}")
        wait_port_free(paths.server)
        cmd = [sys.executable, paths.server, "--root", root, "--port", str(PORT), "--quiet"]
        if delay_ms:
            cmd += ["--delay-ms", str(delay_ms)]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 15
        while not port_open():
            if self.proc.poll() is not None:
                raise TestFailure("test web server ended: " +
                                  self.proc.stderr.read().decode("latin-1", "replace"))
            if time.monotonic() > deadline:
                self.stop()
                raise TestFailure("test web server did not start")
            time.sleep(0.05)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)


def port_open():
    with socket.socket() as s:
        s.settimeout(0.2)
        return s.connect_ex(("127.0.0.1", PORT)) == 0


def leftover_servers(server):
    """Test web servers on PORT that an earlier, killed run of this harness left behind."""
    pids = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().decode("latin-1").split("\0")
        except OSError:
            continue
        if server in args and str(PORT) in args and entry != str(os.getpid()):
            pids.append(int(entry))
    return pids


def wait_port_free(server):
    for pid in leftover_servers(server):
        os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + 10
    while port_open():
        if time.monotonic() > deadline:
            raise TestFailure(f"port {PORT} is taken by another process")
        time.sleep(0.1)


def own_wine_processes(name):
    """Unix pids of Windows programs called name that run in this harness's Wine prefix."""
    prefix = os.environ.get("WINEPREFIX", "").encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read()
            with open(f"/proc/{entry}/environ", "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        program = cmdline.split(b"\0")[0].lower()  # a Windows program's own path under Wine
        if program.endswith(name.encode().lower()) and b"WINEPREFIX=" + prefix in environ:
            pids.append(int(entry))
    return pids


class Test:
    """The state of one test: its folders, its driver, its server, its failures."""

    def __init__(self, paths, name):
        self.paths = paths
        self.name = name
        self.work = os.path.join(paths.work, name)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        os.makedirs(paths.shots, exist_ok=True)
        self.failures = []
        self.server = None
        self.driver = Driver(paths)
        self.started = False

    # -- checks
    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
            print(f"  FAIL: {message}")
        return condition

    def equal(self, actual, expected, what):
        return self.expect(actual == expected, f"{what}: expected {expected!r}, got {actual!r}")

    def require(self, condition, message):
        if not condition:
            raise TestFailure(message)

    # -- program
    def serve(self, root, delay_ms=0):
        if self.server:
            self.server.stop()
        self.server = Server(self.paths, root, delay_ms)

    def start(self, argument=None, workdir=None):
        fields = ["start", windows_path(workdir or self.work), windows_path(self.paths.program)]
        if argument is not None:
            fields.append(argument)
        self.driver(*fields)
        self.started = True

    def wait_window(self, timeout=30):
        return self.driver("wait-window", int(timeout * 1000), timeout=timeout + 10)

    def dump(self):
        reply = self.driver("dump")
        controls = {}
        for key, value in reply.items():
            m = re.match(r"control\.(\d+)\.(\w+)$", key)
            if m:
                controls.setdefault(int(m.group(1)), {})[m.group(2)] = value
        reply.controls = controls
        return reply

    def status(self):
        return self.dump().controls.get(STATUS_LABEL, {}).get("text", "")

    def wait_status(self, prefix, timeout=60):
        reply = self.driver("wait-status", prefix, int(timeout * 1000), timeout=timeout + 10,
                            fail=False)
        if "error" in reply:
            raise TestFailure(f"status did not reach {prefix!r} in {timeout} s: "
                              f"{reply.get('status')!r}")
        return reply["status"]

    def wait_finished(self, timeout=120):
        """Waits until the run has finished and returns the window's dump then."""
        reply = self.driver("wait-finished", int(timeout * 1000), timeout=timeout + 10,
                            fail=False)
        if "error" in reply:
            raise TestFailure(f"run did not finish in {timeout} s ({reply['error']}): "
                              f"status {reply.get('status')!r}")
        return self.dump()

    def panel_text(self, mode="cr"):
        """The DetailsPanel's text with every paragraph break as "\\n".

        EM_GETTEXTEX without GT_USECRLF gives each break as one "\\r"; WM_GETTEXT gives "\\r\\n".
        The program writes only "\\n" between lines and no field holds CR or LF, so "\\r\\n" and
        then every remaining "\\r" are turned into "\\n"."""
        path = os.path.join(self.work, f"panel-{mode}.txt")
        self.driver("text", DETAILS_PANEL, windows_path(path), mode, timeout=60)
        with open(path, "rb") as f:
            raw = f.read().decode("latin-1")
        return raw.replace("\r\n", "\n").replace("\r", "\n")

    def click(self, control):
        self.driver("click", control)

    def wait_exit(self, timeout=20):
        reply = self.driver("wait-exit", int(timeout * 1000), timeout=timeout + 10, fail=False)
        if "error" in reply:
            raise TestFailure(f"program did not end within {timeout} s")
        self.started = False
        return int(reply["exit"])

    def close_and_check_exit(self):
        self.click(CLOSE_BUTTON)
        self.equal(self.wait_exit(), 0, "exit code after Close")

    def screenshot(self, label, rect=None):
        path = os.path.join(self.paths.shots, f"{self.name}-{label}.png")
        cmd = ["import", "-window", "root"]
        if rect:
            left, top, width, height = rect
            margin = 8
            left, top = max(0, left - margin), max(0, top - margin)
            cmd += ["-crop", f"{width + 2 * margin}x{height + 2 * margin}+{left}+{top}", "+repage"]
        subprocess.run(cmd + [path], timeout=30, check=False)
        print(f"  screenshot: {path}")
        return path

    def window_shot(self, label):
        time.sleep(0.3)  # let the window repaint after the last change
        return self.screenshot(label, self.dump().pair("window_rect"))

    def channel_file(self):
        path = os.path.join(self.work, "channels.dat")
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def finish(self):
        if self.started:
            self.driver("kill", fail=False)
        self.driver.close()
        for pid in own_wine_processes(os.path.basename(self.paths.program)):
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        if self.server:
            self.server.stop()


# ---- Expected results

def cli_harvest(t, site_root):
    """channels.dat as the console program writes it for the site, served the same way."""
    t.serve(site_root)
    out = os.path.join(t.work, "cli")
    os.makedirs(out, exist_ok=True)
    result = subprocess.run([t.paths.wine_run, t.paths.cli, "--site", SITE_BASE, "--output",
                             windows_path(os.path.join(out, "channels.dat"))],
                            cwd=out, env=wine_env(), capture_output=True, timeout=600)
    t.require(result.returncode == 0, f"morvek-cli failed: {result.returncode} "
              f"{result.stderr.decode('latin-1', 'replace')[-500:]}")
    with open(os.path.join(out, "channels.dat"), "rb") as f:
        return f.read()


def records_of(channel_file):
    records = []
    for line in channel_file.decode("latin-1").split("\r\n")[:-1]:
        fields = line.split("|")
        if len(fields) != 7:
            raise TestFailure(f"cannot tell the fields of a channels.dat line apart: {line!r}")
        records.append(fields)
    return records


def expected_panel(records):
    lines = []
    for fields in records:
        lines += [label + value for label, value in zip(LABELS, fields)]
        lines.append("")
    return "\n".join(lines)


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def check_panel(t, records):
    text = t.panel_text()
    expected = expected_panel(records)
    if not t.equal(len(text), len(expected), "DetailsPanel text length") or text != expected:
        i = first_difference(text, expected)
        t.expect(text == expected, f"DetailsPanel text differs at {i}: "
                 f"got {text[max(0, i - 60):i + 60]!r}, expected {expected[max(0, i - 60):i + 60]!r}")


def check_panel_faces(t, blocks=2):
    """Every line of the first blocks and of the last one is in Courier New, label and value
    alike, so that the values line up."""
    lines = t.panel_text().split("\n")
    block_lines = len(LABELS) + 1
    wanted = set(range(blocks * block_lines)) | set(range(len(lines) - block_lines - 1, len(lines)))
    position = 0  # the control counts one character per paragraph break
    wrong = []
    for number, line in enumerate(lines):
        if number in wanted and line:
            for start, what in ((0, "label"), (len(LABELS[0]), "value")):
                if start < len(line):
                    face = t.driver("char-format", DETAILS_PANEL, position + start,
                                    position + start + 1)["face"]
                    if face != "Courier New":
                        wrong.append(f"line {number + 1} {what}: {face!r}")
        position += len(line) + 1
    t.expect(not wrong, f"DetailsPanel lines not in Courier New: {wrong[:6]}")


def check_panel_links(t, records):
    """The homepage addresses of the first, a middle and the last block show as links, so that
    a click on any of them reaches the shell (the control's own address detection)."""
    text = t.panel_text()
    block_starts = [m.start() for m in re.finditer(re.escape(LABELS[0]), text)]
    not_links = []
    for number in sorted({0, len(records) // 2, len(records) - 1}):
        homepage = records[number][6]
        if not homepage.startswith("http://"):
            continue
        at = text.index(LABELS[6] + homepage, block_starts[number]) + len(LABELS[6])
        if t.driver("char-format", DETAILS_PANEL, at + 1, at + 3)["link"] != "1":
            not_links.append(f"block {number + 1}: {homepage}")
    t.expect(not not_links, f"homepage addresses not shown as links: {not_links}")


def check_layout(t, d, status_text, progress_pos, rich_edit_shown=True):
    """The six controls as the window's table gives them. Wine keeps WS_VISIBLE away from a
    rich-edit control while its drawing is switched off, and in a fresh prefix for a while at
    start-up: with rich_edit_shown False that flag is left to a later check."""
    t.equal(d["title"], TITLE, "window title")
    t.equal(d.pair("client_size"), (CLIENT_WIDTH, CLIENT_SHORT), "client size")
    for number, (cls, left, top, width, height, style, exstyle, text) in CONTROL_TABLE.items():
        c = d.controls.get(number)
        if not t.expect(c is not None, f"control {number} exists"):
            continue
        if cls in RICH_EDIT_CLASSES:
            t.expect(c["class"] in RICH_EDIT_CLASSES, f"control {number} class {c['class']}")
            lenient = SCROLL_BITS | (0 if rich_edit_shown else WS_VISIBLE)
            t.equal(int(c["style"], 16) | lenient, style, f"control {number} style (scroll bars aside)")
        else:
            t.equal(c["class"], cls, f"control {number} class")
            t.equal(int(c["style"], 16), style, f"control {number} style")
        t.equal(int(c["exstyle"], 16), exstyle, f"control {number} extended style")
        t.equal(tuple(int(v) for v in c["rect"].split(",")), (left, top, width, height),
                f"control {number} rectangle")
        if number == STATUS_LABEL:
            t.equal(c["text"], status_text, "status text")
        elif number != DETAILS_PANEL:
            t.equal(c["text"], text, f"control {number} text")
    bar = d.controls.get(PROGRESS_BAR, {})
    t.equal(bar.get("range"), f"0,{PROGRESS_TOP}", "progress bar range")
    t.equal(int(bar.get("pos", -1)), progress_pos, "progress bar position")
    t.equal(d.controls.get(VIEW_LIST_BUTTON, {}).get("check"), "0", "View list starts off")
    t.equal(len(d.controls), 6, "number of controls")


def check_banner_link(t):
    """The site address at the end of the banner is a link; the words before it are not."""
    address_at = len(BANNER) - len(SITE_BASE)
    f = t.driver("char-format", BANNER_FIELD, address_at + 1, address_at + 3)
    t.equal(f["link"], "1", "banner address shown as a link")
    f = t.driver("char-format", BANNER_FIELD, 12, 14)
    t.equal(f["link"], "0", "banner words not a link")


def small_site(root, countries=3, per_country=4):
    make_site.write_site(root, make_site.generated_countries(countries * per_country, per_country))
    return root


# ---- The tests

def test_standalone_window(t):
    """No argument: centred on the screen, close box, the six controls, banner link."""
    site = small_site(os.path.join(t.work, "site"), countries=3, per_country=3)
    t.serve(site, delay_ms=1500)  # the index page is still on its way while we look
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
    t.equal((width, height), metrics.pair("adjusted_standalone"), "outer size for a 400x115 client")
    t.equal((left, top), ((screen_w - width) // 2, (screen_h - height) // 2), "centred on the screen")
    t.window_shot("starting")
    done = t.wait_finished()
    check_layout(t, done, done.controls[STATUS_LABEL]["text"], PROGRESS_TOP)
    check_banner_link(t)
    t.window_shot("done")
    t.close_and_check_exit()


def owned_geometry(t, owner_rect, metrics):
    ow_left, ow_top, ow_width, ow_height = owner_rect
    width, height = metrics.pair("adjusted_owned")
    return max(0, ow_left + (ow_width - width) // 2), max(0, ow_top + (ow_height - height) // 2)


def check_owned(t, d, owner, position, what):
    style = int(d["style"], 16) & ~(WS_VISIBLE | WS_CLIPSIBLINGS)
    t.equal(hex(style), hex(WS_CAPTION), f"{what}: window style, no system menu")
    t.expect(int(d["exstyle"], 16) & WS_EX_TOOLWINDOW, f"{what}: tool-window style")
    t.equal(d["owner"], str(owner), f"{what}: owner")
    t.equal(d.pair("client_size"), (CLIENT_WIDTH, CLIENT_SHORT), f"{what}: client size")
    t.equal(d.pair("window_rect")[:2], position, f"{what}: position")


def test_owned_window(t):
    """A real owner window: centred on it, tool window without close box, 400x115 client."""
    site = small_site(os.path.join(t.work, "site"))
    t.serve(site)
    metrics = t.driver("metrics")
    owner = t.driver("owner-create", 200, 150, 800, 600)
    owner_rect = owner.pair("owner_rect")
    t.start(owner["owner"])
    t.wait_window()
    t.wait_finished()
    d = t.dump()
    check_owned(t, d, owner["owner"], owned_geometry(t, owner_rect, metrics), "owned")
    check_layout(t, d, d.controls[STATUS_LABEL]["text"], PROGRESS_TOP)
    t.window_shot("owned")
    check_toggle(t, "owned after the run")
    t.close_and_check_exit()


def test_owned_window_clamped(t):
    """An owner so far up and left that the centred position is negative: it becomes 0."""
    t.serve(small_site(os.path.join(t.work, "site"), countries=1, per_country=1))
    owner = t.driver("owner-create", -500, -400, 600, 300)
    t.start(owner["owner"])
    t.wait_window()
    t.wait_finished()
    check_owned(t, t.dump(), owner["owner"], (0, 0), "owned, clamped")
    t.close_and_check_exit()


def test_owner_without_window(t):
    """The arguments "0" and "abc" give the handle 0: owned mode at the screen's corner."""
    t.serve(small_site(os.path.join(t.work, "site"), countries=1, per_country=2))
    for argument in ("0", "abc"):
        workdir = os.path.join(t.work, argument)
        os.makedirs(workdir)
        t.start(argument, workdir)
        t.wait_window()
        t.wait_finished()
        check_owned(t, t.dump(), 0, (0, 0), f"argument {argument!r}")
        if argument == "0":
            t.window_shot("handle-0")
        t.close_and_check_exit()


def test_owner_not_a_window(t):
    """A handle that names no window: "Warning!" / "Error opening window!", exit code 0."""
    t.serve(small_site(os.path.join(t.work, "site"), countries=1, per_country=2))
    t.start("12345678")
    box = t.driver("msgbox", "Warning!", 20000, timeout=30)
    t.equal(box.all("text"), ["Error opening window!"], "message text")
    t.equal(box.all("button"), ["OK"], "message buttons")
    t.screenshot("warning")
    t.driver("msgbox", "Warning!", 2000, "dismiss")
    t.equal(t.wait_exit(), 0, "exit code")
    t.expect(t.channel_file() is None, "no channels.dat")


def slow_site(t, countries=12, per_country=5):
    site = small_site(os.path.join(t.work, "site"), countries, per_country)
    t.serve(site, delay_ms=SLOW_DELAY_MS)
    return site


def check_toggle(t, what):
    """View list: 115 -> 360 -> 115 with the top-left corner and the width kept."""
    before = t.dump()
    rect = before.pair("window_rect")
    for pressed, height in ((1, CLIENT_TALL), (0, CLIENT_SHORT)):
        t.click(VIEW_LIST_BUTTON)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            d = t.dump()
            if d.pair("client_size")[1] == height:
                break
            time.sleep(0.05)
        t.equal(d.pair("client_size"), (CLIENT_WIDTH, height), f"{what}: client size")
        t.equal(d.controls[VIEW_LIST_BUTTON]["check"], str(pressed), f"{what}: View list state")
        new_rect = d.pair("window_rect")
        t.equal(new_rect[:3], rect[:3], f"{what}: left, top and outer width kept")
        if pressed:
            t.equal(new_rect[3] - rect[3], CLIENT_TALL - CLIENT_SHORT, f"{what}: outer height grows")
    return d


def test_view_toggle_during_run(t):
    """View list during a slow run and after it, in standalone mode."""
    slow_site(t)
    t.start()
    t.wait_window()
    t.driver("wait-count", 2, 30000, timeout=40)
    check_toggle(t, "during the run")
    t.expect(not t.status().endswith(" DONE"), "the toggle was seen during the run")
    t.wait_finished()
    check_toggle(t, "after the run")
    t.close_and_check_exit()


def check_aborted(t, full_records):
    d = t.wait_finished()
    status = d.controls[STATUS_LABEL]["text"]
    m = re.fullmatch(r"Channels found: (\d+) ABORTED", status)
    if not t.expect(m is not None, f"aborted status, got {status!r}"):
        return
    count = int(m.group(1))
    t.expect(0 < count < len(full_records), f"stopped part way: {count} of {len(full_records)}")
    t.equal(int(d.controls[PROGRESS_BAR]["pos"]), PROGRESS_TOP, "progress bar full after a stop")
    t.equal(d.controls[CLOSE_BUTTON]["text"], "Close", "Close caption")
    check_panel(t, full_records[:count])
    t.expect(t.channel_file() is None, "no channels.dat after a stopped run")
    return count


def test_close_button_during_run(t):
    """Close during a slow run: "... ABORTED", the panel keeps the channels, no file; Close again
    ends the program with exit code 0."""
    site = slow_site(t)
    full = records_of(cli_harvest(t, site))
    t.serve(site, delay_ms=SLOW_DELAY_MS)
    t.start()
    t.wait_window()
    t.driver("wait-count", 6, 30000, timeout=40)
    t.click(CLOSE_BUTTON)
    check_aborted(t, full)
    t.click(VIEW_LIST_BUTTON)
    t.window_shot("stopped")
    t.close_and_check_exit()


def test_close_request_during_run(t):
    """Close requests from another program in owned mode (no close box). A sent WM_CLOSE during
    the run stops it like Close, and a posted one after the run ends the program. A posted
    WM_CLOSE during the run is taken both as the stop and as the close request that
    follows it, so the program may end right after the stop; either way nothing is saved."""
    site = slow_site(t)
    full = records_of(cli_harvest(t, site))
    t.serve(site, delay_ms=SLOW_DELAY_MS)
    owner = t.driver("owner-create", 100, 100, 700, 500)
    t.start(owner["owner"])
    t.wait_window()
    t.driver("wait-count", 6, 30000, timeout=40)
    t.equal(t.driver("send-close")["answered"], "1", "the sent close request was taken")
    check_aborted(t, full)
    t.driver("post-close")
    t.equal(t.wait_exit(), 0, "exit code after a close request")

    workdir = os.path.join(t.work, "posted")
    os.makedirs(workdir)
    t.start(owner["owner"], workdir)
    t.wait_window()
    t.driver("wait-count", 6, 30000, timeout=40)
    t.driver("post-close")
    reply = t.driver("wait-exit", 5000, timeout=15, fail=False)
    if "error" in reply:
        status = t.wait_finished().controls[STATUS_LABEL]["text"]
        t.expect(status.endswith(" ABORTED"), f"posted close during the run: {status!r}")
        t.driver("post-close")
        t.equal(t.wait_exit(), 0, "exit code")
        print("  a posted close during the run stopped it; the window stayed open")
    else:
        t.started = False
        t.equal(reply["exit"], "0", "exit code after a posted close during the run")
        print("  a posted close during the run stopped it and ended the program")
    t.expect(not os.path.exists(os.path.join(workdir, "channels.dat")), "no channels.dat")


def test_focus_cycle(t):
    """Tab and Shift+Tab cycle BannerField, ViewListButton, CloseButton, DetailsPanel."""
    t.serve(small_site(os.path.join(t.work, "site"), countries=1, per_country=2))
    t.start()
    t.wait_window()
    t.wait_finished()
    cycle = [BANNER_FIELD, VIEW_LIST_BUTTON, CLOSE_BUTTON, DETAILS_PANEL]
    seen = []
    for _ in range(5):
        t.driver("key", "tab")
        seen.append(focus_after_key(t))
    if t.expect(seen[0] in cycle, f"Tab focuses a control of the cycle, got {seen}"):
        start = cycle.index(seen[0])
        t.equal(seen, [cycle[(start + i) % 4] for i in range(5)], "Tab order")
    back = []
    for _ in range(4):
        t.driver("key", "shift-tab")
        back.append(focus_after_key(t))
    if seen and seen[-1] in cycle:
        start = cycle.index(seen[-1])
        t.equal(back, [cycle[(start - i - 1) % 4] for i in range(4)], "Shift+Tab order")
    t.close_and_check_exit()


def focus_after_key(t):
    previous = None
    deadline = time.monotonic() + 5
    # the keystroke is handled asynchronously; wait until the focus settles
    while time.monotonic() < deadline:
        time.sleep(0.15)
        focus = int(t.driver("focus")["focus_id"])
        if focus == previous:
            return focus
        previous = focus
    return previous


class ShellHandler:
    """Points the http scheme's shell "open" at gui_recorder.exe for the duration of a test."""

    KEY = r"HKCR\http\shell\open\command"

    def __init__(self, t):
        self.t = t
        self.log = os.path.join(os.path.dirname(t.paths.recorder), "gui_recorder.log")
        self.remove_log()
        query = self.reg("query", self.KEY, "/ve", check=False)
        m = re.search(r"REG_SZ\s+(.*)", query)
        self.previous = m.group(1).strip() if m else None
        command = f'"{windows_path(t.paths.recorder)}" "%1"'
        self.reg("add", self.KEY, "/ve", "/d", command, "/f")

    def reg(self, *args, check=True):
        result = subprocess.run([self.t.paths.wine_run, "reg", *args], env=wine_env(),
                                capture_output=True, timeout=120)
        if check:
            self.t.require(result.returncode == 0, f"reg {args[0]} failed")
        return result.stdout.decode("latin-1", "replace")

    def remove_log(self):
        if os.path.exists(self.log):
            os.remove(self.log)

    def lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as f:
            return f.read().decode("latin-1").splitlines()

    def wait_lines(self, count, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and len(self.lines()) < count:
            time.sleep(0.1)
        return self.lines()

    def restore(self):
        if self.previous:
            self.reg("add", self.KEY, "/ve", "/d", self.previous, "/f", check=False)


def click_char(t, control, index, button=1):
    pos = t.driver("char-pos", control, index).pair("screen_pos")
    subprocess.run(["xdotool", "mousemove", str(pos[0] + 3), str(pos[1] + 6), "click", str(button)],
                   timeout=10, check=True)
    subprocess.run(["xdotool", "mousemove", "0", "0"], timeout=10, check=True)


def test_banner_link_opens(t):
    """A real left click on the banner address reaches the shell's "Open" for http; a right
    click opens nothing."""
    t.serve(small_site(os.path.join(t.work, "site"), countries=1, per_country=2))
    handler = ShellHandler(t)
    try:
        t.start()
        t.wait_window()
        t.wait_finished()
        address_at = len(BANNER) - len(SITE_BASE)
        click_char(t, BANNER_FIELD, address_at + 2, button=3)
        time.sleep(2)
        t.equal(handler.lines(), [], "right click opens nothing")
        click_char(t, BANNER_FIELD, address_at + 2)
        lines = handler.wait_lines(1, 15)
        t.equal(len(lines), 1, "one start of the http handler")
        t.expect(lines and lines[0].endswith(f'"{SITE_BASE}"'),
                 f"the handler received the banner address: {lines}")
        t.close_and_check_exit()
    finally:
        handler.restore()
        handler.remove_log()


def test_unsafe_links_start_nothing(t):
    """file: and UNC addresses in the DetailsPanel start nothing, while an http address in the
    same panel reaches the shell."""
    recorder_url = "file:///" + windows_path(t.paths.recorder)[0:].replace("\\", "/")
    unc_host = "morvekhost"
    unc_dir = os.path.join(os.environ.get("WINEPREFIX", ""), "dosdevices", "unc", unc_host)
    os.makedirs(unc_dir, exist_ok=True)
    share = os.path.join(unc_dir, "share")
    if os.path.lexists(share):
        os.remove(share)
    os.symlink(os.path.dirname(t.paths.recorder), share)
    unc_path = f"\\\\{unc_host}\\share\\{os.path.basename(t.paths.recorder)}"
    safe_home = SITE_BASE + "home/safe.html"
    site = os.path.join(t.work, "site")
    make_site.write_site(site, [("LINKS", "links.htm", [
        {"channel": "File link", "homepage": unc_path,
         "streams": [("m", recorder_url, "300")], "about": "Unsafe addresses"},
        {"channel": "Web link", "homepage": safe_home,
         "streams": [("r", "mms://127.0.0.1/live", "500")], "about": "Safe address"},
    ])])
    t.serve(site)
    handler = ShellHandler(t)
    try:
        t.start()
        t.wait_window()
        t.wait_finished()
        t.click(VIEW_LIST_BUTTON)
        time.sleep(0.5)
        raw = t.panel_text()  # one character per paragraph break, as the control counts
        file_at = raw.index(recorder_url)
        unc_at = raw.index(unc_path)
        safe_at = raw.index(safe_home)
        f = t.driver("char-format", DETAILS_PANEL, file_at + 1, file_at + 3)
        t.equal(f["link"], "1", "the file: address is shown as a link")
        unc_link = t.driver("char-format", DETAILS_PANEL, unc_at + 2, unc_at + 4)["link"]
        print(f"  the UNC path is {'a link' if unc_link == '1' else 'not a link'} in this rich edit")
        before = set(own_wine_processes(".exe"))
        click_char(t, DETAILS_PANEL, file_at + 2)
        click_char(t, DETAILS_PANEL, unc_at + 3)
        time.sleep(2)
        started = set(own_wine_processes(".exe")) - before
        t.equal(handler.lines(), [], "file: and UNC clicks start nothing")
        t.equal(sorted(started), [], "no new process after the file: and UNC clicks")
        t.window_shot("links")
        click_char(t, DETAILS_PANEL, safe_at + 2)
        lines = handler.wait_lines(1, 15)
        time.sleep(1)
        lines = handler.lines()
        t.equal(len(lines), 1, "only the http click reached the shell")
        t.expect(lines and lines[-1].endswith(f'"{safe_home}"'), f"http address opened: {lines}")
        t.close_and_check_exit()
    finally:
        handler.restore()
        handler.remove_log()
        os.remove(share)


def check_harvest(t, site, shot_label):
    expected_file = cli_harvest(t, site)
    records = records_of(expected_file)
    t.serve(site)
    t.start()
    t.wait_window()
    d = t.wait_finished(timeout=500)
    got = t.channel_file()
    t.require(got is not None, f"no channels.dat; status {d.controls[STATUS_LABEL]['text']!r}")
    t.expect(got == expected_file, f"channels.dat equals the console program's "
             f"({len(got)} vs {len(expected_file)} bytes, first difference at "
             f"{first_difference(got, expected_file)})")
    lines = got.count(b"\r\n")
    t.equal(d.controls[STATUS_LABEL]["text"], f"Channels found: {lines} DONE", "final status")
    t.equal(int(d.controls[PROGRESS_BAR]["pos"]), PROGRESS_TOP, "progress bar full")
    t.equal(d.controls[CLOSE_BUTTON]["text"], "Close", "Close caption")
    check_panel(t, records)
    check_panel_faces(t)
    check_panel_links(t, records)
    t.click(VIEW_LIST_BUTTON)
    t.window_shot(shot_label)
    t.close_and_check_exit()
    return len(records)


def test_harvest_sample_site(t):
    """The bundled sample directory: the same channels.dat as the console program, the panel's
    blocks, DONE with the count, a full bar."""
    if not os.path.isdir(t.paths.sample_site):
        raise TestSkipped("the bundled sample directory is absent")
    count = check_harvest(t, t.paths.sample_site, "sample-list")
    print(f"  {count} channels")


def test_harvest_large_site(t):
    """A generated directory of more than 2,000 channels, as above."""
    site = os.path.join(t.work, "site")
    make_site.write_site(site, make_site.generated_countries(2000, 50))
    count = check_harvest(t, site, "large-list")
    t.expect(count >= 2000, f"at least 2,000 channels, got {count}")


def test_save_failure(t):
    """A directory named channels.dat: "Update failed!" box, no DONE, exit code 0 after Close."""
    t.serve(small_site(os.path.join(t.work, "site"), countries=2, per_country=3))
    os.makedirs(os.path.join(t.work, "channels.dat"))
    t.start()
    t.wait_window()
    box = t.driver("msgbox", "Update failed!", 60000, timeout=70)
    t.equal(box.all("text"), ["Couldn't save channel list!"], "message text")
    t.equal(box.all("button"), ["OK"], "message buttons")
    t.equal(box["main_enabled"], "0", "the window takes no input while the box is open")
    t.screenshot("update-failed")
    t.driver("msgbox", "Update failed!", 2000, "dismiss")
    time.sleep(0.5)
    d = t.dump()
    status = d.controls[STATUS_LABEL]["text"]
    t.equal(status, "Channels found: 6", "status keeps the count without DONE")
    t.expect(os.path.isdir(os.path.join(t.work, "channels.dat")), "the directory is untouched")
    t.close_and_check_exit()


TESTS = {
    "standalone_window": test_standalone_window,
    "owned_window": test_owned_window,
    "owned_window_clamped": test_owned_window_clamped,
    "owner_without_window": test_owner_without_window,
    "owner_not_a_window": test_owner_not_a_window,
    "view_toggle_during_run": test_view_toggle_during_run,
    "close_button_during_run": test_close_button_during_run,
    "close_request_during_run": test_close_request_during_run,
    "focus_cycle": test_focus_cycle,
    "banner_link_opens": test_banner_link_opens,
    "unsafe_links_start_nothing": test_unsafe_links_start_nothing,
    "harvest_sample_site": test_harvest_sample_site,
    "harvest_large_site": test_harvest_large_site,
    "save_failure": test_save_failure,
}


def prepare_prefix(paths):
    """Lets Wine draw the window frames itself (there is no window manager on Xvfb), so the
    screenshots show the title bar, and gives it a Courier New. Done once per prefix."""
    prefix = os.environ.get("WINEPREFIX")
    marker = os.path.join(prefix, ".morvek-gui-tests-2") if prefix else None
    if marker and os.path.exists(marker):
        return
    settings = [
        (r"HKCU\Software\Wine\X11 Driver", "Decorated", "N"),
        # Wine ships no Courier New; Liberation Mono has the same metrics, so the details
        # panel's columns show as they would on Windows.
        (r"HKCU\Software\Wine\Fonts\Replacements", "Courier New", "Liberation Mono"),
    ]
    for key, name, value in settings:
        subprocess.run([paths.wine_run, "reg", "add", key, "/v", name, "/d", value, "/f"],
                       env=wine_env(), capture_output=True, timeout=300, check=False)
    if marker:
        open(marker, "w").close()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("test", nargs="?", help="test name, or 'all'")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--source-dir", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--program", help="morvek_gui_test.exe")
    parser.add_argument("--driver", help="gui_driver.exe")
    parser.add_argument("--recorder", help="gui_recorder.exe")
    parser.add_argument("--cli", help="morvek-cli.exe")
    parser.add_argument("--server", help="the test web server (default: tests/server/test_server.py)")
    args = parser.parse_args()
    if args.list:
        print("\n".join(TESTS))
        return 0
    for name in ("program", "driver", "recorder", "cli"):
        if not getattr(args, name):
            default = {"program": "morvek_gui_test.exe", "driver": "gui_driver.exe",
                       "recorder": "gui_recorder.exe", "cli": "morvek-cli.exe"}[name]
            setattr(args, name, os.path.join(args.build_dir, default))
    if not os.environ.get("DISPLAY"):
        print("no DISPLAY: run under xvfb-run")
        return 1
    paths = Paths(args)
    names = list(TESTS) if args.test in (None, "all") else [args.test]
    if not os.path.exists(paths.program):
        print(f"skipped: the window program's test build is absent: {paths.program}")
        return SKIPPED
    # CTest ends a test that runs too long with SIGTERM: clean up as after a failure.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(TestFailure("terminated")))
    prepare_prefix(paths)
    failed = []
    skipped = []
    for name in names:
        print(f"== {name}")
        began = time.monotonic()
        t = None
        try:
            t = Test(paths, name)
            TESTS[name](t)
        except TestSkipped as e:
            print(f"  skipped: {e}")
            skipped.append(name)
        except Exception as e:  # noqa: BLE001 - any error fails this test, the next ones still run
            if not isinstance(e, TestFailure):
                traceback.print_exc()
            print(f"  FAIL: {e}")
            if t:
                t.failures.append(str(e))
            else:
                failed.append(name)
        finally:
            if t:
                try:
                    t.finish()
                except TestFailure as e:
                    t.failures.append(f"clean-up: {e}")
                if t.failures:
                    failed.append(name)
        verdict = "FAILED" if name in failed else "skipped" if name in skipped else "passed"
        print(f"   {verdict} in {time.monotonic() - began:.1f} s")
    print(f"{len(names) - len(failed) - len(skipped)} passed, {len(failed)} failed, "
          f"{len(skipped)} skipped")
    if failed:
        return 1
    return SKIPPED if skipped and len(skipped) == len(names) else 0


if __name__ == "__main__":
    sys.exit(main())
