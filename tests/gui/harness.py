# SPDX-License-Identifier: GPL-2.0-or-later
"""The GUI test harness: runs the window program's test build under Wine and Xvfb against the
test web server, drives and inspects it through gui_driver.exe, and runs named tests.

The window's control numbers, sizes, title and status words come from the program's own
headers, so the tests address the same controls the program creates. Every wait polls for its
condition with a bound; none sleeps for a fixed time.
"""

import argparse
import codecs
import os
import queue
import re
import signal
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import types

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
PORT = 18765  # tests/gui.cmake reads the port from this line
SITE_BASE = f"http://127.0.0.1:{PORT}/"
SKIPPED = 77  # the exit code CTest counts as skipped


def cxx_constants(*sources):
    """The `const int kName = N;` and `const char kName[] = "text";` definitions of sources."""
    found = {}
    pattern = r'const (?:int|int32_t) (k\w+) = (-?\d+);|const char (k\w+)\[\] = "([^"\\]*)";'
    for source in sources:
        with open(os.path.join(SOURCE, source), encoding="latin-1") as f:
            for m in re.finditer(pattern, f.read()):
                found[m.group(1) or m.group(3)] = int(m.group(2)) if m.group(1) else m.group(4)
    return types.SimpleNamespace(**found)


W = cxx_constants("ui/win32/main_window.h", "harvest/window_side.h", "harvest/update_run.h",
                  "harvest/window_side.cpp")
LABELS = [v for k, v in vars(W).items() if k.endswith("Label") and isinstance(v, str)]


class TestFailure(Exception):
    pass


class TestSkipped(Exception):
    """Something the test needs is not part of this build."""


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env():
    return dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"),
                WINEDLLOVERRIDES=os.environ.get("WINEDLLOVERRIDES", "mscoree,mshtml="))


def poll(condition, timeout, step=0.05):
    """condition() until it gives a true value or timeout seconds pass; its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def pids(match):
    """Pids of this machine's processes whose argument list and environment match."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
            with open(f"/proc/{entry}/environ", "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        if entry != str(os.getpid()) and match(args, env):
            found.append(int(entry))
    return found


def own_wine_processes(name):
    """Windows programs called name that run in this harness's Wine prefix."""
    prefix = b"WINEPREFIX=" + os.environ.get("WINEPREFIX", "").encode()
    return pids(lambda args, env: args[0].lower().endswith(name.lower().encode()) and prefix in env)


class Reply(dict):
    """A driver reply: key -> last value; every value of a repeated key in .all(key)."""

    def __init__(self):
        super().__init__()
        self.lists = {}
        self.controls = {}

    def add(self, key, value):
        self[key] = value
        self.lists.setdefault(key, []).append(value)
        m = re.match(r"control\.(\d+)\.(\w+)$", key)
        if m:
            self.controls.setdefault(int(m.group(1)), {})[m.group(2)] = value

    def all(self, key):
        return self.lists.get(key, [])

    def pair(self, key):
        return tuple(int(v) for v in self[key].split(","))


class Driver:
    """One gui_driver.exe in serve mode: driver(command, fields...) gives its Reply."""

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
        try:
            self.proc.stdin.write(("\t".join(map(str, fields)) + "\n").encode("latin-1"))
            self.proc.stdin.flush()
        except OSError as e:
            raise TestFailure(f"driver gone: {e}")
        reply = Reply()
        deadline = time.monotonic() + timeout
        while True:
            try:
                out = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                raise TestFailure(f"driver command {fields[0]} gave no answer in {timeout} s")
            if out is None:
                raise TestFailure(f"driver ended during {fields[0]}")
            if out == "ok":
                return reply
            key, _, value = out.partition("=")
            # The driver writes a backslash as \\ and other bytes outside 32..126 as \xNN.
            reply.add(key, codecs.escape_decode(value.encode("latin-1"))[0].decode("latin-1"))
            if key == "error":
                if fail:
                    raise TestFailure(f"driver {' '.join(map(str, fields))}: {value}")
                return reply

    def wait(self, command, seconds, *fields):
        """A driver wait command with its bound; the reply, with "error" when it ran out."""
        return self(command, *fields, int(seconds * 1000), timeout=seconds + 10, fail=False)

    def close(self):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait(timeout=10)


def port_open():
    with socket.socket() as s:
        s.settimeout(0.2)
        return s.connect_ex(("127.0.0.1", PORT)) == 0


class Server:
    """The project's test web server serving one folder on PORT."""

    def __init__(self, paths, root, delay_ms=0, hang=False):
        # A server an earlier, killed run left behind would answer in place of this one.
        server = paths.server.encode()
        for pid in pids(lambda args, env: server in args and str(PORT).encode() in args):
            os.kill(pid, signal.SIGTERM)
        if not poll(lambda: not port_open(), 10):
            raise TestFailure(f"port {PORT} is taken by another process")
        cmd = [sys.executable, paths.server, "--root", root, "--port", str(PORT), "--quiet",
               "--delay-ms", str(delay_ms)] + (["--hang"] if hang else [])
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not poll(lambda: port_open() or self.proc.poll() is not None, 15) or not port_open():
            self.stop()
            raise TestFailure("test web server did not start: " +
                              self.proc.stderr.read().decode("latin-1", "replace"))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)


class Test:
    """One test: its working folder, driver, server and failures, and the program it starts."""

    def __init__(self, paths, name):
        self.paths, self.name = paths, name
        self.work = os.path.join(paths.work, name)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        os.makedirs(paths.shots, exist_ok=True)
        self.failures = []
        self.server = None
        self.started = False
        self.driver = Driver(paths)

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

    def serve(self, root, delay_ms=0, hang=False):
        if self.server:
            self.server.stop()
        self.server = Server(self.paths, root, delay_ms, hang)

    def start(self, argument=None, workdir=None):
        """Starts the window program and waits for its window (unless it opens none)."""
        fields = ["start", windows_path(workdir or self.work), windows_path(self.paths.program)]
        self.driver(*fields + ([] if argument is None else [argument]))
        self.started = True

    def wait_window(self, timeout=30):
        return self.driver("wait-window", int(timeout * 1000), timeout=timeout + 10)

    def dump(self):
        return self.driver("dump")

    def status(self):
        return self.dump().controls.get(W.kStatusLabel, {}).get("text", "")

    def wait_finished(self, timeout=120):
        """Waits until the status carries its final word; the window's dump then."""
        reply = self.driver.wait("wait-finished", timeout)
        if "error" in reply:
            raise TestFailure(f"run did not finish in {timeout} s ({reply['error']}): "
                              f"status {reply.get('status')!r}")
        return self.dump()

    def wait_count(self, count, timeout=30):
        self.require("error" not in self.driver.wait("wait-count", timeout, count),
                     f"the status did not count {count} channels in {timeout} s")

    def panel_text(self):
        """The details panel's text with every paragraph break as one "\\n": the control counts
        one character per break, so offsets in this text are the control's."""
        path = os.path.join(self.work, "panel.txt")
        self.driver("text", W.kDetailsPanel, windows_path(path), "cr", timeout=60)
        with open(path, "rb") as f:
            return f.read().decode("latin-1").replace("\r", "\n")

    def char_format(self, control, at):
        """The format (face, link) of the two characters from at."""
        return self.driver("char-format", control, at, at + 2)

    def click(self, control):
        self.driver("click", control)

    def wait_exit(self, timeout=20):
        reply = self.driver.wait("wait-exit", timeout)
        if "error" in reply:
            raise TestFailure(f"program did not end within {timeout} s")
        self.started = False
        return int(reply["exit"])

    def close_and_check_exit(self):
        self.click(W.kCloseButton)
        self.equal(self.wait_exit(), 0, "exit code after Close")

    def screenshot(self, label, rect=None):
        path = os.path.join(self.paths.shots, f"{self.name}-{label}.png")
        cmd = ["import", "-window", "root"]
        if rect:
            left, top, width, height = rect
            left, top = max(0, left - 8), max(0, top - 8)
            cmd += ["-crop", f"{width + 16}x{height + 16}+{left}+{top}", "+repage"]
        subprocess.run(cmd + [path], timeout=30, check=False)
        print(f"  screenshot: {path}")
        return path

    def window_shot(self, label):
        """The window alone, once it has drawn every waiting change."""
        self.driver("settle")
        return self.screenshot(label, self.dump().pair("window_rect"))

    def channel_file(self, workdir=None):
        path = os.path.join(workdir or self.work, "channels.dat")
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
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if self.server:
            self.server.stop()


def run_wine(paths, *args, timeout=120, cwd=None):
    """Runs a Windows program to its end; its output in .stdout and .stderr. The output goes
    through files, not pipes: a Wine server that the program starts would hold a pipe open
    long after the program ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run([paths.wine_run, *args], env=wine_env(), stdout=out, stderr=err,
                                stdin=subprocess.DEVNULL, timeout=timeout, cwd=cwd)
        out.seek(0)
        err.seek(0)
        result.stdout, result.stderr = out.read(), err.read()
    return result


class ShellHandler:
    """Points the http scheme's shell "open" at gui_recorder.exe while a test runs; lines()
    are the command lines it was started with."""

    KEY = r"HKCR\http\shell\open\command"

    def __init__(self, t):
        self.t = t
        self.log = os.path.join(os.path.dirname(t.paths.recorder), "gui_recorder.log")
        self.remove_log()
        m = re.search(r"REG_SZ\s+(.*)", self.reg("query", self.KEY, "/ve", check=False))
        self.previous = m.group(1).strip() if m else None
        self.reg("add", self.KEY, "/ve", "/d", f'"{windows_path(t.paths.recorder)}" "%1"', "/f")

    def reg(self, *args, check=True):
        result = run_wine(self.t.paths, "reg", *args)
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

    def wait_lines(self, count, timeout=15):
        poll(lambda: len(self.lines()) >= count, timeout)
        return self.lines()

    def restore(self):
        if self.previous:
            self.reg("add", self.KEY, "/ve", "/d", self.previous, "/f", check=False)
        self.remove_log()


def click_char(t, control, index, button=1):
    """A real mouse click (xdotool) on the character at index of a control."""
    x, y = t.driver("char-pos", control, index).pair("screen_pos")
    subprocess.run(["xdotool", "mousemove", str(x + 3), str(y + 6), "click", str(button),
                    "mousemove", "0", "0"], timeout=10, check=True)


def prepare_prefix(paths):
    """Lets Wine draw the window frames itself (Xvfb has no window manager), so screenshots
    show the title bar, and maps Courier New to Liberation Mono, which has its metrics (Wine
    ships no Courier New). Done once per prefix."""
    marker = os.path.join(os.environ.get("WINEPREFIX", ""), ".morvek-gui-tests-2")
    if os.environ.get("WINEPREFIX") and os.path.exists(marker):
        return
    for key, name, value in [(r"HKCU\Software\Wine\X11 Driver", "Decorated", "N"),
                             (r"HKCU\Software\Wine\Fonts\Replacements", "Courier New",
                              "Liberation Mono")]:
        run_wine(paths, "reg", "add", key, "/v", name, "/d", value, "/f", timeout=300)
    if os.environ.get("WINEPREFIX"):
        open(marker, "w").close()


def make_paths(build_dir, program=None, driver=None, recorder=None, cli=None, server=None):
    build = os.path.abspath(build_dir)
    return types.SimpleNamespace(
        build=build,
        program=os.path.abspath(program or os.path.join(build, "tests", "morvek_gui_test.exe")),
        driver=os.path.abspath(driver or os.path.join(build, "tests", "gui_driver.exe")),
        recorder=os.path.abspath(recorder or os.path.join(build, "tests", "gui_recorder.exe")),
        cli=os.path.abspath(cli or os.path.join(build, "morvek-cli.exe")),
        server=server or os.path.join(SOURCE, "tests", "server", "test_server.py"),
        wine_run=os.path.join(SOURCE, "scripts", "wine-run.sh"),
        shots=os.path.join(build, "gui-shots"), work=os.path.join(build, "gui-work"),
        sample_site=os.path.join(SOURCE, "sample-site"))


def run_one(paths, name, test):
    """Runs one test; True when it passed, None when it was skipped."""
    print(f"== {name}")
    began = time.monotonic()
    t = None
    failures = []
    skipped = False
    try:
        t = Test(paths, name)
        test(t)
    except TestSkipped as e:
        print(f"  skipped: {e}")
        skipped = True
    except Exception as e:  # noqa: BLE001 - any error fails this test, the next ones still run
        if not isinstance(e, TestFailure):
            traceback.print_exc()
        print(f"  FAIL: {e}")
        failures.append(str(e))
    finally:
        if t:
            try:
                t.finish()
            except TestFailure as e:
                failures.append(f"clean-up: {e}")
            failures += t.failures
    verdict = "FAILED" if failures else "skipped" if skipped else "passed"
    print(f"   {verdict} in {time.monotonic() - began:.1f} s")
    return None if skipped and not failures else not failures


def main(tests, doc):
    """Runs one named test of tests (name -> function of a Test), or all; --list names them."""
    parser = argparse.ArgumentParser(description=doc,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("test", nargs="?", help="test name, or 'all'")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--build-dir", default=os.path.join(SOURCE, "build", "windows"))
    for name in ("program", "driver", "recorder", "cli", "server"):
        parser.add_argument(f"--{name}")
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # a test CTest ends still shows what it did
    if args.list:
        print("\n".join(tests))
        return 0
    if not os.environ.get("DISPLAY"):
        print("no DISPLAY: run under xvfb-run")
        return 1
    paths = make_paths(args.build_dir, args.program, args.driver, args.recorder, args.cli,
                       args.server)
    if not os.path.exists(paths.program):
        print(f"skipped: the window program's test build is absent: {paths.program}")
        return SKIPPED
    # CTest ends a test that runs too long with SIGTERM: clean up as after a failure.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(TestFailure("terminated")))
    prepare_prefix(paths)
    names = list(tests) if args.test in (None, "all") else [args.test]
    results = [run_one(paths, name, tests[name]) for name in names]
    failed, skipped = results.count(False), results.count(None)
    print(f"{results.count(True)} passed, {failed} failed, {skipped} skipped")
    return 1 if failed else SKIPPED if skipped == len(names) else 0
