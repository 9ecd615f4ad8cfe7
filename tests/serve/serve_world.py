# SPDX-License-Identifier: GPL-2.0-or-later
"""`morvek-cli serve` over a playlist of streams that tests/server/test_server.py serves on
127.0.0.1, made with ffmpeg: moving pictures, a black one, a still card, slow ones, a dead one
and a hostile entry. The first check runs at start; start_run() changes two streams and asks
for the next check: flip.ts appears, moving.ts shows another picture, still.ts stays the same."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
TEST_SERVER = os.path.join(os.path.dirname(HERE), "server", "test_server.py")
TOKEN = "page-test-token"
SLOW_MS = 4000
RUN_LIMIT = 90
# name, country, category, address below the test server
ENTRIES = [
    ("Slow One", "Chile", "News", "_fault/delay/%d/tv1.ts" % SLOW_MS),
    ("Slow Two", "Chile", "Sport", "_fault/delay/%d/tv2.ts" % SLOW_MS),
    ("Slow Three", "Denmark", "Music", "_fault/delay/%d/tv3.ts" % SLOW_MS),
    ("Albania News", "Albania", "News", "tv1.ts"),
    ("Albania Sport", "Albania", "Sport", "tv2.ts"),
    ("Albania Gone", "Albania", "News", "_status/404/gone.ts"),
    ("Brazil Music", "Brazil", "Music", "tv3.ts"),
    ("Brazil Black", "Brazil", "News", "black.ts"),
    ("Chile Card", "Chile", "News", "still.ts"),
    ("Denmark Moving", "Denmark", "Sport", "moving.ts"),
    ("Denmark Flip", "Denmark", "News", "flip.ts"),
]


def make_stream(path, source, start=0):
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", source, "-ss", str(start),
                    "-t", "1", "-c:v", "mpeg2video", "-q:v", "4", path], check=True)


class ServeWorld:
    def __init__(self, program, hostile_name):
        self.folder = tempfile.mkdtemp(prefix="morvek-page-")
        self.media = os.path.join(self.folder, "media")
        os.makedirs(self.media)
        for i, source in enumerate(["testsrc=size=640x360", "smptebars=size=640x360", "rgbtestsrc=size=640x360"]):
            make_stream(os.path.join(self.media, "tv%d.ts" % (i + 1)), source)
        make_stream(os.path.join(self.media, "black.ts"), "color=black:size=640x360")
        make_stream(os.path.join(self.media, "still.ts"), "smptehdbars=size=640x360")
        make_stream(os.path.join(self.media, "moving.ts"), "testsrc2=size=640x360")
        self.web = subprocess.Popen(["python3", TEST_SERVER, "--root", self.media, "--quiet",
                                     "--port-file", os.path.join(self.folder, "port")])
        web_port = int(wait_until(lambda: read(os.path.join(self.folder, "port")), "the test server"))
        media = "http://127.0.0.1:%d/" % web_port
        lines = ["#EXTM3U"]
        for name, country, category, address in ENTRIES:
            lines += ['#EXTINF:-1 tvg-country="%s" group-title="%s",%s' % (country, category, name), media + address]
        lines += ['#EXTINF:-1 tvg-country="Brazil" group-title="News",%s' % hostile_name, "javascript:alert(1)"]
        with open(os.path.join(self.media, "list.m3u"), "w") as f:
            f.write("\n".join(lines) + "\n")
        with open(os.path.join(self.folder, "token"), "w") as f:
            f.write(TOKEN)
        self.playlist = media + "list.m3u"
        self.others = []
        self.log = open(os.path.join(self.folder, "serve.log"), "w+")
        self.serve = subprocess.Popen(
            [program, "serve", "--data", os.path.join(self.folder, "data"), "--listen", "127.0.0.1:0",
             "--playlist", media + "list.m3u", "--token-file", os.path.join(self.folder, "token"),
             "--jobs", "2", "--timeout", "15"], stderr=self.log)
        port = wait_until(lambda: self.logged(r"listening on 127\.0\.0\.1:(\d+)"), "serve listening")
        self.base = "http://127.0.0.1:%s" % port
        self.wait_for_check(1)

    def another_serve(self, *args):
        """A second serve of the same list, in a folder of its own; its address."""
        n = len(self.others) + 1
        log = open(os.path.join(self.folder, "serve-%d.log" % n), "w+")
        self.others.append(subprocess.Popen(
            [self.serve.args[0], "serve", "--data", os.path.join(self.folder, "data-%d" % n), "--listen",
             "127.0.0.1:0", "--playlist", self.playlist, "--check-every", "1d"] + list(args), stderr=log))

        def port():
            log.seek(0)
            found = re.search(r"listening on 127\.0\.0\.1:(\d+)", log.read())
            return found and found.group(1)
        return "http://127.0.0.1:%s" % wait_until(port, "another serve listening")

    def logged(self, pattern):
        self.log.seek(0)
        found = re.search(pattern, self.log.read())
        return found.group(1) if found else None

    def status(self):
        with urllib.request.urlopen(self.base + "/status.json", timeout=10) as reply:
            return json.load(reply)

    def entries(self):
        with urllib.request.urlopen(self.base + "/channels.json", timeout=10) as reply:
            return {e["name"]: e for e in json.load(reply)["entries"]}

    def wait_for_check(self, checks):
        wait_until(lambda: self.status()["run"] is None and
                   self.entries()["Albania News"]["checks"] >= checks, "check %d" % checks)

    def start_run(self):
        make_stream(os.path.join(self.media, "flip.ts"), "testsrc=size=320x240")
        make_stream(os.path.join(self.media, "moving.ts"), "testsrc2=size=640x360", start=0.5)
        request = urllib.request.Request(self.base + "/runs/check", method="POST", data=b"",
                                         headers={"Authorization": "Bearer " + TOKEN})
        urllib.request.urlopen(request, timeout=10).close()

    def wait_for_changed_entry(self):
        return wait_until(lambda: [e for e in [self.entries()["Denmark Flip"]] if e["status"] == "live"][:1],
                          "Denmark Flip live")[0]

    def stop(self):
        for process in self.others + [self.serve, self.web]:
            process.terminate()
            process.wait(10)
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return None


def wait_until(condition, what):
    deadline = time.monotonic() + RUN_LIMIT
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError("timed out waiting for " + what)
