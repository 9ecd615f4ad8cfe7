#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs `morvek-cli serve` on a temporary folder against test servers on 127.0.0.1 (a site and a
playlist with live, dead and stalling streams) and checks its runs, answers and ends. One case
per call, so each shows as its own CTest test.

    serve_test.py --case NAME -- PROGRAM [ARGS...]"""
import gzip
import http.client
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import time
import json

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "check"))
from check_test import Failure, check, make_media, run_case, start_server  # noqa: E402
from make_site import write_site  # noqa: E402

WAIT = 60
PER_ADDRESS = 64  # kMaxConnectionsPerAddress
HEAD_SECONDS = 10  # kRequestHeadSeconds
COMMON_HEADERS = {"Content-Security-Policy", "X-Content-Type-Options", "Referrer-Policy"}


class Serve:
    """One serve process; its log is in work/serve-N.log."""

    def __init__(self, ctx, args):
        ctx.starts += 1
        self.log_path = os.path.join(ctx.work, "serve-%d.log" % ctx.starts)
        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen(ctx.prefix + ctx.program + ["serve", "--data", ctx.data, "--listen", "127.0.0.1:0"] + args,
                                        stderr=self.log, cwd=ctx.work)
        deadline = time.time() + WAIT
        while not re.search(r"listening on 127\.0\.0\.1:(\d+)", self.text()):
            check(self.process.poll() is None and time.time() < deadline, "serve did not start: " + self.text())
            time.sleep(0.05)
        self.port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", self.text()).group(1))

    def text(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def request(self, path, method="GET", headers=None):
        """(status, headers, body bytes)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        connection.request(method, path, headers=headers or {})
        reply = connection.getresponse()
        body = reply.read()
        connection.close()
        missing = COMMON_HEADERS - set(reply.headers.keys())
        check(not missing, "%s %s lacks %s" % (method, path, missing))
        return reply.status, reply.headers, body

    def json(self, path):
        status, _, body = self.request(path)
        check(status == 200, "%s: %d %r" % (path, status, body[:200]))
        return json.loads(body)

    def wait_for_check(self, checks=1):
        """Waits until every entry has this many results and no run runs."""
        deadline = time.time() + WAIT
        while time.time() < deadline:
            state = self.json("/status.json")
            entries = self.json("/channels.json")["entries"]
            if state["run"] is None and entries and all(e["checks"] >= checks for e in entries):
                return entries
            time.sleep(0.2)
        raise Failure("no check ended: " + self.text())

    def stop(self, sig=signal.SIGTERM):
        began = time.monotonic()
        self.process.send_signal(sig)
        code = self.process.wait(WAIT)
        self.log.close()
        return code, time.monotonic() - began


class Context:
    def __init__(self, program, work):
        self.program = program
        self.work = work
        self.data = os.path.join(work, "data")
        self.starts = 0
        self.prefix = []  # a command serve runs under
        self.servers = []
        media = os.path.join(work, "media")
        os.mkdir(media)
        make_media(media)
        web, port = start_server("test_server.py", work, "http", "--root", media, "--quiet")
        check(web is not None, "web server did not start")
        self.servers.append(web)
        self.base = "http://127.0.0.1:%s/" % port
        site = os.path.join(work, "site")
        channels = [{"channel": n, "homepage": "http://home/", "streams": [("m", url, "300")], "about": "News"}
                    for n, url in (("TV &amp; Co", self.base + "tv.ts"), ("Gone", self.base + "_status/404/gone.ts"))]
        write_site(site, [("Testland", "testland.htm", channels)])
        web, port = start_server("test_server.py", work, "site", "--root", site, "--quiet")
        check(web is not None, "site server did not start")
        self.servers.append(web)
        self.site = "http://127.0.0.1:%s/" % port
        self.playlist = os.path.join(work, "list.m3u")
        self.write_playlist([("Radio", "Music", "radio.mp3"), ("Stall", "Music", "_fault/hang/tv.ts")])

    def write_playlist(self, rows):
        with open(self.playlist, "w") as f:
            f.write("#EXTM3U\n")
            for name, group, path, *options in rows:
                f.write('#EXTINF:-1 tvg-id="%s.x" tvg-country="Elsewhere" group-title="%s",%s\n%s%s\n'
                        % (name.lower(), group, name, "".join(o + "\n" for o in options), self.base + path))

    def serve(self, *args):
        return Serve(self, ["--site", self.site, "--playlist", self.playlist, "--timeout", "2", "-v"] + list(args))


def by_name(entries):
    return {e["name"]: e for e in entries}


def case_first_run(ctx):
    serve = ctx.serve()
    entries = by_name(serve.wait_for_check())
    check(set(entries) == {"TV & Co", "Gone", "Radio", "Stall"}, "entries %s" % sorted(entries))
    base = "http://127.0.0.1:%d/" % serve.port
    check("playlist %splaylist.m3u, web page %s\n" % (base, base) in serve.text(), "no addresses at start")
    tv = entries["TV & Co"]
    check(tv["status"] == "live" and tv["video"].startswith("mpeg2video") and tv["source"] == "site"
          and tv["uptime"] == 1.0 and tv["kbps"] == 300, "TV %r" % tv)
    check(entries["Gone"]["status"] == "error" and "404" in entries["Gone"]["detail"], "Gone %r" % entries["Gone"])
    check(entries["Stall"]["status"] != "live" and entries["Radio"]["tvg_id"] == "radio.x", "playlist entries")
    m3u = serve.request("/playlist.m3u")[2].decode()
    check(m3u.startswith("#EXTM3U\n") and 'tvg-name="TV & Co" tvg-country="Testland" group-title="News",TV & Co\n'
          + ctx.base + "tv.ts\n" in m3u and "Gone" not in m3u and "Radio" in m3u, "playlist %r" % m3u)
    # Each filter, by the names it leaves.
    for query, wanted in [("status=dead", {"Gone", "Stall"}), ("status=all&country=testland", {"TV & Co", "Gone"}),
                          ("status=all&category=music", {"Radio", "Stall"}), ("status=all&q=co", {"TV & Co"}),
                          ("status=all&min_uptime=0.5", {"TV & Co", "Radio"}),
                          ("status=all&id=%d" % tv["id"], {"TV & Co"}), ("q=nothing", set())]:
            names = set(re.findall(r",(.*)\n", serve.request("/playlist.m3u?" + query)[2].decode()))
            json_names = {e["name"] for e in serve.json("/channels.json?" + query)["entries"]}
            check(names == wanted, "playlist ?%s: %s" % (query, names))
            check(json_names == wanted or query.startswith("q=") and json_names == set(), "JSON ?%s" % query)
    seq = serve.json("/channels.json")["seq"]
    check(serve.json("/channels.json?since=%d" % seq)["entries"] == [], "since")
    history = serve.json("/channels/%d/history.json" % tv["id"])
    check(history["id"] == tv["id"] and history["results"][0]["status"] == "live"
          and history["results"][0]["width"] == 320, "history %r" % history)
    with open(os.path.join(ctx.data, "channels.dat"), "rb") as f:
        check(serve.request("/channels.dat")[2] == f.read() and b"TV &amp; Co" in f.read() + b"TV &amp; Co",
              "channels.dat")
    state = serve.json("/status.json")
    check(state["entries"] == 4 and state["last_check"] and state["last_harvest"], "status %r" % state)
    metrics = serve.request("/metrics")[2].decode()
    check('morvek_entries{verdict="live"} 2' in metrics, "metrics %s" % metrics[:400])
    check(serve.request("/healthz")[0] == 200 and serve.request("/")[0] == 200, "health, page")
    # Conditional and compressed answers.
    status, headers, body = serve.request("/playlist.m3u")
    for condition in ({"If-None-Match": headers["ETag"]}, {"If-Modified-Since": headers["Last-Modified"]}):
        check(serve.request("/playlist.m3u", headers=condition)[0] == 304, "no 304 for %s" % condition)
    check(serve.request("/playlist.m3u", headers={"If-None-Match": '"other"'})[0] == 200, "304 for another tag")
    status, headers, packed = serve.request("/channels.json", headers={"Accept-Encoding": "gzip"})
    check(headers["Content-Encoding"] == "gzip" and json.loads(gzip.decompress(packed))["entries"], "gzip")
    check(serve.request("/channels.json", headers={"If-None-Match": headers["ETag"]})[0] == 304, "gzip tag")
    for line in ["harvest started", "harvest done: 4 entries found, 4 served", "check done: 2 live of 4"]:
        check(line in serve.text(), "log lacks %r: %s" % (line, serve.text()))
    check(serve.stop()[0] == 0, "exit code: " + serve.text()[-3000:])


def case_requests(ctx):
    token = os.path.join(ctx.work, "token")
    with open(token, "w") as f:
        f.write("s3cret\n")
    serve = ctx.serve("--token-file", token, "--check-every", "1d")
    serve.wait_for_check()
    cases = [("GET", "/nothing", {}, 404), ("GET", "/../morvek.db", {}, 404), ("GET", "/channels/x/history.json", {}, 404),
             ("GET", "/channels/999/history.json", {}, 404), ("GET", "/channels/2/picture.jpg", {}, 404),
             ("GET", "/channels/1/picture.jpg", {}, 200),
             ("DELETE", "/playlist.m3u", {}, 405), ("POST", "/channels.json", {}, 405), ("GET", "/runs/check", {}, 405),
             ("GET", "/" + "a" * 20000, {}, 414), ("GET", "/playlist.m3u", {"X-Big": "b" * 20000}, 431),
             ("GET", "/playlist.m3u?status=maybe", {}, 400), ("GET", "/playlist.m3u?min_uptime=2", {}, 400),
             ("GET", "/playlist.m3u?id=1&id=2", {}, 400), ("GET", "/playlist.m3u?since=1", {}, 400),
             ("GET", "/channels.json?" + "&".join("q%d=1" % i for i in range(40)), {}, 400),
             ("GET", "/channels.json?q=" + "x" * 300, {}, 400),
             ("POST", "/runs/check", {}, 401), ("POST", "/runs/check", {"Authorization": "Bearer wrong"}, 401),
             ("POST", "/runs/check", {"Authorization": "Bearer s3cret"}, 202),
             ("POST", "/runs/harvest", {"Authorization": "Bearer s3cret"}, 409)]
    for method, path, headers, wanted in cases:
        try:
            status = serve.request(path, method, headers)[0]
        except Failure:  # the library's own 414 and 431 carry only its headers
            connection = http.client.HTTPConnection("127.0.0.1", serve.port, timeout=10)
            connection.request(method, path, headers=headers)
            status = connection.getresponse().status
        check(status == wanted, "%s %s: %d, not %d" % (method, path[:40], status, wanted))
    # A request body is never read: its connection is closed.
    with socket.create_connection(("127.0.0.1", serve.port), timeout=10) as raw:
        raw.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\nabc")
        check(raw.recv(100) == b"", "a body was read")
    serve.wait_for_check(2)
    serve.stop()
    serve = ctx.serve()
    check(serve.request("/runs/harvest", "POST", {"Authorization": "Bearer s3cret"})[0] == 403, "without a token file")
    serve.stop()


def case_hostile(ctx):
    key = os.path.join(ctx.work, "key")
    with open(key, "w") as f:
        f.write("r3ad\n")
    serve = ctx.serve("--read-token-file", key, "--public-name", "TV.lan", "--check-every", "1d")
    token = {"Authorization": "Bearer r3ad"}
    deadline = time.time() + WAIT
    while serve.request("/channels/1/history.json?key=r3ad")[0] != 200:
        check(time.time() < deadline, "no entries: " + serve.text())
        time.sleep(0.2)
    cases = [("/status.json", {}, 401), ("/status.json?key=wrong", {}, 401),
             ("/status.json", {"Authorization": "Bearer wrong"}, 401), ("/status.json?key=r3ad", {}, 200),
             ("/status.json", token, 200), ("/playlist.m3u?status=all&key=r3ad", {}, 200), ("/", {}, 200),
             ("/app.js", {}, 200), ("/healthz", {}, 200),
             ("/status.json", dict(token, Host="evil.example"), 421), ("/status.json", dict(token, Host="localhost:1"), 200),
             ("/status.json", dict(token, Host="127.9.9.9"), 200), ("/status.json", dict(token, Host="[::1]:8"), 200),
             ("/status.json", dict(token, Host="tv.LAN"), 200), ("/status.json", dict(token, Host="192.168.1.2"), 421),
             ("/status.json", dict(token, Host="localhost.evil.example"), 421),
             ("/status.json", dict(token, Host="localhost:x"), 421),
             ("/playlist.m3u%00junk", token, 400), ("/channels.json?q=%00", token, 400),
             ("/channels.json?q=%zz", token, 400), ("/channels.json?q=%4", token, 400),
             ("/channels/01/history.json", token, 404), ("/channels/1/history.json", token, 200),
             ("/playlist.m3u?status=all", dict(token, Range="bytes=0-1"), 200)]
    for path, headers, wanted in cases:
        status = serve.request(path, headers=headers)[0]
        check(status == wanted, "%s %s: %d, not %d" % (path, headers, status, wanted))
    for coding, packed in [("gzip;q=0", False), ("gzip; q=0.0", False), ("gzip;q=-1", False), ("gzip;q=0.5", True)]:
        headers = serve.request("/channels.json", headers=dict(token, **{"Accept-Encoding": coding}))[1]
        check((headers["Content-Encoding"] == "gzip") == packed, "Accept-Encoding: %s" % coding)
    for version, wanted in [(b"HTTP/1.1", b" 400 "), (b"HTTP/1.0", b" 200 ")]:
        with socket.create_connection(("127.0.0.1", serve.port), timeout=10) as raw:
            raw.sendall(b"GET /healthz " + version + b"\r\n\r\n")
            check(wanted in raw.recv(100), "%s without Host" % version)
    serve.stop()


def still_open(connection):
    try:
        return connection.recv(1, socket.MSG_DONTWAIT | socket.MSG_PEEK) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False


def case_crowd(ctx):
    """Three times the connections one address may hold, trickling their request heads: the
    extra ones are closed at once, the rest at the head's deadline, and a player on another
    address gets its playlist meanwhile."""
    serve = ctx.serve("--check-every", "1d")
    crowd = []
    for _ in range(3 * PER_ADDRESS):
        connection = socket.socket()
        connection.bind(("127.0.0.2", 0))
        connection.connect(("127.0.0.1", serve.port))
        connection.sendall(b"GET /playlist.m3u HTTP/1.1\r\nHo")
        crowd.append(connection)
    check(serve.request("/playlist.m3u")[0] == 200, "the player was not answered")
    deadline = time.time() + 3 * HEAD_SECONDS
    held = []
    while time.time() < deadline:
        held.append(sum(still_open(c) for c in crowd))
        if held[-1] == 0:
            break
        for connection in crowd:
            try:
                connection.send(b"s")
            except OSError:
                pass
        time.sleep(1)
    check(0 < max(held[1:] or held) <= PER_ADDRESS and held[-1] == 0, "connections held: %s" % held)
    for connection in crowd:
        connection.close()
    # Clients that ask for answers made on the answer threads and never read them: the others
    # are answered, and serve stops with their connections open.
    readers = [socket.create_connection(("127.0.0.1", serve.port)) for _ in range(16)]
    for n, reader in enumerate(readers):
        reader.sendall(b"GET /channels.json?q=%d HTTP/1.1\r\nHost: localhost\r\n\r\n" % (n % 4))
    check(serve.request("/channels.json?q=x")[0] == 200 and serve.request("/playlist.m3u")[0] == 200,
          "not answered beside the readers")
    code = serve.stop()[0]
    check(code == 0, "stop beside the readers: %s" % code)
    for reader in readers:
        reader.close()


def case_restart(ctx):
    # An entry's own request options go with its check.
    ctx.write_playlist([("Radio", "Music", "radio.mp3"),
                        ("Boxed", "Music", "_need/User-Agent=Box/tv.ts", "#EXTVLCOPT:http-user-agent=Box")])
    serve = ctx.serve("--check-every", "1d")
    first = by_name(serve.wait_for_check())
    check(first["Boxed"]["status"] == "live" and "#EXTVLCOPT:http-user-agent=Box\n" + ctx.base
          in serve.request("/playlist.m3u?q=boxed")[2].decode(), "Boxed %r" % first["Boxed"])
    code, seconds = serve.stop()
    check(code == 0 and seconds < 2, "exit %d after %.1f s" % (code, seconds))
    serve = ctx.serve("--check-every", "1d")
    time.sleep(2)
    check("harvest started" not in serve.text() and "check started" not in serve.text(),
          "a restart ran again: " + serve.text())
    again = by_name(serve.json("/channels.json")["entries"])
    check({n: (e["id"], e["checks"], e["first_seen"]) for n, e in again.items()}
          == {n: (e["id"], e["checks"], e["first_seen"]) for n, e in first.items()}, "history lost")
    serve.stop()
    # A harvest that finds far fewer entries keeps the last list; an unreadable playlist too.
    ctx.write_playlist([])
    serve = ctx.serve("--harvest-every", "1s", "--check-every", "1d")
    deadline = time.time() + WAIT
    while "sources kept their last list" not in serve.text() and time.time() < deadline:
        time.sleep(0.2)
    check("harvest of %s found nothing; the last list is kept" % ctx.playlist in serve.text()
          and "1 sources kept their last list, tried again in 1.0 s" in serve.text(), serve.text())
    check(len(serve.json("/channels.json")["entries"]) == len(first), "entries lost")
    serve.stop()


def case_forbidden(ctx):
    # A refused stream's detail names what its request sent, as the check's does; --retry as the check's.
    refused = subprocess.run(ctx.program + ["serve", "--retry", "6"], capture_output=True, timeout=WAIT)
    check(refused.returncode == 2 and b"--retry" in refused.stderr, "--retry 6: %r" % refused.stderr)
    ctx.write_playlist([("Radio", "Music", "radio.mp3"), ("Shut", "Music", "_status/403/tv.ts")])
    serve = ctx.serve("--retry", "1", "--user-agent", "Tester/1")
    shut = by_name(serve.wait_for_check())["Shut"]
    check(shut["status"] == "error" and shut["detail"].startswith("HTTP 403")
          and shut["detail"].endswith('(sent agent "Tester/1", no referrer)'), "Shut %r" % shut)
    serve.stop()


def stalling_playlist(ctx, count):
    ctx.write_playlist([("Stall %d" % i, "Music", "_fault/hang/tv.ts?%d" % i) for i in range(count)])


def case_stop_and_kill(ctx):
    stalling_playlist(ctx, 40)
    serve = ctx.serve("--jobs", "4")
    deadline = time.time() + WAIT
    while serve.json("/status.json")["run"] is None or serve.json("/status.json")["run"]["done"] < 6:
        check(time.time() < deadline, "the check did not begin: " + serve.text())
        time.sleep(0.2)
    code, seconds = serve.stop()
    check(code == 0 and seconds < 2, "SIGTERM during a check: exit %d after %.1f s" % (code, seconds))
    database = os.path.join(ctx.data, "morvek.db")
    kept = sqlite3.connect(database).execute("SELECT COUNT(*) FROM results").fetchone()[0]
    check(kept >= 6, "%d results kept after SIGTERM" % kept)
    serve = ctx.serve("--jobs", "4")
    time.sleep(5)
    serve.stop(signal.SIGKILL)
    db = sqlite3.connect(database)
    check(db.execute("PRAGMA integrity_check").fetchone()[0] == "ok", "database damaged")
    check(db.execute("SELECT COUNT(*) FROM results").fetchone()[0] > kept, "nothing committed before kill -9")
    db.close()
    serve = ctx.serve()
    check(len(serve.json("/channels.json")["entries"]) == 42, "entries after kill -9")
    # A second serve on the same folder is refused, even when the lock file was removed.
    os.remove(os.path.join(ctx.data, "morvek.lock"))
    second = subprocess.run(ctx.program + ["serve", "--data", ctx.data, "--listen", "127.0.0.1:0"],
                            capture_output=True, timeout=WAIT)
    check(second.returncode == 1 and b"another serve uses" in second.stderr, "second: %r" % second.stderr)
    serve.stop()


def case_damaged(ctx):
    serve = ctx.serve("--check-every", "1d")
    serve.wait_for_check()
    serve.stop()
    database = os.path.join(ctx.data, "morvek.db")
    with open(database, "rb") as f:
        good = f.read()
    # Pages from the third on overwritten, garbage, a truncated file: each is moved aside, said
    # once, and a new list is harvested and checked at once.
    for name, damaged in (("pages", good[:8192] + b"\xa5" * (len(good) - 8192)), ("garbage", os.urandom(len(good))),
                          ("truncated", good[:len(good) // 3])):
        with open(database, "wb") as f:
            f.write(damaged)
        serve = ctx.serve("--check-every", "1d")
        entries = serve.wait_for_check()
        moved = re.findall(r"moved aside to (\S+);", serve.text())
        check(len(entries) == 4 and len(moved) == 1 and serve.request("/healthz")[0] == 200, name + serve.text())
        with open(moved[0], "rb") as f:
            check(f.read() == damaged, "%s: %s differs" % (name, moved[0]))
        serve.stop()
    # Read-only, the last state is served, said once (with a read-only mount, where one can be made).
    wrapper = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" && exec "$@"',
               ctx.data]
    if shutil.which("unshare") and subprocess.run(wrapper + ["true"], capture_output=True).returncode == 0:
        ctx.prefix = wrapper
        serve = ctx.serve("--check-every", "1d")
        check(len(serve.json("/channels.json")["entries"]) == 4
              and serve.text().count("cannot be written") == 1, "read-only: " + serve.text())
        serve.stop()
        ctx.prefix = []
    else:
        print("no read-only mount: that part is skipped")
    for companion in ("", "-wal", "-shm"):
        if os.path.exists(database + companion):
            os.remove(database + companion)
    os.mkdir(database)
    done = subprocess.run(ctx.program + ["serve", "--data", ctx.data, "--listen", "127.0.0.1:0"],
                          capture_output=True, timeout=WAIT)
    check(done.returncode == 1 and done.stderr.count(b"\n") == 1 and b"morvek.db is a folder" in done.stderr,
          "folder: %r" % done.stderr)


def case_unsized_list(ctx):
    # A playlist sent without a length, ended by the server closing the connection, is whole.
    shutil.copy(ctx.playlist, os.path.join(ctx.work, "media", "list.m3u"))
    serve = Serve(ctx, ["--playlist", ctx.base + "_unsized/list.m3u", "--timeout", "2", "-v"])
    entries = by_name(serve.wait_for_check())
    check(set(entries) == {"Radio", "Stall"} and "cannot read" not in serve.text(), serve.text())
    serve.stop()


def case_player(ctx):
    serve = ctx.serve()
    serve.wait_for_check()
    player = shutil.which("mpv")
    if not player:
        print("no mpv")
        return 77
    done = subprocess.run([player, "--no-config", "--vo=null", "--ao=null", "--frames=10",
                           "http://127.0.0.1:%d/playlist.m3u" % serve.port], capture_output=True, timeout=WAIT)
    out = (done.stdout + done.stderr).decode(errors="replace")
    check(done.returncode == 0 and "Playing: " + ctx.base + "tv.ts" in out, "mpv: %s" % out)
    serve.stop()


def main():
    return run_case(globals(), lambda program, work, _: Context(program, work), "morvek-serve-")


if __name__ == "__main__":
    sys.exit(main())
