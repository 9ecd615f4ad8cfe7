#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Measures `morvek-cli serve` and prints figures beside their targets:

  playlist     GET /playlist.m3u of 20,000 entries on loopback with 16 connections (wrk, 10 s):
               requests per second and p99 latency, beside nginx serving the same bytes as a
               static file in the same run (targets: at least half of nginx's rate; p99 under
               50 ms)
  slow         1,000 clients that send their request one byte a second, from 20 addresses
               (127.0.1.x, under the bound per address), and the time a normal client then
               takes for /playlist.m3u (target: under 1 s)
  crowd        5,000 such clients from one address (127.0.0.2), and the time a normal client
               on another address takes (target: under 1 s; the bound per address holds it)
  player       a player's /playlist.m3u?status=all (every entry: the checks of this bench find
               none live) while checks run and 4 clients loop on /channels.json?q=channel (wrk,
               1 connection beside 4): p99 (target under 50 ms)
  memory       a database of 100,000 entries with 30 results each: its size per result, the
               time from the start to the listening line, the resident memory after the start
               and with the playlist answered (targets: under 1 s; at most 150 MB), and what
               the JSON of every entry costs on top; then the memory after 63 distinct queries
               of the whole list (target: under the cache's 64 MiB plus 10 %), with 16 clients
               that ask for the JSON of every entry and never read (target: under 64 MB above
               the base), and after --cycles check cycles (target: at most 150 MB)

    python3 bench/serve_bench.py [--program build/native/morvek-cli] [--seconds 10] [--cycles 10]
"""
import argparse
import itertools
import os
import re
import resource
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
import json

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PLAYLIST_ENTRIES = 20000
MEMORY_ENTRIES = 100000
RESULTS_PER_ENTRY = 30
SLOW_CLIENTS = 1000
CROWD_CLIENTS = 5000
CROWD_ADDRESS = "127.0.0.2"
SLOW_ADDRESSES = ["127.0.1.%d" % n for n in range(1, 21)]
CONNECTIONS = 16
QUERYING_CLIENTS = 4
DISTINCT_QUERIES = 63
STALLED_READERS = 16
CACHE_MB = 64 * 1048576 / 1e6  # kAnswerCacheBytes
TOKEN = "bench-token"


def write_playlist(path, count):
    with open(path, "w") as f:
        f.write("#EXTM3U\n")
        for n in range(count):
            f.write('#EXTINF:-1 tvg-id="c%d.x" tvg-country="Country %d" group-title="Group %d",Channel %d\n'
                    "http://127.0.0.1:1/stream/%d.ts\n" % (n, n % 90, n % 12, n, n))


class Serve:
    starts = 0

    def __init__(self, program, data, args):
        Serve.starts += 1
        self.log_path = "%s-%d.log" % (data, Serve.starts)
        self.log = open(self.log_path, "wb")
        self.began = time.monotonic()
        self.process = subprocess.Popen([program, "serve", "--data", data, "--listen", "127.0.0.1:0"] + args,
                                        stderr=self.log)
        self.wait_for(r"listening on 127\.0\.0\.1:(\d+)")
        self.started = time.monotonic() - self.began
        self.port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", self.text()).group(1))

    def text(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def wait_for(self, pattern, count=1, limit=600):
        deadline = time.time() + limit
        while len(re.findall(pattern, self.text())) < count:
            if self.process.poll() is not None or time.time() > deadline:
                sys.exit("serve: no %r: %s" % (pattern, self.text()[-2000:]))
            time.sleep(0.05)

    def get(self, path):
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.port, path), timeout=60) as reply:
            return reply.read()

    def start_check(self):
        """False when a run is under way (or the last one not yet wound up)."""
        request = urllib.request.Request("http://127.0.0.1:%d/runs/check" % self.port, method="POST", data=b"",
                                         headers={"Authorization": "Bearer " + TOKEN})
        try:
            urllib.request.urlopen(request, timeout=60).close()
            return True
        except urllib.error.HTTPError as e:
            if e.code != 409:
                raise
            return False

    def status(self):
        return json.loads(self.get("/status.json"))

    def check_cycle(self):
        """Starts a check and waits for its end."""
        before = self.status()["last_check"]
        while not self.start_check():
            time.sleep(0.2)
        while True:
            state = self.status()
            if state["run"] is None and state["last_check"] != before:
                return
            time.sleep(0.2)

    def memory_mb(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            fields = dict(line.split(":", 1) for line in f)
        return int(fields["VmRSS"].split()[0]) / 1024, int(fields["VmHWM"].split()[0]) / 1024

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(30)
        self.log.close()


def latency(out, share):
    """A latency percentile of wrk's output, in ms."""
    value, unit = re.search(share + r"\s+([\d.]+)(us|ms|s)\b", out).groups()
    return float(value) * {"us": 0.001, "ms": 1, "s": 1000}[unit]


def wrk(url, seconds):
    """(requests per second, p99 in ms)."""
    out = subprocess.run(["wrk", "-t2", "-c%d" % CONNECTIONS, "-d%ds" % seconds, "--latency", url],
                         capture_output=True, text=True, check=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    value, unit = re.search(r"99%\s+([\d.]+)(us|ms|s)\b", out).groups()
    return rate, float(value) * {"us": 0.001, "ms": 1, "s": 1000}[unit]


def start_nginx(work, body):
    root = os.path.join(work, "nginx")
    os.makedirs(os.path.join(root, "html"))
    os.chmod(work, 0o755)  # nginx's workers drop root for nobody
    with open(os.path.join(root, "html", "playlist.m3u"), "wb") as f:
        f.write(body)
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    with open(os.path.join(root, "nginx.conf"), "w") as f:
        f.write("worker_processes 2; pid %s/nginx.pid; error_log %s/error.log;\n"
                "events { worker_connections 1024; }\n"
                "http { access_log off; sendfile on; keepalive_requests 100000;\n"
                "  client_body_temp_path %s; proxy_temp_path %s; fastcgi_temp_path %s;\n"
                "  uwsgi_temp_path %s; scgi_temp_path %s;\n"
                "  server { listen 127.0.0.1:%d; root %s/html; } }\n"
                % ((root,) * 7 + (port, root)))
    process = subprocess.Popen(["nginx", "-p", root, "-c", os.path.join(root, "nginx.conf"), "-g", "daemon off;"])
    time.sleep(0.5)
    url = "http://127.0.0.1:%d/playlist.m3u" % port
    with urllib.request.urlopen(url, timeout=10) as reply:
        if reply.read() != body:
            sys.exit("nginx does not serve the playlist")
    return process, url


def slow_clients(serve, count, sources):
    """Opens count connections from the sources (loopback addresses, in turn) that trickle
    their request; the slowest of the normal requests made meanwhile, in seconds."""
    request = b"GET /playlist.m3u?status=all HTTP/1.1\r\nHost: localhost\r\n"
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 256)), hard))
    clients = []
    for n in range(count):
        s = socket.socket()
        s.bind((sources[n % len(sources)], 0))
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", serve.port))
        clients.append(s)
    slowest = 0
    for second in range(5):
        for s in clients:
            try:
                s.send(request[second:second + 1])
            except OSError:
                pass
        began = time.monotonic()
        serve.get("/playlist.m3u?status=all")
        slowest = max(slowest, time.monotonic() - began)
        time.sleep(max(0, 1 - (time.monotonic() - began)))
    for s in clients:
        s.close()
    return slowest


def player_during_checks(serve, seconds):
    """The p99 of a player's /playlist.m3u, in ms, while checks run one after another and
    QUERYING_CLIENTS clients loop on /channels.json?q=channel."""
    done = threading.Event()
    checks = [0]

    def keep_checking():
        while not done.is_set():
            if serve.status()["run"] is None and serve.start_check():
                checks[0] += 1
            time.sleep(0.1)
    checker = threading.Thread(target=keep_checking)
    checker.start()
    time.sleep(1)
    base = "http://127.0.0.1:%d" % serve.port
    queriers = subprocess.Popen(["wrk", "-t1", "-c%d" % QUERYING_CLIENTS, "-d%ds" % (seconds + 2),
                                 base + "/channels.json?q=channel"], stdout=subprocess.PIPE, text=True)
    time.sleep(1)
    out = subprocess.run(["wrk", "-t1", "-c1", "-d%ds" % seconds, "--latency", base + "/playlist.m3u?status=all"],
                         capture_output=True, text=True, check=True).stdout
    query_rate = float(re.search(r"Requests/sec:\s+([\d.]+)", queriers.communicate()[0]).group(1))
    done.set()
    checker.join()
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    return latency(out, "50%"), latency(out, "99%"), rate, query_rate, checks[0]


def whole_list_queries(count):
    """count distinct queries of /playlist.m3u that each match every entry ("Channel N", all live
    with an uptime of 2/3)."""
    name = "channel "
    words = sorted({name[i:j].strip() for i in range(len(name)) for j in range(i + 1, len(name) + 1)} - {""})
    forms = itertools.product(words, ["", "&status=all"], ["", "&min_uptime=0.5"])
    return ["/playlist.m3u?q=%s%s%s" % form for form in itertools.islice(forms, count)]


def stalled_readers(serve, count, path):
    """count connections that ask for path and never read; open until closed."""
    clients = []
    for _ in range(count):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", serve.port))
        s.sendall(b"GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % path.encode())
        clients.append(s)
    return clients


def fill_history(database, results):
    """Gives every entry `results` results, one a day, the last one live."""
    db = sqlite3.connect(database)
    now = int(time.time())
    ids = [row[0] for row in db.execute("SELECT id FROM entries")]
    rows = ((i, now - (results - k) * 3600, "live" if k % 3 else "error", "mpegts" if k % 3 else "HTTP 404 Not Found",
             "mpegts", "h264 1280x720", "aac", 2500000, 25.0, 720, 800) for i in ids for k in range(results))
    db.executemany("INSERT INTO results(entry_id, time, status, detail, format, video, audio, bitrate, fps, height, "
                   "elapsed) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)
    db.execute("UPDATE entries SET checks = ?, live = ?, last_time = ?, last_status = 'live', last_detail = 'mpegts', "
               "last_format = 'mpegts', last_video = 'h264 1280x720', last_audio = 'aac', last_bitrate = 2500000, "
               "last_fps = 25, last_height = 720, last_elapsed = 800", (results, results * 2 // 3, now))
    db.execute("INSERT OR REPLACE INTO meta(name, value) VALUES('last_check', ?)", (now,))
    db.commit()
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.close()
    return len(ids) * results


def speed(args, work, playlist, token):
    """The playlist, slow, crowd and player figures."""
    serve = Serve(args.program, os.path.join(work, "data"),
                  ["--playlist", playlist, "--jobs", "64", "--per-host", "64", "--check-every", "1d", "-q",
                   "--token-file", token])
    while b'"run":null' not in serve.get("/status.json") or b'"last_check":null' in serve.get("/status.json"):
        time.sleep(0.5)
    url = "http://127.0.0.1:%d/playlist.m3u?status=all" % serve.port
    body = serve.get("/playlist.m3u?status=all")
    nginx, nginx_url = start_nginx(work, body)
    try:
        served = wrk(url, args.seconds)
        static = wrk(nginx_url, args.seconds)
    finally:
        nginx.terminate()
        nginx.wait(10)
    print("playlist  %d entries, %d bytes, %d connections, %d s each" %
          (PLAYLIST_ENTRIES, len(body), CONNECTIONS, args.seconds))
    print("  serve   %8.0f requests/s  p99 %6.1f ms" % served)
    print("  nginx   %8.0f requests/s  p99 %6.1f ms" % static)
    print("  serve at %.0f%% of nginx's rate (target >= 50%%), p99 target < 50 ms" % (100 * served[0] / static[0]))
    print("slow      %d clients at one byte a second: a normal /playlist.m3u took at most %.3f s (target < 1 s)"
          % (SLOW_CLIENTS, slow_clients(serve, SLOW_CLIENTS, SLOW_ADDRESSES)))
    print("crowd     %d clients from %s: a normal /playlist.m3u took at most %.3f s (target < 1 s)"
          % (CROWD_CLIENTS, CROWD_ADDRESS, slow_clients(serve, CROWD_CLIENTS, [CROWD_ADDRESS])))
    p50, p99, rate, query_rate, checks = player_during_checks(serve, args.seconds)
    print("player    /playlist.m3u?status=all while %d checks ran and %d clients queried /channels.json?q=channel:"
          " median %.1f ms, p99 %.1f ms (target < 50 ms), %.0f requests/s; the queries %.1f/s"
          % (checks, QUERYING_CLIENTS, p50, p99, rate, query_rate))
    serve.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "native", "morvek-cli"))
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--cycles", type=int, default=10)
    parser.add_argument("--entries", type=int, default=MEMORY_ENTRIES, help="of the memory figures")
    parser.add_argument("--memory-only", action="store_true", help="only the memory figures")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="morvek-serve-bench-")
    try:
        playlist = os.path.join(work, "list.m3u")
        write_playlist(playlist, PLAYLIST_ENTRIES)
        token = os.path.join(work, "token")
        with open(token, "w") as f:
            f.write(TOKEN)
        if not args.memory_only:
            speed(args, work, playlist, token)
        write_playlist(playlist, args.entries)
        data = os.path.join(work, "big")
        serve = Serve(args.program, data, ["--playlist", playlist, "--check-every", "1d"])
        serve.wait_for(r"check started")
        serve.stop()
        database = os.path.join(data, "morvek.db")
        results = fill_history(database, RESULTS_PER_ENTRY)
        size = os.path.getsize(database)
        serve = Serve(args.program, data, ["--playlist", playlist, "--harvest-every", "1d", "--check-every", "1d",
                                           "-q", "--token-file", token, "--jobs", "64", "--per-host", "64"])
        started = serve.memory_mb()[0]
        serve.get("/playlist.m3u?status=all")
        playlist_rss = serve.memory_mb()[0]
        began = time.monotonic()
        json_bytes = len(serve.get("/channels.json"))
        json_seconds = time.monotonic() - began
        rss, peak = serve.memory_mb()
        time.sleep(1)
        before_readers = serve.memory_mb()[0]
        readers = stalled_readers(serve, STALLED_READERS, "/channels.json")
        time.sleep(json_seconds + 3)  # the answer is made once, then the readers' sockets fill
        with_readers = serve.memory_mb()[0]
        normal = time.monotonic()
        serve.get("/playlist.m3u")
        normal = time.monotonic() - normal
        for s in readers:
            s.close()
        time.sleep(2)
        after_readers = serve.memory_mb()[0]
        before_queries = serve.memory_mb()[0]
        queries = whole_list_queries(DISTINCT_QUERIES)
        query_bytes = [len(serve.get(path)) for path in queries]
        after_queries = serve.memory_mb()[0]
        began = time.monotonic()
        for _ in range(args.cycles):
            serve.check_cycle()
        cycles_seconds = time.monotonic() - began
        after_cycles = serve.memory_mb()[0]
        serve.get("/playlist.m3u")
        after_cycles_playlist = serve.memory_mb()[0]
        serve.stop()
        print("memory    %d entries, %d results: database %.1f MB, %.0f bytes per result" %
              (args.entries, results, size / 1e6, size / results))
        print("  start to listening %.2f s (target < 1 s)" % serve.started)
        print("  resident after the start %.0f MB, with /playlist.m3u answered %.0f MB (target <= 150 MB)"
              % (started, playlist_rss))
        print("  /channels.json of every entry: %.0f MB in %.1f s; resident after it %.0f MB, peak %.0f MB"
              % (json_bytes / 1e6, json_seconds, rss, peak))
        print("  %d stalled readers of /channels.json: resident %.0f MB, %.0f MB above the %.0f MB before"
              " (target < 64 MB); a player's /playlist.m3u meanwhile %.2f s; after they closed %.0f MB"
              % (STALLED_READERS, with_readers, with_readers - before_readers, before_readers, normal, after_readers))
        print("  %d distinct whole-list queries (%.0f MB each): resident %.0f MB, %.0f MB above the %.0f MB before"
              " (target < %.0f MB: the cache's bound plus 10 %%)"
              % (len(queries), max(query_bytes) / 1e6, after_queries, after_queries - before_queries, before_queries,
                 CACHE_MB * 1.1))
        print("  after %d check cycles (%.0f s each): resident %.0f MB, with /playlist.m3u answered %.0f MB"
              " (target <= 150 MB)" % (args.cycles, cycles_seconds / max(args.cycles, 1), after_cycles,
                                       after_cycles_playlist))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
