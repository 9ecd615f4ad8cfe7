#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs `morvek-cli check` against servers started on 127.0.0.1 and checks verdicts, media
details, outputs and exit codes. One case per call, so each shows as its own CTest test.

    check_test.py --case NAME -- PROGRAM [ARGS...]

Media is made at test time with ffmpeg; the web server is tests/server/test_server.py, the
RTSP server tests/server/rtsp_server.py (the rtsp case is skipped, exit 77, without it).
--stall-resolver names tests/check/stall_resolver.c built as a library, for the hostile case."""
import argparse
import concurrent.futures
import itertools
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER_DIR = os.path.join(os.path.dirname(HERE), "server")
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "gui"))
from make_site import write_site  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "cli"))
from terminal import run_on_terminal  # noqa: E402

SKIPPED = 77
RUN_LIMIT = 60
STALLED_HOST = "tv.stall.invalid"  # stall_resolver.c holds its lookup for 5 s
LEFT_BEHIND_THREADS = 32  # kMaxLeftBehindProbes
PEAK_RSS_MB = 150  # the whole check at --jobs 8, whatever the servers send


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def make_media(root):
    """An MPEG-TS with video and audio, an MP3, and the pages and wrappers around them."""
    lavfi = ["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i"]
    subprocess.run(lavfi + ["testsrc=size=320x240:rate=25", "-f", "lavfi", "-i", "sine=sample_rate=48000",
                            "-t", "1", "-c:v", "mpeg2video", "-c:a", "mp2", "-b:a", "128k",
                            os.path.join(root, "tv.ts")], check=True)
    subprocess.run(lavfi + ["sine", "-t", "1", "-c:a", "libmp3lame", "-b:a", "128k",
                            os.path.join(root, "radio.mp3")], check=True)
    files = {
        "page.htm": "<html><body>Our stream moved</body></html>\n",
        "empty.txt": "",
        "good.asx": '<asx version="3.0"><entry><ref href="/_status/404/gone.ts"/><ref href="tv.ts"/></entry></asx>',
        # Unclosed elements, a bare "&", upper case: as real ones are.
        "broken.asx": '<ASX version=3><Entry><Ref HREF="radio.mp3?a=1&b=2"><Title>A & B\n',
        "list.m3u": "#EXTM3U\r\n#EXTINF:-1,Radio\r\nradio.mp3\r\n",
        "list.pls": "[playlist]\nNumberOfEntries=1\nFile1=tv.ts\nTitle1=TV\n",
        "loop1.m3u": "loop2.m3u\n",
        "loop2.m3u": "loop1.m3u\n",
    }
    for depth in range(1, 7):  # deep1.m3u -> ... -> deep6.m3u -> radio.mp3
        files["deep%d.m3u" % depth] = "deep%d.m3u\n" % (depth + 1) if depth < 6 else "radio.mp3\n"
    # An SDP served over HTTP names a UDP port: nothing may bind it.
    files["session.sdp"] = ("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=x\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                            "m=audio 5004 RTP/AVP 0\r\n")
    for name, text in files.items():
        with open(os.path.join(root, name), "w") as f:
            f.write(text)
    os.mkdir(os.path.join(root, "hls"))
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", os.path.join(root, "tv.ts"), "-c", "copy", "-f", "hls",
                    "-hls_list_size", "0", os.path.join(root, "hls", "index.m3u8")], check=True)


def make_doubtful_media(root):
    """Beside make_media's: media that a packet reader takes for live and players do not play, or
    the reverse, and the places it is served from."""
    lavfi = ["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i"]
    subprocess.run(lavfi + ["testsrc=size=320x240:rate=25", "-t", "3", "-c:v", "mpeg2video",
                            os.path.join(root, "long.ts")], check=True)  # declares no rate
    subprocess.run(lavfi + ["sine", "-t", "20", "-c:a", "libmp3lame", "-b:a", "128k",
                            os.path.join(root, "radio-long.mp3")], check=True)
    subprocess.run(lavfi + ["testsrc=size=160x120:rate=10", "-t", "1", "-c:v", "mpeg4",
                            os.path.join(root, "tail.mp4")], check=True)
    chance = random.Random(25)
    noise = lambda n: bytes(chance.getrandbits(8) for _ in range(n))
    with open(os.path.join(root, "tv.ts"), "rb") as f:
        packets = [f.read(188) for _ in range(400)]
    with open(os.path.join(root, "noise.ts"), "wb") as f:  # tables and PES headers, then random bytes
        f.write(b"".join(p if i < 3 else p[:32] + noise(156) if p[1] & 0x40 else p[:4] + noise(184)
                         for i, p in enumerate(packets)))
    with open(os.path.join(root, "radio.mp3"), "rb") as f:
        mp3 = f.read()
    with open(os.path.join(root, "radio-long.mp3"), "rb") as f, open(os.path.join(root, "cut.mp3"), "wb") as g:
        g.write(f.read()[1001:])  # joined mid-stream, as from a radio server
    syncsafe = lambda size: bytes((size >> s) & 0x7F for s in (21, 14, 7, 0))
    # An ID3 tag of one frame of size zero bytes that no reader parses, written in blocks: a
    # 5 MiB string would stay in this process, and in the peak RSS of every program it starts.
    id3 = lambda size, *after: itertools.chain(
        [b"ID3\x04\x00\x00" + syncsafe(size + 10) + b"ZOBS" + syncsafe(size) + b"\0\0"],
        (b"\0" * min(65536, size - at) for at in range(0, size, 65536)), after)
    for name, pieces in (("noise.mp3", id3(1000, noise(64000))), ("big-tag.mp3", id3(5 << 20, mp3)),
                         ("tag-only.mp3", id3(2000)), ("head.ts", packets[:6])):
        with open(os.path.join(root, name), "wb") as f:
            for piece in pieces:
                f.write(piece)
    os.makedirs(os.path.join(root, "new", "sub"))
    shutil.copy(os.path.join(root, "tv.ts"), os.path.join(root, "new", "sub", "live.ts"))
    with open(os.path.join(root, "new", "list.m3u"), "w") as f:
        f.write("sub/live.ts\n")
    with open(os.path.join(root, "hls", "master.m3u8"), "w") as f:
        f.write("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=300000\nindex.m3u8\n")
    os.mkdir(os.path.join(root, "hls404"))
    with open(os.path.join(root, "hls", "index.m3u8")) as f, open(os.path.join(root, "hls404", "index.m3u8"), "w") as g:
        g.write(f.read())


def start_server(script, work, name, *args):
    port_file = os.path.join(work, name + ".port")
    process = subprocess.Popen([sys.executable, os.path.join(SERVER_DIR, script), "--port-file", port_file]
                               + list(args), stderr=subprocess.PIPE)
    deadline = time.time() + 10
    while not os.path.exists(port_file):
        if process.poll() is not None or time.time() > deadline:
            process.kill()
            return None, process.stderr.read().decode(errors="replace")
        time.sleep(0.05)
    with open(port_file) as f:
        return process, f.read().strip()


class Context:
    def __init__(self, program, work):
        self.program = program
        self.work = work
        self.media = os.path.join(work, "media")
        os.mkdir(self.media)
        make_media(self.media)
        self.http, port = start_server("test_server.py", work, "http", "--root", self.media, "--quiet")
        check(self.http is not None, "web server did not start: %s" % port)
        self.base = "http://127.0.0.1:%s/" % port
        self.servers = [self.http]

    def write_list(self, rows, name="channels.dat"):
        """rows: (name, stream address); the other fields are filled in."""
        data = b"".join(b"Testland|%s|300|News|about %d|%s|http://home/\r\n" % (n.encode(), i, s.encode())
                        for i, (n, s) in enumerate(rows))
        with open(os.path.join(self.work, name), "wb") as f:
            f.write(data)
        return data

    def run(self, args, **kwargs):
        done = subprocess.run(self.program + args, cwd=self.work, capture_output=True, timeout=RUN_LIMIT,
                              **kwargs)
        return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")

    def run_measured(self, args, env=None):
        """Runs with stdout and stderr to files; (exit code, stderr, seconds, peak RSS in MB)."""
        with open(os.path.join(self.work, "stdout"), "wb") as out, open(os.path.join(self.work, "stderr"), "wb+") as err:
            began = time.monotonic()
            process = subprocess.Popen(self.program + args, cwd=self.work, stdout=out, stderr=err, env=env)
            _, status, usage = os.wait4(process.pid, 0)
            seconds = time.monotonic() - began
            process.returncode = os.waitstatus_to_exitcode(status)
            err.seek(0)
            return process.returncode, err.read().decode(errors="replace"), seconds, usage.ru_maxrss / 1024

    def start_silent_rtsp(self):
        """An RTSP server that answers PLAY but sends no media; its base address and SETUP log."""
        log = os.path.join(self.work, "rtsp-setup.log")
        process, port = start_server("rtsp_server.py", self.work, "silent", "--silent", "--log", log)
        check(process is not None, "silent RTSP server did not start: %s" % port)
        self.servers.append(process)
        return "rtsp://127.0.0.1:%s/" % port, log

    def hostile_rows(self, rtsp_base, stall_resolver):
        """(name, address, wanted status, words the detail holds)."""
        b = self.base
        rows = [("endless srt", b + "_endless/srt", "no-media", "srt"),
                ("endless hls", b + "_endless/hls", "no-media", "no audio or video recognised in hls within"),
                ("huge png", b + "_png/16000x16000", "no-media", "png"),
                ("sdp", b + "session.sdp", "no-media", "sdp"),
                ("silent rtsp", rtsp_base + "silent", "no-media", "no media packet"),
                ("ts as html", b + "_type/text/html/tv.ts", "live", "mpegts"),
                ("hls", b + "hls/index.m3u8", "live", "hls, mpeg2video 320x240, mp2")]
        if stall_resolver:
            rows.append(("stalled lookup", "http://%s/tv.ts" % STALLED_HOST, "unreachable", ""))
        return rows

    def stalled_resolver_env(self, stall_resolver):
        env = dict(os.environ)
        if stall_resolver:
            env["LD_PRELOAD"] = stall_resolver
            # An ASan build would otherwise refuse a library loaded before its runtime.
            env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        return env

    def read_json(self, name):
        with open(os.path.join(self.work, name), encoding="utf-8") as f:
            return json.load(f)


def expect_statuses(results, wanted):
    got = {r["name"]: r["status"] for r in results}
    for name, status in wanted.items():
        check(got.get(name) == status, "%s: %s, wanted %s (%s)" % (
            name, got.get(name), status, [r["detail"] for r in results if r["name"] == name]))


def case_verdicts(ctx):
    b = ctx.base
    rows = [("ts", b + "tv.ts"), ("mp3", b + "radio.mp3"), ("html", b + "page.htm"),
            ("empty", b + "empty.txt"), ("404", b + "missing.ts"), ("500", b + "_status/500"),
            ("stalled", b + "_fault/hang/tv.ts"), ("refused", "http://127.0.0.1:1/tv.ts"),
            ("ftp", "ftp://127.0.0.1/tv.ts"), ("local", "file:///etc/passwd"), ("none", ""),
            ("asx", b + "good.asx"), ("broken asx", b + "broken.asx"), ("m3u", b + "list.m3u"),
            ("pls", b + "list.pls"), ("loop", b + "loop1.m3u"), ("five deep", b + "deep2.m3u"),
            ("six deep", b + "deep1.m3u"),
            ("redirected", b + "_redirect/_redirect/_redirect/tv.ts"), ("redirect loop", b + "_loop/tv.ts")]
    original = ctx.write_list(rows)
    rc, out, err = ctx.run(["check", "--timeout", "3", "--json", "out.json", "--m3u", "live.m3u",
                            "--output", "live.dat"])
    check(rc == 0, "exit code %d: %s" % (rc, err))
    results = ctx.read_json("out.json")
    check([r["name"] for r in results] == [n for n, _ in rows], "JSON rows out of list order")
    expect_statuses(results, {
        "ts": "live", "mp3": "live", "html": "no-media", "empty": "no-media", "404": "error",
        "500": "error", "stalled": "unreachable", "refused": "unreachable", "ftp": "unsupported",
        "local": "unsupported", "none": "no-stream", "asx": "live", "broken asx": "live", "m3u": "live",
        "pls": "live", "loop": "no-media", "five deep": "live", "six deep": "no-media",
        "redirected": "live", "redirect loop": "error"})
    by_name = {r["name"]: r for r in results}
    ts, mp3 = by_name["ts"], by_name["mp3"]
    check((ts["format"], ts["video"], ts["audio"]) == ("mpegts", "mpeg2video 320x240", "mp2"), "ts %r" % ts)
    check((mp3["format"], mp3["video"], mp3["audio"], mp3["bitrate"]) == ("mp3", None, "mp3", 128000),
          "mp3 %r" % mp3)
    check(by_name["404"]["detail"] == "HTTP 404 Not Found", "404 detail %r" % by_name["404"]["detail"])
    check(by_name["redirect loop"]["detail"] == "redirect loop", "loop %r" % by_name["redirect loop"]["detail"])
    check(by_name["500"]["detail"].startswith("HTTP 500"), "500 detail %r" % by_name["500"]["detail"])
    check(2500 <= by_name["stalled"]["elapsed_ms"] < 6000, "time-out took %d ms" % by_name["stalled"]["elapsed_ms"])
    check(by_name["asx"]["played"] == b + "tv.ts", "asx played %r" % by_name["asx"]["played"])
    check(by_name["broken asx"]["played"] == b + "radio.mp3?a=1&b=2", "broken asx %r" % by_name["broken asx"])
    check("live        Testland | ts: mpegts, mpeg2video 320x240, mp2" in out, "stdout %r" % out[:300])
    check("live 8, no-media 4, error 3, unreachable 2, unsupported 2, no-stream 1" in err, "summary %r" % err)
    with open(os.path.join(ctx.work, "channels.dat"), "rb") as f:
        check(f.read() == original, "the checked list was changed")
    live_rows = [line + b"\r\n" for line in original.split(b"\r\n")
                 if line and by_name[line.split(b"|")[1].decode()]["status"] == "live"]
    with open(os.path.join(ctx.work, "live.dat"), "rb") as f:
        check(f.read() == b"".join(live_rows), "live.dat is not the live rows unchanged")
    with open(os.path.join(ctx.work, "live.m3u"), encoding="utf-8") as f:
        streams = [line.strip() for line in f if line.startswith("http")]
    # The playlist holds the address that played, not the wrapper's.
    check(streams == [by_name[n]["played"] for n, _ in rows if by_name[n]["status"] == "live"], "m3u %r" % streams)


def doubtful_rows(b):
    """(name, address, status, words in the detail, whether ffmpeg is asked too)."""
    return [("ts", b + "tv.ts", "live", "mpeg2video", True), ("mp3", b + "radio.mp3", "live", "mp3", True),
            ("html", b + "page.htm", "no-media", "", True), ("404", b + "missing.ts", "error", "404", True),
            ("hls", b + "hls/index.m3u8", "live", "hls", True),
            ("noise ts", b + "noise.ts", "no-media", "no frame decoded", True),
            ("noise mp3", b + "noise.mp3", "no-media", "", True), ("big tag", b + "big-tag.mp3", "live", "mp3", True),
            ("tag only", b + "tag-only.mp3", "no-media", "", True),
            ("mp4 index at end", b + "tail.mp4", "live", "mov, mpeg4 160x120", True),
            ("moved list", b + "_to/new~list.m3u", "live", "", False),
            ("moved master", b + "_to/hls~master.m3u8", "live", "hls", True),
            ("segments 404", b + "hls404/index.m3u8", "error", "segments answer HTTP 404", True),
            ("to file", b + "_to/file:~~~etc~passwd", "unsupported", "redirect to file:", True),
            ("two-way redirect", b + "_pingpong/0/tv.ts", "error", "redirect loop", True),
            ("silent ts", b + "_fault/stall/60000/head.ts", "no-media", "", True),
            ("nested", b + "_nest/0", "no-media", "within 64 requests", False),
            ("rate unsaid", b + "long.ts", "live", "kb/s", True),
            ("radio", b + "_fault/rate/16000/cut.mp3", "live", "mp3", True)]


def frames_decoded(address):
    """How many frames `ffmpeg -i address -t 3` decodes: what players show of it."""
    try:
        done = subprocess.run(["ffmpeg", "-nostdin", "-v", "quiet", "-rw_timeout", "3000000", "-i", address,
                               "-t", "3", "-f", "framecrc", "-"], capture_output=True, timeout=20)
    except subprocess.TimeoutExpired:
        return 0
    return sum(1 for line in done.stdout.splitlines() if line and not line.startswith(b"#"))


def case_plays(ctx):
    """live means what players show; a server that answered is named, never unreachable."""
    make_doubtful_media(ctx.media)
    rows = doubtful_rows(ctx.base)
    ctx.write_list([(n, a) for n, a, _, _, _ in rows])
    rc, _, err = ctx.run(["check", "--timeout", "3", "--jobs", "8", "--per-host", "8", "--json", "out.json"])
    check(rc == 0, "exit code %d: %s" % (rc, err))
    by_name = {r["name"]: r for r in ctx.read_json("out.json")}
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        frames = dict(zip([n for n, _, _, _, ask in rows if ask],
                          pool.map(frames_decoded, [a for _, a, _, _, ask in rows if ask])))
    faults = []
    for name, _, status, words, _ in rows:
        got = by_name[name]
        if got["status"] != status or words not in got["detail"]:
            faults.append("%s: %s (%s), wanted %s (%s)" % (name, got["status"], got["detail"], status, words))
        if name in frames and (frames[name] > 0) != (got["status"] == "live"):
            faults.append("%s: %s, while ffmpeg decodes %d frames" % (name, got["status"], frames[name]))
    check(not faults, "; ".join(faults))
    check(by_name["moved list"]["played"] == ctx.base + "new/sub/live.ts", "played %r" % by_name["moved list"])
    size = os.path.getsize(os.path.join(ctx.media, "long.ts"))
    check(abs(by_name["rate unsaid"]["bitrate"] - size * 8 / 3) < size * 8 / 3 / 4, "%r" % by_name["rate unsaid"])


def case_rtsp(ctx):
    interpreters = [sys.executable] + [p for p in ("/usr/bin/python3",) if p != sys.executable]
    for python in interpreters:
        port_file = os.path.join(ctx.work, "rtsp.port")
        process = subprocess.Popen([python, os.path.join(SERVER_DIR, "rtsp_server.py"), "--port-file", port_file],
                                   stderr=subprocess.PIPE)
        deadline = time.time() + 15
        while not os.path.exists(port_file) and process.poll() is None and time.time() < deadline:
            time.sleep(0.05)
        if os.path.exists(port_file):
            break
        process.kill()
        reason = process.stderr.read().decode(errors="replace").strip()
    else:
        print("SKIP: the RTSP test server could not start: %s" % reason)
        return SKIPPED
    ctx.servers.append(process)
    with open(port_file) as f:
        base = "rtsp://127.0.0.1:%s/" % f.read().strip()
    ctx.write_list([("live", base + "live"), ("missing", base + "nothing")])
    rc, _, err = ctx.run(["check", "--json", "out.json"])
    check(rc == 0, "exit code %d: %s" % (rc, err))
    results = ctx.read_json("out.json")
    expect_statuses(results, {"live": "live", "missing": "error"})
    check((results[0]["video"], results[0]["audio"]) == ("h264 320x240", "pcm_mulaw"), "rtsp %r" % results[0])
    check(results[1]["detail"].startswith("RTSP 404"), "rtsp error %r" % results[1]["detail"])
    return 0


NGINX = "/usr/sbin/nginx"
NGINX_RTMP = "/usr/lib/nginx/modules/ngx_rtmp_module.so"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def case_rtmp(ctx):
    """rtmp:// live from nginx-rtmp fed by ffmpeg. nginx-rtmp has no HTTP tunnel, and no Debian
    server offers one, so rtmpt:// is only shown to reach its server over HTTP."""
    if not (os.path.exists(NGINX) and os.path.exists(NGINX_RTMP)):
        print("SKIP: nginx with libnginx-mod-rtmp is not installed")
        return SKIPPED
    port = free_port()
    conf = os.path.join(ctx.work, "nginx.conf")
    with open(conf, "w") as f:
        f.write("load_module %s;\ndaemon off;\nmaster_process off;\npid %s/nginx.pid;\nerror_log %s/nginx.log;\n"
                "events {}\nrtmp { server { listen 127.0.0.1:%d; application live { live on; }\n"
                "application strict { live on; idle_streams off; } } }\n"
                % (NGINX_RTMP, ctx.work, ctx.work, port))
    ctx.servers.append(subprocess.Popen([NGINX, "-c", conf, "-p", ctx.work], stderr=subprocess.DEVNULL))
    base = "rtmp://127.0.0.1:%d/live/" % port
    deadline = time.time() + 5
    while True:  # ffmpeg gives up at once when nothing listens yet
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            break
        except OSError:
            check(time.time() < deadline, "nginx did not listen on %d" % port)
            time.sleep(0.05)
    ctx.servers.append(subprocess.Popen(
        ["ffmpeg", "-loglevel", "quiet", "-re", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi",
         "-i", "sine=sample_rate=44100", "-t", "20", "-c:v", "flv1", "-c:a", "aac", "-f", "flv", base + "tv"]))
    ctx.write_list([("rtmp", base + "tv"), ("rtmpt", "rtmpt" + ctx.base[4:] + "live/tv"),
                    ("missing", base.replace("/live/", "/strict/") + "none")])
    rc, _, err = ctx.run(["check", "--timeout", "5", "--json", "out.json"])
    check(rc == 0, "exit code %d: %s" % (rc, err))
    by_name = {r["name"]: r for r in ctx.read_json("out.json")}
    check((by_name["rtmp"]["status"], by_name["rtmp"]["video"]) == ("live", "flv1 320x240"), "rtmp %r" % by_name["rtmp"])
    check(by_name["rtmpt"]["detail"] != "invalid argument", "rtmpt made no connection: %r" % by_name["rtmpt"])
    missing = by_name["missing"]
    check((missing["status"], missing["detail"]) == ("error", "RTMP stream not found"), "missing %r" % missing)
    return 0


def case_per_host(ctx):
    ctx.write_list([("slow %d" % i, ctx.base + "_fault/delay/300/radio.mp3?%d" % i) for i in range(12)])
    rc, _, err = ctx.run(["check", "--jobs", "12", "--per-host", "3"])
    check(rc == 0 and "live 12," in err, "exit code %d: %s" % (rc, err))
    with urllib.request.urlopen(ctx.base + "_peak") as reply:
        peak = int(reply.read().split()[1])
    # The server may still count a connection for a moment after the check has closed it, while
    # the next check of that host already connects: one over the cap is that overlap.
    check(3 <= peak <= 4, "at most 3 connections wanted, and that many used: peak %d" % peak)
    # A wrapper keeps its connection for its entries, whatever waits for its host.
    ctx.write_list([("asx", ctx.base + "good.asx"), ("pls", ctx.base + "list.pls")] +
                   [("stall %d" % i, ctx.base + "_fault/hang/tv.ts?%d" % i) for i in range(6)])
    rc, _, err = ctx.run(["check", "--timeout", "3", "--json", "out.json"])
    expect_statuses(ctx.read_json("out.json"), {"asx": "live", "pls": "live", "stall 0": "unreachable"})
    # Six spellings of 127.0.0.1 are one host.
    port = ctx.base.split(":")[2].rstrip("/")
    spellings = ["127.0.0.1", "127.1", "2130706433", "0x7f.0.0.1", "localhost", "127.0.1"]
    ctx.write_list([("slow %d" % i, "http://%s:%s/_fault/delay/300/radio.mp3?b%d" % (h, port, i))
                    for i, h in enumerate(spellings * 2)])
    before = time.time()
    rc, _, err = ctx.run(["check", "--jobs", "12", "--per-host", "2"])
    check(rc == 0 and "live 12," in err, "spellings: exit code %d: %s" % (rc, err))
    check(time.time() - before > 1.7, "12 checks of 0.3 s two at a time took %.1f s" % (time.time() - before))


# Entries of a playlist: name, the lines before the address, the path, the status wanted.
PLAYLIST_ENTRIES = [
    ("Eins HD", ['#EXTINF:-1 tvg-id="one.de" tvg-country="DE" group-title="News",Eins HD',
                 "#EXTVLCOPT:http-user-agent=Player-1"], "_need/User-Agent=Player-1/tv.ts", "live"),
    ("Zwei", ['#EXTINF:-1 tvg-name="Zwei",Zwei', '#EXTHTTP:{"Referer":"portal","X-Token":"t1"}'],
     "_need/X-Token=t1/_need/Referer=portal/radio.mp3", "live"),
    ("Drei ohne Token", ["#EXTINF:-1,Drei ohne Token"], "_need/X-Token=t1/radio.mp3", "error"),
    ("Eins again", ["#EXTINF:-1,Eins again", "#EXTVLCOPT:http-user-agent=Player-1"],
     "_need/User-Agent=Player-1/tv.ts", "live"),
    ("Vier", ["#EXTINF:-1,Vier"], "missing.ts", "error"),
    ("F\u00fcnf", ["#EXTINF:-1,F\u00fcnf"], "_need/User-Agent=Default-2/radio.mp3", "live"),
]


def case_playlist(ctx):
    """An M3U from stdin and from an address: options and headers sent, entries split byte for byte."""
    header = b'\xef\xbb\xbf#EXTM3U x-tvg-url="http://guide/"\r\n'
    entries = {n: "".join(line + "\r\n" for line in lines + [ctx.base + path]).encode()
               for n, lines, path, _ in PLAYLIST_ENTRIES}
    data = header + b"\r\n".join(entries.values())  # blank lines between entries are no entry's
    with open(os.path.join(ctx.media, "list2.m3u8"), "wb") as f:
        f.write(data)
    for source, stdin in (("-", data), (ctx.base + "list2.m3u8", None)):
        rc, out, err = ctx.run(["check", source, "--user-agent", "Default-2", "--m3u", "live.m3u", "--dead",
                                "dead.m3u", "--json", "out.json"], input=stdin)
        check(rc == 0, "%s: exit code %d: %s" % (source, rc, err))
        results = ctx.read_json("out.json")
        expect_statuses(results, {n: status for n, _, _, status in PLAYLIST_ENTRIES})
        first = results[0]
        check((first["tvg_id"], first["country"], first["group"]) == ("one.de", "DE", "News"), "extinf %r" % first)
        check([r["duplicate_of"] for r in results] == [None, None, None, 1, None, None], "duplicates %r" % results)
        check("1 duplicates checked once" in err and "F\u00fcnf" in out, "summary %r, out %r" % (err[-200:], out))
        for name, wanted in (("live.m3u", "live"), ("dead.m3u", "error")):
            with open(os.path.join(ctx.work, name), "rb") as f:
                got = f.read()
            kept = [entries[n] for n, _, _, status in PLAYLIST_ENTRIES if status == wanted]
            notes = re.findall(rb"# error {7}[^\r\n]*: HTTP 40[34] [^\r\n]*\r\n", got)
            check(len(notes) == (len(kept) if wanted == "error" else 0), "%s notes %r" % (name, notes))
            check(re.sub(rb"# error {7}[^\r\n]*\r\n", b"", got) == header + b"".join(kept), "%s %r" % (name, got))
    # On stdout the same bytes as in the file: no line end is changed on the way (Windows).
    rc, out, _ = ctx.run(["check", "-", "--user-agent", "Default-2", "--quiet", "--m3u", "-"], input=data)
    with open(os.path.join(ctx.work, "live.m3u"), "rb") as f:
        check(rc == 0 and out.encode() == f.read(), "--m3u - %r" % out)


def case_lists(ctx):
    """Lists say what they are: nothing to check (3), relative entries read against the final
    address, an HLS playlist as one stream, entries named, --dead with verdicts, --retry."""
    for name, text in (("empty.m3u", ""), ("header.m3u", "#EXTM3U\r\n"), ("notes.txt", "Dear reader,\nhello\n")):
        with open(os.path.join(ctx.work, name), "w") as f:
            f.write(text)
        rc, out, err = ctx.run(["check", name])
        check(rc == 3 and out == "" and "nothing to check in %s" % name in err, "%s: %d %r" % (name, rc, err))
    os.mkdir(os.path.join(ctx.media, "sub"))
    dead = b"#EXTINF:-1,Gone\r\n#EXTVLCOPT:http-referrer=http://portal/\r\n%s\r\n" % (ctx.base + "gone.ts").encode()
    with open(os.path.join(ctx.media, "sub", "list.m3u"), "wb") as f:  # entries: name, address
        f.write(b"#EXTM3U\r\n# error       an earlier verdict\r\n" + dead + b"../tv.ts\r\n#EXTINF:-1,Back\r\n"
                b"/_fail/2/radio.mp3\r\n#EXTINF:-1,Locked\r\n../_need/User-Agent=P/tv.ts\r\n")
    rc, out, err = ctx.run(["check", ctx.base + "_redirect/sub/list.m3u", "--retry", "2", "--user-agent", "Default-2",
                            "--json", "out.json", "--dead", "dead.m3u"])
    results = ctx.read_json("out.json")
    got = [(r["stream"], r["status"], r["tries"]) for r in results]
    check(rc == 0 and got == [(ctx.base + "gone.ts", "error", 3), (ctx.base + "tv.ts", "live", 1),
                              (ctx.base + "_fail/2/radio.mp3", "live", 3),
                              (ctx.base + "_need/User-Agent=P/tv.ts", "error", 3)], "%d %r %s" % (rc, got, err))
    check(("live        %stv.ts: mpegts" % ctx.base) in out, "an entry without a name: %r" % out)
    locked = results[3]["detail"]
    check("agent or referrer (sent agent \"Default-2\", no referrer)" in locked, "403: %r" % locked)
    with open(os.path.join(ctx.work, "dead.m3u"), "rb") as f:
        written = f.read()
    check(written == b"#EXTM3U\r\n# error       Gone: HTTP 404 Not Found\r\n" + dead + b"# error       Locked: " +
          locked.encode() + b"\r\n#EXTINF:-1,Locked\r\n" + (ctx.base + "_need/User-Agent=P/tv.ts\r\n").encode(),
          "dead.m3u %r" % written)
    rc, out, err = ctx.run(["check", ctx.base + "hls/index.m3u8"])
    check(rc == 0 and out.startswith("live        %shls/index.m3u8: hls" % ctx.base), "hls: %d %r %r" % (rc, out, err))


def case_pictures(ctx):
    """--pictures DIR: a JPEG per live entry with video named by position, stale ones removed,
    a link in their place replaced and never followed; a DIR that is no folder is refused."""
    pictures = os.path.join(ctx.work, "pics")
    os.mkdir(pictures)
    target = os.path.join(ctx.work, "target")
    open(target, "w").close()
    os.symlink(target, os.path.join(pictures, "1.jpg"))
    for stale in ("2.jpg", "4.jpg"):
        with open(os.path.join(pictures, stale), "w") as f:
            f.write("old")
    names = ["TV", "Radio", "../../<b>x</b>", "Gone"]
    paths = ["tv.ts", "radio.mp3", "tv.ts?again", "_status/404/gone.ts"]
    playlist = "#EXTM3U\n" + "".join("#EXTINF:-1,%s\n%s%s\n" % (n, ctx.base, p) for n, p in zip(names, paths))
    rc, _, err = ctx.run(["check", "-", "--quiet", "--pictures", pictures], input=playlist.encode())
    check(rc == 0, "exit code %d: %s" % (rc, err))
    check(sorted(os.listdir(pictures)) == ["1.jpg", "3.jpg"], "pictures %s" % os.listdir(pictures))
    with open(os.path.join(pictures, "1.jpg"), "rb") as f:
        check(f.read(2) == b"\xff\xd8" and os.path.getsize(target) == 0, "picture, target untouched")
    for refused in (os.path.join(ctx.work, "target"), "/dev/null"):
        rc, _, err = ctx.run(["check", "-", "--pictures", refused], input=playlist.encode())
        check(rc == 2 and "is not a folder" in err, "%s: %d %s" % (refused, rc, err))


def case_page_text(ctx):
    """Addresses and names in a channels.dat are HTML text: requested and exported decoded."""
    with open(os.path.join(ctx.media, "a&b.ts"), "wb") as f:
        with open(os.path.join(ctx.media, "tv.ts"), "rb") as ts:
            f.write(ts.read())
    original = ctx.write_list([("Tom &amp; Jerry", ctx.base + "a&amp;b.ts"), ("Dead &#233;", ctx.base + "x&#x2F;y"),
                               ("Kino FHD", ctx.base + "tv.ts?fhd"), ("Geo", ctx.base + "_status/451/tv.ts"),
                               ("Locked", ctx.base + "_status/401/tv.ts")])
    rc, _, err = ctx.run(["check", "--json", "out.json", "--m3u", "live.m3u", "--output", "live.dat",
                          "--dead", "dead.dat"])
    check(rc == 0, "exit code %d: %s" % (rc, err))
    results = ctx.read_json("out.json")
    check((results[0]["name"], results[0]["status"], results[0]["stream"]) ==
          ("Tom & Jerry", "live", ctx.base + "a&b.ts"), "decoded %r" % results[0])
    check(results[1]["name"] == "Dead \u00e9" and results[1]["stream"] == ctx.base + "x/y", "%r" % results[1])
    with open(os.path.join(ctx.work, "live.m3u"), encoding="utf-8") as f:
        check(f.read().split("\n")[1:3] == ['#EXTINF:-1 tvg-name="Tom & Jerry" tvg-country="Testland" '
                                            'group-title="News",Tom & Jerry', ctx.base + "a&b.ts"], "m3u")
    kino = results[2]
    check((kino["mislabeled"], kino["quality"], kino["fps"]) == ({"named": "FHD", "measured": "SD"}, "SD", 25),
          "label %r" % kino)
    check(results[3]["detail"].endswith("may be blocked in this region") and
          results[4]["detail"].endswith("needs credentials"), "4xx %r" % results[3:])
    rows = original.split(b"\r\n")
    for name, kept in (("live.dat", rows[0:1] + rows[2:3]), ("dead.dat", rows[1:2] + rows[3:5])):
        with open(os.path.join(ctx.work, name), "rb") as f:
            check(f.read() == b"".join(r + b"\r\n" for r in kept), "%s keeps the page's bytes" % name)


def case_foreign_bytes(ctx):
    """Wrappers that name an address of bytes that are not UTF-8: the outputs hold it as text,
    and nothing is left behind."""
    for name, text in (("bytes.m3u", "%stv.ts?\xff\n"), ("bytes.pls", "[playlist]\nFile1=%sradio.mp3?\xe9\n")):
        with open(os.path.join(ctx.media, name), "wb") as f:
            f.write((text % ctx.base).encode("latin-1"))
    data = ("#EXTM3U\n#EXTINF:-1,M3U\n%sbytes.m3u\n#EXTINF:-1,PLS\n%sbytes.pls\n" % (ctx.base, ctx.base)).encode()
    rc, _, err = ctx.run(["check", "-", "--json", "out.json", "--m3u", "live.m3u"], input=data)
    check(rc == 0, "exit code %d: %s" % (rc, err))
    played = [r["played"] for r in ctx.read_json("out.json")]
    check(played == [ctx.base + "tv.ts?\u00ff", ctx.base + "radio.mp3?\u00e9"], "played %r" % played)
    check(sorted(os.listdir(ctx.work)) == ["http.port", "live.m3u", "media", "out.json"], "%r" % os.listdir(ctx.work))


def case_ctrl_c(ctx):
    ctx.write_list([("stalled %d" % i, ctx.base + "_fault/hang/tv.ts?%d" % i) for i in range(20)])
    process = subprocess.Popen(ctx.program + ["check", "--timeout", "60", "--json", "out.json", "--output", "live.dat"],
                               cwd=ctx.work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(1.5)
    sent = time.time()
    process.send_signal(signal.SIGINT)
    try:
        rc = process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        raise Failure("still running 5 s after Ctrl-C")
    check(rc == 130, "exit code %d: %s" % (rc, process.stderr.read()))
    check(time.time() - sent < 3, "stopped only after %.1f s" % (time.time() - sent))
    for name in ("out.json", "live.dat"):
        check(not os.path.exists(os.path.join(ctx.work, name)), "%s was written" % name)


def case_lookup_inside_timeout(ctx):
    """A lookup that ends just inside --timeout leaves the probe what is left of it: the verdict
    comes within the time-out plus the grace (0.5 s), where a fresh time-out would double it."""
    if not ctx.stall_resolver:
        print("SKIP: no stalling resolver")
        return 77
    timeout = 6  # the lookup takes 5 s, and the media library's own lookup another 5 s
    ctx.write_list([("late", "http://late.%s/tv.ts" % STALLED_HOST)])
    rc, err, _, _ = ctx.run_measured(["check", "--timeout", str(timeout), "--json", "out.json"],
                                     ctx.stalled_resolver_env(ctx.stall_resolver))
    got = ctx.read_json("out.json")[0]
    check(rc == 0 and got["status"] == "unreachable", "exit code %d, %r: %s" % (rc, got, err))
    check(got["elapsed_ms"] <= timeout * 1000 + 500 + 300, "verdict after %d ms" % got["elapsed_ms"])


def case_left_behind(ctx):
    """Lookups that stall leave threads behind; they stay bounded while the check goes on."""
    if not ctx.stall_resolver:
        print("SKIP: no stalling resolver")
        return 77
    # main, the stop signals, workers, running and left-behind probes
    jobs, bound = 32, 2 + 32 + 32 + LEFT_BEHIND_THREADS
    ctx.write_list([("stalled %d" % i, "http://n%d.%s/tv.ts" % (i, STALLED_HOST)) for i in range(100)])
    with open(os.path.join(ctx.work, "stdout"), "wb") as out:
        process = subprocess.Popen(ctx.program + ["check", "--timeout", "1", "--jobs", str(jobs)], cwd=ctx.work,
                                   stdout=out, stderr=subprocess.DEVNULL, env=ctx.stalled_resolver_env(ctx.stall_resolver))
        most, ends = 0, time.time() + 4.5
        while time.time() < ends:
            with open("/proc/%d/status" % process.pid) as f:
                most = max(most, int(re.search(r"Threads:\s+(\d+)", f.read()).group(1)))
            time.sleep(0.05)
        process.terminate()
        rc = process.wait(5)
    with open(os.path.join(ctx.work, "stdout")) as f:
        lines = f.read().count("unreachable")
    check(rc == 143 and most <= bound and lines >= jobs // 2,
          "exit code %d, %d threads (at most %d), %d verdicts" % (rc, most, bound, lines))


def case_stop_while_writing(ctx):
    """Ctrl-C once the checks are done but before an output is in place writes nothing (130).
    The first output, --dead, is 40 MB, so that the stop comes while it is being written even on
    a loaded machine (an empty first output would be in place before the signal arrives)."""
    ctx.write_list([("row %d %s" % (i, "x" * 4000), "") for i in range(10000)])
    process = subprocess.Popen(ctx.program + ["check", "--jobs", "1", "--dead", "dead.dat", "--json", "out.json"],
                               cwd=ctx.work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    for line in iter(process.stderr.readline, b""):
        if line.startswith(b"live 0, "):  # the summary, printed right before the outputs
            process.send_signal(signal.SIGINT)
            break
    rc = process.wait(RUN_LIMIT)
    check(rc == 130, "exit code %d" % rc)
    check(sorted(os.listdir(ctx.work)) == ["channels.dat", "http.port", "media"], "%r" % os.listdir(ctx.work))


def case_closed_stdout(ctx):
    """check | head -1: the check ends at once with 141 and writes nothing."""
    ctx.write_list([("slow %d" % i, ctx.base + "_fault/delay/300/radio.mp3?%d" % i) for i in range(60)])
    process = subprocess.Popen(ctx.program + ["check", "--jobs", "1", "--json", "out.json"], cwd=ctx.work,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.readline()
    process.stdout.close()
    began = time.time()
    rc = process.wait(RUN_LIMIT)
    check(rc == 141 and time.time() - began < 5, "exit code %d after %.1f s: %r" % (rc, time.time() - began, process.stderr.read()[-300:]))
    check(not os.path.exists(os.path.join(ctx.work, "out.json")), "out.json was written")


def case_program_lookup(ctx):
    """morvek-check is run only from beside morvek-cli or (on Linux) its libexec folder, never
    from the working folder or PATH; a missing one says so with exit 4."""
    real = ctx.program[-1]
    exe = ".exe" if real.endswith(".exe") else ""
    built_check = os.path.join(os.path.dirname(real), "morvek-check" + exe)
    prefix = os.path.join(ctx.work, "prefix")
    os.makedirs(os.path.join(prefix, "bin"))
    cli = os.path.join(prefix, "bin", "morvek-cli" + exe)
    shutil.copy(real, cli)
    planted = os.path.join(ctx.work, "morvek-check" + exe)
    if exe:  # the real one: had it run, the check would not have ended with 4
        shutil.copy(built_check, planted)
    else:
        with open(planted, "w") as f:
            f.write("#!/bin/sh\ntouch planted-ran\n")
        os.chmod(planted, 0o755)
    env = dict(os.environ, PATH=ctx.work + os.pathsep + os.environ.get("PATH", ""))
    done = subprocess.run(ctx.program[:-1] + [cli, "check"], cwd=ctx.work, capture_output=True, env=env,
                          timeout=RUN_LIMIT)
    check(done.returncode == 4 and b"needs morvek-check, which is missing" in done.stderr,
          "rc %d, %r" % (done.returncode, done.stderr))
    check(not os.path.exists(os.path.join(ctx.work, "planted-ran")), "the planted program ran")
    installed = os.path.join(prefix, "bin") if exe else os.path.join(prefix, "libexec", "morvek")
    os.makedirs(installed, exist_ok=True)
    shutil.copy(built_check, installed)
    for args, says in ((["check", "--version"], b"morvek-cli "), (["-qV"], b"check: libavformat/")):
        done = subprocess.run(ctx.program[:-1] + [cli] + args, cwd=ctx.work, capture_output=True,
                              timeout=RUN_LIMIT)
        check(done.returncode == 0 and says in done.stdout, "installed, %r: %r" % (args, done))


def case_terminal_progress(ctx):
    """On a terminal the progress line is drawn again under the verdict lines that erased it."""
    ctx.write_list([("a", ctx.base + "radio.mp3"), ("b", ctx.base + "radio.mp3"),
                    ("stalled", ctx.base + "_fault/hang/tv.ts")])
    rc, shown = run_on_terminal(ctx.program + ["check", "--jobs", "3", "--timeout", "3"], ctx.work,
                                stdout_too=True, limit=RUN_LIMIT)
    text = shown.decode(errors="replace")
    between = text[text.index("Testland | b:"):text.index("Testland | stalled:")]
    check(rc == 0 and "\rChecked 2/3, live 2" in between, "rc %d, terminal %r" % (rc, text))


def case_many(ctx):
    data = ctx.write_list([("stream %d" % i, ctx.base + ("tv.ts" if i % 2 else "radio.mp3") + "?%d" % i) for i in range(200)],
                          "elsewhere.dat")
    rc, out, err = ctx.run(["check", "-", "--jobs", "16", "--per-host", "16", "--json", "out.json"], input=data)
    check(rc == 0, "exit code %d: %s" % (rc, err))
    check("live 200, no-media 0" in err, "summary %r" % err[-300:])
    check(out.count("\n") == 200, "%d verdict lines" % out.count("\n"))
    check(len(ctx.read_json("out.json")) == 200, "JSON rows")


def case_harvest_then_check(ctx):
    site = os.path.join(ctx.work, "site")
    channels = [{"channel": n, "homepage": "http://home/", "streams": [("m", url, "300")], "about": "News"}
                for n, url in (("TV", ctx.base + "tv.ts"), ("Gone", ctx.base + "gone.ts"))]
    write_site(site, [("Testland", "testland.htm", channels)])
    web, port = start_server("test_server.py", ctx.work, "site", "--root", site, "--quiet")
    check(web is not None, "site server did not start")
    ctx.servers.append(web)
    rc, out, err = ctx.run(["--site", "http://127.0.0.1:%s/" % port, "--check", "--check-json", "out.json",
                            "--check-jobs=2", "--check-timeout", "5"])
    check(rc == 0, "exit code %d: %s" % (rc, err))
    check(os.path.exists(os.path.join(ctx.work, "channels.dat")), "the harvest wrote no list")
    expect_statuses(ctx.read_json("out.json"), {"TV": "live", "Gone": "error"})


def case_hostile(ctx):
    """Hostile servers: every verdict comes within the time-out plus 1 s, the whole check stays
    small, only decoded frames make a stream live, and no RTSP session asks for UDP."""
    timeout = 2
    rtsp_base, setup_log = ctx.start_silent_rtsp()
    rows = ctx.hostile_rows(rtsp_base, ctx.stall_resolver)
    ctx.write_list([(n, a) for n, a, _, _ in rows])
    rc, err, _, peak_mb = ctx.run_measured(["check", "--timeout", str(timeout), "--jobs", "8", "--per-host", "8",
                                            "--json", "out.json"], ctx.stalled_resolver_env(ctx.stall_resolver))
    check(rc == 0, "exit code %d: %s" % (rc, err))
    by_name = {r["name"]: r for r in ctx.read_json("out.json")}
    faults = []
    for name, _, status, words in rows:
        got = by_name[name]
        if got["status"] != status:
            faults.append("%s: %s (%s), wanted %s" % (name, got["status"], got["detail"], status))
        elif words not in got["detail"]:
            faults.append("%s: detail %r lacks %r" % (name, got["detail"], words))
        if got["elapsed_ms"] > (timeout + 1) * 1000:
            faults.append("%s: verdict after %d ms" % (name, got["elapsed_ms"]))
    if peak_mb > PEAK_RSS_MB:
        faults.append("peak memory %.0f MB" % peak_mb)
    with open(setup_log) as f:
        transports = f.read().split()
    if not transports or any("TCP" not in t for t in transports):
        faults.append("RTSP transports asked for: %r" % transports)
    check(not faults, "; ".join(faults))


def case_options(ctx):
    data = ctx.write_list([("ts", ctx.base + "tv.ts")])
    for args in (["check", "--jobs", "0"], ["check", "--jobs", "65"], ["check", "--timeout", "ten"],
                 ["check", "--colour"], ["check", "a.dat", "b.dat"], ["check", "missing.dat"],
                 ["check", "--output", "channels.dat"], ["check", "--json"], ["--check-jobs", "4"],
                 ["--check", "--check-jobs", "x"], ["--check", "--check-output", "./channels.dat"],
                 ["check", "--output", "x", "--m3u", "x"], ["check", "--output", "-"],
                 ["check", "--json", "-", "--m3u=-"], ["check", "/dev/zero"],
                 ["--json", "x", "--check", "--check-json", "x"], ["--json", "-", "--check"],
                 ["--json", "-", "--check", "--check-json", "-"], ["--details", "--check"]):
        rc, out, err = ctx.run(args)
        check(rc == 2 and out == "" and err.count("\n") == 1 and err.startswith("morvek-cli: "),
              "%r: exit code %d, stderr %r" % (args, rc, err[:200]))
    for args, says in ((["check", "missing.dat"], "missing.dat: No such file or directory"),
                       (["check", "--json", "-", "--m3u", "-"], "--m3u and --json would both write"),
                       (["--json", "-", "--check"], "--json and the verdict lines would both write"),
                       (["check", "-v"], "check: unknown option -v (try"), (["check", "-j"], "--jobs needs a value (try"),
                       (["check", "--quiet=yes"], "--quiet takes no value (try"),
                       (["check", "--per-host=65"], "--per-host needs a number from 1 to 64 (try"),
                       (["check", "-t", "3601"], "--timeout needs a number of seconds from 1 to 3600 (try"),
                       (["check", "a.dat", "b.dat"], "unexpected argument b.dat (try"),
                       (["--check", "--check-per-host=0"], "--check-per-host needs a number from 1 to 64 (try"),
                       (["--check", "--check-retry=6"], "--check-retry needs a number from 0 to 5 (try")):
        rc, _, err = ctx.run(args)
        check(says in err, "%r: %r" % (args, err))
    # Standard output that is the file an output names: the verdict lines or the output would vanish.
    for args in (["check", "--json", "f"], ["--details", "--output", "f"]):
        with open(os.path.join(ctx.work, "f"), "wb") as f:
            done = subprocess.run(ctx.program + args, cwd=ctx.work, stdout=f, stderr=subprocess.PIPE, timeout=RUN_LIMIT)
        check(done.returncode == 2 and b"would both write to f, which is standard output" in done.stderr,
              "%r > f: %d %r" % (args, done.returncode, done.stderr))
    rc, out, err = ctx.run(["check", "-qolive.dat", "-j", "2", "--per-host=2", "-"], input=data)
    with open(os.path.join(ctx.work, "live.dat"), "rb") as f:
        live = f.read()
    check(rc == 0 and out.startswith("live ") and err == "" and live == data,
          "short options and stdin: %d %r %r" % (rc, out, err))
    for args in (["check", "-h"], ["check", "--help"], ["check", "--version"]):
        rc, out, _ = ctx.run(args)
        check(rc == 0 and ("Exit codes:" in out or out.startswith("morvek-cli ")), "%r: %d %r" % (args, rc, out))
    os.mkfifo(os.path.join(ctx.work, "fifo"))
    writer = subprocess.Popen(["sh", "-c", "cat channels.dat > fifo"], cwd=ctx.work)
    rc, out, err = ctx.run(["check", "-qj2", "-t", "5", "--", "fifo"])
    writer.wait(10)
    check(rc == 0 and out.startswith("live ") and err == "", "a pipe as the list, --quiet: %d %r %r" % (rc, out, err))
    # An output that cannot be written is refused before the first probe (the stream hangs).
    os.mkdir(os.path.join(ctx.work, "taken"))
    ctx.write_list([("slow", ctx.base + "_fault/hang/tv.ts")], "slow.dat")
    for args, says in ((["check", "slow.dat", "--output", "taken", "--json", "out.json"], "--output taken: is a folder"),
                       (["check", "slow.dat", "--json", "none/x.json"], "--json none/x.json: the folder does not exist"),
                       (["check", "slow.dat", "--dead", "/dev/zero"], "--dead /dev/zero: is a device"),
                       (["--site", ctx.base + "_fault/hang/", "--check", "--check-m3u", "none/x"],
                        "--check-m3u none/x: the folder does not exist")):
        began = time.monotonic()
        rc, _, err = ctx.run(args + ["--timeout", "30"] if args[0] == "check" else args)
        check(rc == 2 and says in err and err.count("\n") == 1 and time.monotonic() - began < 10,
              "%r: exit code %d, %r" % (args, rc, err))
    check(not os.path.exists(os.path.join(ctx.work, "out.json")), "an output written")


def run_case(cases, make_context, prefix, options=()):
    """Runs the case --case names, from cases (a script's globals), in a work folder of its own
    that it removes after, with the servers the context started; options are further options
    the script takes (their values "" by default). The exit code: 0 passed, 1 failed, or what
    the case returned (77: skipped)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", required=True)
    for option in options:
        parser.add_argument(option, default="")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    work = tempfile.mkdtemp(prefix=prefix)
    ctx = None
    try:
        ctx = make_context(program, work, args)
        status = cases["case_" + args.case](ctx) or 0
    except Failure as failure:
        print("FAIL %s: %s" % (args.case, failure))
        status = 1
    finally:
        for process in ctx.servers if ctx else []:
            process.terminate()
            process.wait(10)
        shutil.rmtree(work, ignore_errors=True)
    if status == 0:
        print("ok %s" % args.case)
    return status


def main():
    def context(program, work, args):
        ctx = Context(program, work)
        ctx.stall_resolver = args.stall_resolver
        return ctx
    return run_case(globals(), context, "morvek-check-", ["--stall-resolver"])


if __name__ == "__main__":
    sys.exit(main())
