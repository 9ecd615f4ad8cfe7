# SPDX-License-Identifier: GPL-2.0-or-later
"""A stand-in for `morvek-cli serve` on 127.0.0.1 for bench/page_perf.py: its page from
serve/web/ and the JSON endpoints the page reads, over a made-up list of any length (serve
itself would check every entry). start_run() plays a check that changes an entry every 3 s."""
import json
import os
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CSP = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
       "base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
ASSETS = {"/": ("index.html", "text/html; charset=utf-8"), "/app.js": ("app.js", "text/javascript"),
          "/app.css": ("app.css", "text/css")}
COUNTRIES = ["Albania", "Brazil", "Chile", "Denmark"]
VERDICTS = ["live", "live", "error", "unreachable", None]


def make_entries(hostile_name, count=40):
    now = int(time.time())
    entries = []
    for i in range(count):
        status = VERDICTS[i % len(VERDICTS)]
        entries.append({
            "id": i + 1, "name": "Channel %02d %s" % (i, ["news", "sport", "music"][i % 3]),
            "country": COUNTRIES[i % len(COUNTRIES)], "category": ["News", "Sport", "Music"][i % 3],
            "stream": "http://127.0.0.1/tv/%d.ts" % i, "homepage": "", "status": status,
            "detail": None if status == "live" else status, "quality": ["SD", "HD", "FHD", "4K"][i % 4]
            if status == "live" else None, "mislabeled": i == 5, "uptime": None if status is None else (i % 11) / 10,
            "checks": 0 if status is None else 1 + i % 6, "last_checked": None if status is None else now - i * 900,
            "picture": False, "black": i == 10, "frozen": i == 15, "bitrate_bps": 1500000, "seq": 1})
    entries.append(dict(entries[2], id=count + 1, name=hostile_name, stream="javascript:alert(1)", seq=1))
    return entries


class FixtureWorld:
    def __init__(self, web_dir, hostile_name, count=40):
        self.web_dir = web_dir
        self.entries = make_entries(hostile_name, count)
        self.seq = 1
        self.run = None
        self.changed = threading.Event()
        self.lock = threading.Lock()
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), self.handler())
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.base = "http://127.0.0.1:%d" % self.server.server_address[1]

    def stop(self):
        self.server.shutdown()

    def start_run(self):
        with self.lock:
            self.run = {"kind": "check", "started": int(time.time()), "done": 0, "total": 3, "live": 0}
        threading.Thread(target=self.play_run, daemon=True).start()

    def play_run(self):
        for step in range(3):
            time.sleep(3)
            with self.lock:
                self.seq += 1
                entry = self.entries[4 + step * 5]  # unchecked ones become live
                entry.update(status="live", uptime=1.0, checks=1, last_checked=int(time.time()), seq=self.seq)
                self.run["done"] += 1
                self.run["live"] += 1
                self.changed_entry = dict(entry)
            self.changed.set()
        time.sleep(3)
        with self.lock:
            self.run = None

    def wait_for_changed_entry(self):
        self.changed.wait(30)
        return self.changed_entry

    def matches(self, entry, params, default_status):
        status = params.get("status", default_status)
        if "id" in params:
            return str(entry["id"]) == params["id"]
        if status == "live" and entry["status"] != "live":
            return False
        if status == "dead" and entry["status"] in ("live", None):
            return False
        for field in ("country", "category"):
            if params.get(field) and entry[field] != params[field]:
                return False
        if params.get("since") and entry["seq"] <= int(params["since"]):
            return False
        return params.get("q", "").lower() in entry["name"].lower()

    def answer(self, path, params):
        with self.lock:
            if path in ASSETS:
                name, kind = ASSETS[path]
                with open(os.path.join(self.web_dir, name), "rb") as f:
                    return 200, kind, f.read()
            if path == "/channels.json":
                chosen = [e for e in self.entries if self.matches(e, params, "all")]
                return 200, "application/json", json.dumps({"seq": self.seq, "entries": chosen}).encode()
            if path == "/status.json":
                body = {"run": self.run, "last_harvest": None, "last_check": int(time.time()) - 7200,
                        "entries": len(self.entries), "seq": self.seq}
                return 200, "application/json", json.dumps(body).encode()
            if path == "/playlist.m3u":
                lines = ["#EXTM3U"]
                for e in self.entries:
                    if self.matches(e, params, "live"):
                        lines += ["#EXTINF:-1,%s" % e["name"], e["stream"]]
                return 200, "audio/x-mpegurl", ("\n".join(lines) + "\n").encode()
            parts = path.split("/")
            if len(parts) == 4 and parts[1] == "channels" and parts[3] == "history.json":
                entry = next((e for e in self.entries if str(e["id"]) == parts[2]), None)
                if entry:
                    results = [{"time": int(time.time()) - k * 3600, "status": "live" if k % 2 else entry["status"]
                                or "error", "detail": "", "bitrate_bps": 1000000 + k, "width": 720, "height": 576}
                               for k in range(entry["checks"])]
                    return 200, "application/json", json.dumps({"id": entry["id"], "results": results}).encode()
            return 404, "text/plain", b"not found\n"

    def handler(self):
        world = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                address = urllib.parse.urlparse(self.path)
                params = dict(urllib.parse.parse_qsl(address.query))
                code, kind, body = world.answer(address.path, params)
                self.send_response(code)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Content-Security-Policy", CSP)
                self.end_headers()
                self.wfile.write(body)

        return Handler
