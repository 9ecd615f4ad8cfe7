#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs morvek-cli against the test web server and checks exit codes, stderr texts and the
channel file. One case per call, so each shows as its own CTest test.

    cli_test.py --case NAME --fixture EXPECTED.dat --site-root DIR -- PROGRAM [ARGS...]

PROGRAM [ARGS...] starts morvek-cli (e.g. the Wine runner followed by morvek-cli.exe). The
script starts tests/server/test_server.py on a free 127.0.0.1 port for the case and stops it
afterwards. Every case runs in a fresh temporary working directory.
"""
import argparse
import html
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(os.path.dirname(HERE), "server", "test_server.py")
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "gui"))
import make_site  # noqa: E402
from terminal import run_on_terminal  # noqa: E402
RUN_LIMIT = 120  # seconds; Wine's first start in a fresh prefix is slow
STOP_LIMIT = 15  # seconds between the signal and the program's end
OLD_CONTENT = b"old list\r\n"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Server:
    def __init__(self, root, work):
        port_file = os.path.join(work, "server.port")
        self.process = subprocess.Popen(
            [sys.executable, SERVER, "--root", root, "--port-file", port_file, "--quiet"])
        deadline = time.time() + 10
        while not os.path.exists(port_file):
            check(time.time() < deadline and self.process.poll() is None, "server did not start")
            time.sleep(0.05)
        with open(port_file) as f:
            self.base = "http://127.0.0.1:%s/" % f.read().strip()

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


PROXY_VARIABLES = ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                   "ALL_PROXY", "no_proxy", "NO_PROXY")


def run(program, args, cwd, proxies=None):
    """Runs the program with the proxy variables given (none by default: the test servers
    are on 127.0.0.1)."""
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
    env.update(proxies or {})
    done = subprocess.run(program + args, cwd=cwd, capture_output=True, timeout=RUN_LIMIT, env=env)
    return done.returncode, done.stdout, done.stderr


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def last_line(data):
    lines = data.replace(b"\r", b"").strip(b"\n").split(b"\n")
    return lines[-1] if lines else b""


def expect_golden(work, fixture, rc, err):
    check(rc == 0, "exit code %d, stderr: %r" % (rc, err[-300:]))
    got = read_file(os.path.join(work, "channels.dat"))
    want = read_file(fixture)
    check(got == want, "channels.dat differs from %s (%d vs %d bytes)" % (fixture, len(got), len(want)))
    count = want.count(b"\r\n")
    check(last_line(err) == b"Channels found: %d DONE" % count, "last status %r" % last_line(err))


def case_golden(ctx):
    rc, _, err = run(ctx.program, ["--site", ctx.server.base], ctx.work)
    expect_golden(ctx.work, ctx.fixture, rc, err)


def case_site_without_slash(ctx):
    """The site without its slash, its index's folder or the index's address is the site."""
    for site in (ctx.server.base.rstrip("/"), ctx.server.base + "television", ctx.server.base + "television/tvbar.htm"):
        rc, _, err = run(ctx.program, ["--site=" + site, "-o", "/dev/null", "--json", "-"], ctx.work)
        check(rc == 0 and last_line(err) == b"Channels found: 232 DONE", "%s: rc %d, %r" % (site, rc, err[-300:]))
        note = b"morvek-cli: reading the site %s, the part of --site before television/\n" % ctx.server.base.encode()
        check(err.startswith(note) == ("television" in site), "%s: %r" % (site, err[:200]))


def case_details(ctx):
    rc, out, err = run(ctx.program, ["--site", ctx.server.base, "--details", "--output", "list.dat"],
                       ctx.work)
    check(rc == 0, "exit code %d" % rc)
    first = read_file(ctx.fixture).split(b"\r\n")[0].split(b"|")
    labels = [b"Country:    ", b"Channel:    ", b"Bitrate:    ", b"Category:   ",
              b"About:      ", b"Stream URL: ", b"Homepage:   "]
    block = b"".join(label + value + b"\n" for label, value in zip(labels, first)) + b"\n"
    out = out.replace(b"\r\n", b"\n")
    check(out.startswith(block), "first block %r" % out[:400])
    check(out.count(b"Country:    ") == read_file(ctx.fixture).count(b"\r\n"), "block count")
    check(read_file(os.path.join(ctx.work, "list.dat")) == read_file(ctx.fixture), "list.dat")


def case_quiet(ctx):
    """--quiet leaves only warnings: here the one of the sample's missing country page."""
    rc, out, err = run(ctx.program, ["--site", ctx.server.base, "--quiet"], ctx.work)
    missing = b"morvek-cli: warning: Atlantis: %stelevision/atlantis.htm: HTTP 404\n" % ctx.server.base.encode()
    check(rc == 0 and out == b"" and err == missing, "rc %d, out %r, err %r" % (rc, out[:80], err[:200]))
    rc, out, err = run(ctx.program, ["-qj2", "-t", "30", "-olist.dat", "--site=" + ctx.server.base, "--"],
                       ctx.work)
    check(rc == 0 and err == missing and read_file(os.path.join(ctx.work, "list.dat")) == read_file(ctx.fixture),
          "short options: rc %d, err %r" % (rc, err[:200]))


def write_site(ctx, pages):
    """A site of its own under the scratch folder: pages maps names below television/ to bytes."""
    root = os.path.join(ctx.scratch, "site")
    for name, data in pages.items():
        path = os.path.join(root, "television", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return root


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def case_nothing_found(ctx):
    """Every way to find nothing says why on the last line, warns of a failed page, exits 3."""
    base = ctx.server.base
    cases = [(base + "nowhere/", "the index page could not be read: HTTP 404", "HTTP 404"),
             (base + "_status/500/_empty/", "the index page could not be read: HTTP 500", "HTTP 500"),
             ("http://127.0.0.1:%d/" % free_port(),
              "the index page could not be read: connection refused", "connection refused"),
             ("file:///nonexistent/", "the index page could not be read: the file cannot be read",
              "the file cannot be read"),
             (base + "_fault/zero/0/", "the index page is empty", None)]
    for site, reason, warning in cases:
        rc, _, err = run(ctx.program, ["--site", site, "--quiet"], ctx.work)
        check(rc == 3 and last_line(err) == b"Channels found: 0 (%s)" % reason.encode(),
              "%s: rc %d, stderr %r" % (site, rc, err))
        said = b"morvek-cli: warning: index: %stelevision/tvbar.htm: %s\n" % (site.encode(), (warning or "").encode())
        check((said in err) == (warning is not None), "%s: stderr %r" % (site, err))
    ctx.restart_server(write_site(ctx, {
        "tvbar.htm": b'<a class="rb" href="gone.htm" target="c">GONE\n',
        "empty/television/tvbar.htm": b"no links\n"}))
    every_failed = "no country page could be read: 1 of 1 failed"
    for site, reason in ((ctx.server.base, every_failed),
                         ("file://%s/" % os.path.join(ctx.scratch, "site"), every_failed),
                         (ctx.server.base + "television/empty/", "the index page holds no country links")):
        rc, _, err = run(ctx.program, ["--site", site], ctx.work)
        check(rc == 3 and last_line(err) == b"Channels found: 0 (%s)" % reason.encode(),
              "%s: rc %d, stderr %r" % (site, rc, err))
        check((b"Reading Gone\n" in err) == (reason == every_failed), "%s: %r" % (site, err))
    check(os.listdir(ctx.work) == [], "left files %r" % os.listdir(ctx.work))


def case_page_reports(ctx):
    """A failed country page warns; --verbose adds a line per page."""
    missing = b"morvek-cli: warning: Atlantis: %stelevision/atlantis.htm: HTTP 404\n" % ctx.server.base.encode()
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--verbose"], ctx.work)
    lines = err.decode("utf-8").splitlines()
    check(rc == 0 and missing.decode().rstrip() in lines, "--verbose: rc %d, %r" % (rc, err))
    norway = [l for l in lines if l.startswith("Norway: ")]
    size = os.path.getsize(os.path.join(ctx.site_root, "television", "norway.htm"))
    check(norway == ["Norway: %stelevision/norway.htm: HTTP 200, %d bytes, 17 channels"
                     % (ctx.server.base, size)], "Norway's line %r" % norway)
    check(sum(" bytes" in l for l in lines) == 10, "page lines in %r" % lines)


def case_country(ctx):
    """--country reads only the countries named, in index order, as one run; an unknown name
    is refused with the nearest names; a country left out is never fetched (it would hang)."""
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--country", "usa", "--country", "usa (EAST)",
                                   "--country", "\u00f6STERREICH"], ctx.work)
    check(rc == 0, "exit code %d, stderr %r" % (rc, err))
    want = [r for r in fixture_rows(ctx) if r.split(b"|")[0] in (b"\xd6sterreich", b"USA")]
    check(read_file(os.path.join(ctx.work, "channels.dat")) == b"".join(r + b"\r\n" for r in want),
          "channels.dat is not the rows of those countries")
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--country", "Atlantys"], ctx.work)
    check(rc == 2 and err == b'morvek-cli: the index has no country "Atlantys"; nearest: ATLANTIS\n',
          "rc %d, %r" % (rc, err))
    for typed, says in (("uk", b"nearest: UNITED KINGDOM, USA, usa (east)\n"), ("Austria", b"--list-countries shows its countries\n")):
        rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--country", typed], ctx.work)
        check(rc == 2 and err.endswith(says), "%s: rc %d, %r" % (typed, rc, err))
    rc, out, err = run(ctx.program, ["--site", ctx.server.base, "--list-countries"], ctx.work)
    check(rc == 0 and out == "NORWAY\nfrance\n\u00d6STERREICH\nBrazil\nATLANTIS\nCANADA\nUNITED KINGDOM\n"
          "USA\nusa (east)\n".encode(), "--list-countries: rc %d, %r, %r" % (rc, out, err))
    for typed, rows in (("usa", 38), ("USA (east)", 41)):
        rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--country", typed, "-o", "us.dat"], ctx.work)
        got = read_file(os.path.join(ctx.work, "us.dat")).count(b"\r\n")
        check(rc == 0 and got == rows, "%s: rc %d, %d rows, %r" % (typed, rc, got, err[-200:]))
    ctx.restart_server(hanging_site(ctx))
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--country", "NORWAY", "--output",
                                   "norway.dat"], ctx.work)
    check(rc == 0 and last_line(err).endswith(b" DONE"), "rc %d, stderr %r" % (rc, err))
    norway = read_file(os.path.join(ctx.site_root, "television", "norway.htm"))
    index = b'<a class="rb" href="n1.htm" target="c">Norway\n<a class="rb" href="n2.htm" target="c">NORWAY\n'
    ctx.restart_server(write_site(ctx, {"tvbar.htm": index, "n1.htm": norway, "n2.htm": norway}))
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--country", "norway"], ctx.work)
    check(rc == 0 and b'morvek-cli: "norway" names 2 entries of the index; all are read\n' in err,
          "shared name: rc %d, %r" % (rc, err))


def case_save_failure(ctx):
    """An output that cannot be written is refused before the first request (the site hangs)
    with one line and exit 2; the null device as the channel file writes none."""
    os.mkdir(os.path.join(ctx.work, "channels.dat"))
    hang = ctx.server.base + "_fault/hang/"
    for args, says in (([], b"--output channels.dat: is a folder, not a regular file; left untouched"),
                       (["-o", "none/x.dat"], b"--output none/x.dat: the folder does not exist"),
                       (["-o", "x.dat", "--m3u", "none/x.m3u"], b"--m3u none/x.m3u: the folder does not exist"),
                       (["-o", "x.dat", "--json", "/dev/zero"], b"--json /dev/zero: is a device")):
        began = time.monotonic()
        rc, _, err = run(ctx.program, ["--site", hang, "--timeout", "30"] + args, ctx.work)
        check(rc == 2 and err.startswith(b"morvek-cli: " + says) and err.count(b"\n") == 1 and
              time.monotonic() - began < 10, "%r: rc %d, %r" % (args, rc, err))
    check(os.listdir(ctx.work) == ["channels.dat"], "files written: %r" % os.listdir(ctx.work))
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "-o", "/dev/null", "--json", "tv.json",
                                   "--m3u", "/dev/null"], ctx.work)
    check(rc == 0 and last_line(err) == b"Channels found: 232 DONE", "null device: rc %d, %r" % (rc, err[-200:]))
    check(sorted(os.listdir(ctx.work)) == ["channels.dat", "tv.json"], "files %r" % os.listdir(ctx.work))


def case_closed_stdout(ctx):
    """--details | head: the run stops quietly when stdout's reader is gone, writing nothing."""
    process = subprocess.Popen(ctx.program + ["--site", ctx.server.base, "--details"],
                               cwd=ctx.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()  # as head does once it has its lines
    err = process.stderr.read()
    rc = process.wait(RUN_LIMIT)
    check(rc == 141, "exit code %d, stderr %r" % (rc, err))
    check(b"Channels found" not in err and b"rror" not in err, "stderr %r" % err)
    check(os.listdir(ctx.work) == [], "left files %r" % os.listdir(ctx.work))


def case_silent_server(ctx):
    """A silent server ends the page after the timeout, a trickling one at 10 timeouts."""
    for fault, least, most in (("hang", 0, 30), ("trickle/300", 9, 45)):
        began = time.monotonic()
        rc, _, err = run(ctx.program, ["--site", ctx.server.base + "_fault/%s/" % fault,
                                       "--timeout", "1"], ctx.work)
        took = time.monotonic() - began
        check(rc == 3 and last_line(err).startswith(b"Channels found: 0 ("),
              "%s: rc %d, stderr %r" % (fault, rc, err))
        check(least <= took < most, "%s: the index page took %.1f s" % (fault, took))


def case_hostile_pages(ctx):
    """A page of nothing but line feeds and an endless line each end, the endless one at the
    page limit with a warning, and the run goes on to the next country."""
    norway = make_site.country_page("Norway", [{"channel": "N1", "homepage": "http://n.test/",
                                                "streams": [("m", "mms://n.test/1", 300)], "about": "News."}])
    links = (("../_fill/10/10000000", "Feeds"), ("../_fill/120/endless", "Endless"), ("norway.htm", "Norway"))
    index = "".join(make_site.index_line(target, name) + "\n" for target, name in links)
    ctx.restart_server(write_site(ctx, {"tvbar.htm": index.encode(), "norway.htm": norway.encode()}))
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--timeout", "20"], ctx.work)
    check(rc == 0 and last_line(err) == b"Channels found: 1 DONE", "rc %d, stderr %r" % (rc, err[-300:]))
    warnings = [line for line in err.split(b"\n") if line.startswith(b"morvek-cli: warning: ")]
    check(len(warnings) == 1 and warnings[0].startswith(b"morvek-cli: warning: Endless: ") and
          warnings[0].endswith(b"_fill/120/endless: page limit of 64 MiB reached"), "warnings %r" % warnings)
    check(b"|N1|" in read_file(os.path.join(ctx.work, "channels.dat")), "channels.dat")


def case_out_of_memory(ctx):
    """A failed allocation ends the run with a line and exit 1, the old list as it was."""
    if b"libasan" in subprocess.run(["ldd", ctx.program[-1]], capture_output=True).stdout:
        return  # a sanitizer reserves more address space than the limit allows
    ctx.restart_server(write_site(ctx, {"tvbar.htm": make_site.index_line("../_fill/10/endless", "Endless").encode()}))
    with open(os.path.join(ctx.work, "channels.dat"), "wb") as f:
        f.write(OLD_CONTENT)
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (200 << 20, 200 << 20))
    done = subprocess.run(ctx.program + ["--site", ctx.server.base], cwd=ctx.work, capture_output=True,
                          timeout=RUN_LIMIT, preexec_fn=limit)
    check(done.returncode == 1 and b"morvek-cli: cannot allocate memory" in done.stderr,
          "rc %d, %r" % (done.returncode, done.stderr[-300:]))
    check(os.listdir(ctx.work) == ["channels.dat"] and read_file(os.path.join(ctx.work, "channels.dat")) == OLD_CONTENT,
          "left %r" % os.listdir(ctx.work))


def case_bad_option(ctx):
    os.mkdir(os.path.join(ctx.work, "sub"))
    os.symlink("real.dat", os.path.join(ctx.work, "link.dat"))
    open(os.path.join(ctx.work, "real.dat"), "wb").close()
    for args, says in ((["--colour"], b"unknown option --colour"), (["--site"], b"--site needs"),
                       (["--output="], b"--output needs"), (["extra"], b"unexpected argument"),
                       (["--quiet", "--verbose"], b"exclude"),
                       (["--details", "--json", "-"], b"--details and --json would both write to standard output"),
                       (["--m3u=-", "--json", "-"], b"--m3u and --json would both write"),
                       (["--json", "channels.dat"], b"--output and --json name the same file"),
                       (["--m3u", "./sub/../x", "--json", "x"], b"--m3u and --json name the same file"),
                       (["--output", "link.dat", "--m3u", "real.dat"], b"--output and --m3u name the same"),
                       (["--jobs", "0"], b"--jobs"), (["--jobs=17"], b"--jobs"), (["-j17"], b"--jobs"),
                       (["-qv"], b"exclude"), (["-o"], b"--output needs"), (["--", "-q"], b"unexpected argument -q"), (["--jobs", "4x"], b"--jobs"),
                       (["--timeout", "0"], b"--timeout"), (["--timeout=1.5"], b"--timeout"),
                       (["--timeout"], b"--timeout needs"), (["-qx"], b"unknown option -x"),
                       (["--quiet=1"], b"--quiet takes no value"), (["-j"], b"--jobs needs a value"),
                       (["-"], b"unexpected argument -"), (["--country="], b"--country needs a value"),
                       (["--check-jobs", "4"], b"--check-jobs needs --check"),
                       (["chek"], b"unknown command chek; did you mean check?"),
                       (["serv"], b"unknown command serv; did you mean serve?"),
                       (["--sit", "x"], b"unknown option --sit; did you mean --site?"),
                       (["--check", "--check-timout=1"], b"did you mean --check-timeout?"),
                       (["--check", "--check-help"], b"unknown option --check-help")):
        rc, out, err = run(ctx.program, args, ctx.work)
        check(rc == 2 and out == b"" and err.count(b"\n") == 1, "%r: rc %d, err %r" % (args, rc, err))
        check(says in err and err.rstrip().endswith(b"(try --help)"), "%r: %r" % (args, err))
    rc, _, err = run(ctx.program, ["--check-jobs", "0", "--check"], ctx.work)  # any order
    check(rc == 2 and b"--check-jobs needs a number" in err, "--check-jobs before --check: %r" % err)
    for flag in ("--help", "-h"):
        rc, out, _ = run(ctx.program, [flag], ctx.work)
        check(rc == 0 and b"Usage:" in out and b"Exit codes:" in out and b"  4 " in out and
              b"  129 " in out, flag)
        check((b"--proxy" in out) != ctx.windows, "%s: the proxy options of this build" % flag)
    for flag in ("--version", "-V"):
        rc, out, _ = run(ctx.program, [flag], ctx.work)
        check(rc == 0 and out.startswith(b"morvek-cli "), "%s: rc %d" % (flag, rc))


def case_proxy(ctx):
    """The environment's proxy and --proxy reach a host only the proxy knows; no_proxy,
    --noproxy and an upper-case HTTP_PROXY leave the test server reached directly."""
    proxy, dead = ctx.server.base, "http://127.0.0.1:1/"
    hidden, direct = "http://proxied.invalid/", ctx.server.base
    if ctx.windows:
        rc, _, err = run(ctx.program, ["--proxy", proxy], ctx.work)
        check(rc == 2 and b"not available in the Windows build" in err, "rc %d, %r" % (rc, err))
        return
    table = (({"http_proxy": proxy}, ["--site", hidden], 0),
             ({}, ["--proxy", proxy, "--site", hidden], 0),
             ({"http_proxy": proxy}, ["--proxy", dead, "--site", hidden], 3),
             ({"http_proxy": dead}, ["--site", direct], 3),
             ({"http_proxy": dead, "no_proxy": "127.0.0.1"}, ["--site", direct], 0),
             ({"http_proxy": dead}, ["--noproxy", "127.0.0.1", "--site", direct], 0),
             ({"HTTP_PROXY": dead}, ["--site", direct], 0))
    for variables, args, want in table:
        if os.path.exists(os.path.join(ctx.work, "channels.dat")):
            os.remove(os.path.join(ctx.work, "channels.dat"))
        rc, _, err = run(ctx.program, args, ctx.work, variables)
        check(rc == want, "%r %r: rc %d, stderr %r" % (variables, args, rc, err[-200:]))
        failed_proxy = b"tvbar.htm: the proxy 127.0.0.1:1: connection refused\n" in err
        check(failed_proxy == (want == 3 and dead in str(variables) + str(args)), "%r %r: %r" % (variables, args, err))
        if want == 0:
            expect_golden(ctx.work, ctx.fixture, rc, err)


def case_unusual_targets(ctx):
    """A pipe or a device as the channel file is refused at once, before any page is fetched
    (the site hangs); an old list above the size read is not compared, and is replaced."""
    os.mkfifo(os.path.join(ctx.work, "fifo"))
    hang = ctx.server.base + "_fault/hang/"
    for target, reason in (("fifo", b"is a named pipe"), ("/dev/zero", b"is a device")):
        rc, _, err = run(ctx.program, ["--site", hang, "--output", target, "--timeout", "30"], ctx.work)
        check(rc == 2 and err == b"morvek-cli: --output %s: %s, not a regular file; left untouched\n"
              % (target.encode(), reason), "%s: rc %d, %r" % (target, rc, err))
    with open(os.path.join(ctx.work, "big.dat"), "wb") as f:
        f.truncate((256 << 20) + 1)
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--output", "big.dat"], ctx.work)
    check(rc == 0 and last_line(err).endswith(b" DONE"), "big old list: rc %d, %r" % (rc, last_line(err)))
    check(read_file(os.path.join(ctx.work, "big.dat")) == read_file(ctx.fixture), "big.dat not replaced")


def case_failed_stdout(ctx):
    """stdout that fails (a full disk) says what could not be written, and the run exits 1."""
    for args, what in ((["--json", "-"], b"the JSON list (--json)"), (["--details"], b"the channel blocks")):
        with open("/dev/full", "wb") as full:
            done = subprocess.run(ctx.program + ["--site", ctx.server.base, "--output", "x.dat"] + args,
                                  cwd=ctx.work, stdout=full, stderr=subprocess.PIPE, timeout=RUN_LIMIT)
        said = b"morvek-cli: cannot write %s to standard output: No space left on device\n" % what
        check(done.returncode == 1 and said in done.stderr and b"DONE" not in done.stderr,
              "%r: rc %d, %r" % (args, done.returncode, done.stderr[-300:]))


def case_hangup_during_save(ctx):
    """SIGHUP while the list is saved lets the save complete: the whole new list, no temporary
    file, exit 129. Every thread holds the signal back; one thread takes it."""
    ctx.restart_server(generated_site(ctx, 50000))
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--output", "ref.dat", "--quiet"], ctx.work)
    check(rc == 0, "reference run: rc %d, %r" % (rc, err[-300:]))
    new = read_file(os.path.join(ctx.work, "ref.dat"))
    os.remove(os.path.join(ctx.work, "ref.dat"))
    for _ in range(3):
        with open(os.path.join(ctx.work, "channels.dat"), "wb") as f:
            f.write(OLD_CONTENT * 100000)
        process = subprocess.Popen(ctx.program + ["--site", ctx.server.base, "--quiet"], cwd=ctx.work,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        saving = False
        while process.poll() is None and not saving:
            saving = any(".tmp-" in name for name in os.listdir(ctx.work))
        if saving:
            process.send_signal(signal.SIGHUP)
        rc = process.wait(STOP_LIMIT)
        if not saving:
            continue
        check(rc == 129, "exit code %d, %r" % (rc, process.stderr.read()))
        check(os.listdir(ctx.work) == ["channels.dat"], "left files %r" % os.listdir(ctx.work))
        check(read_file(os.path.join(ctx.work, "channels.dat")) == new, "the saved list is not whole")
        return
    raise Failure("never saw the save under way")


def fixture_rows(ctx):
    return read_file(ctx.fixture).split(b"\r\n")[:-1]


def case_exports(ctx):
    """Playlist and JSON beside the channel file, and what changed against the old list."""
    rows = fixture_rows(ctx)
    with open(os.path.join(ctx.work, "channels.dat"), "wb") as f:
        f.write(b"\r\n".join(rows[1:] + [b"gone|row||||x|", b"gone|row||||x|"]) + b"\r\n")
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--m3u", "list.m3u",
                                   "--json", "list.json"], ctx.work)
    check(rc == 0, "exit code %d, stderr %r" % (rc, err[-300:]))
    want = b"Channels found: %d DONE (1 new, 2 gone)" % len(rows)
    check(last_line(err) == want, "last status %r" % last_line(err))
    fields = [row.decode("cp1252").split("|") for row in rows]
    objects = json.loads(read_file(os.path.join(ctx.work, "list.json")).decode("utf-8"))
    keys = ["country", "name", "bitrate", "kbps", "category", "about", "stream", "homepage"]
    want = [[html.unescape(v) for v in f[:3]] + [int(f[2]) if f[2].isdigit() else None] +
            [html.unescape(v) for v in f[3:]] for f in fields]
    check(objects == [dict(zip(keys, f)) for f in want], "list.json differs from the rows")
    playlist = read_file(os.path.join(ctx.work, "list.m3u")).decode("utf-8").split("\n")
    check(playlist[0] == "#EXTM3U" and playlist[2::2] == [f[5] for f in fields if f[5]],
          "list.m3u streams differ: %r" % playlist[:5])
    check(playlist[1].endswith("," + fields[0][1]), "first entry %r" % playlist[1])
    rc, out, _ = run(ctx.program, ["--site", ctx.server.base, "--quiet", "--json", "-"], ctx.work)
    check(rc == 0 and json.loads(out.decode("utf-8")) == objects, "--json - rc %d" % rc)


def case_playlist_in_player(ctx):
    """mpv, run headless, lists every entry of the playlist in order, with its title."""
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--m3u", "list.m3u"], ctx.work)
    check(rc == 0, "exit code %d, stderr %r" % (rc, err[-300:]))
    done = subprocess.run(["mpv", "--no-config", "--vo=null", "--ao=null", "--idle=no", "--ytdl=no",
                           "--osc=no", "--msg-level=all=no,list_playlist=info",
                           "--script=" + os.path.join(HERE, "list_playlist.lua"),
                           "--playlist=list.m3u"], cwd=ctx.work, capture_output=True,
                          timeout=RUN_LIMIT)
    listed = [line.split("\t")[1:] for line in done.stdout.decode("utf-8").splitlines()
              if "entry\t" in line]
    want = [[f[1], f[5]] for f in (row.decode("cp1252").split("|") for row in fixture_rows(ctx))
            if f[5]]
    check(done.returncode == 0 and len(want) > 200, "mpv rc %d: %r" % (done.returncode, done.stderr))
    check([[title, address.rstrip()] for title, address in listed] == want,
          "mpv lists %d entries, first %r" % (len(listed), listed[:2]))


def case_utf8(ctx):
    """Windows-1252 page text reaches stdout and stderr as UTF-8, control bytes replaced."""
    root = write_site(ctx, {
        "tvbar.htm": b'<a class="rb" href="e.htm" target="c">\xd6STER\x1b[2JREICH\n',
        "e.htm": b'<tr><td class="name" valign="top"><span class="c" id="e1"><b><a href="http://h/" '
                 b'target="_blank">M\xfcnster \x1b]0;x\x07Eins\x9d</a></b></span>\n'
                 b"<a class=\"m\" href=\"javascript:w('2','mms://s/a','e1')\">300K</a> <b>\n"
                 b' </td><td class="q"><img src="q1.gif" alt="quality"></td><td class="t">LIVE</td>'
                 b'<td class="a">News.</td></tr>\n'})
    ctx.restart_server(root)
    rc, out, err = run(ctx.program, ["--site", ctx.server.base, "--details"], ctx.work)
    check(rc == 0, "exit code %d, stderr %r" % (rc, err))
    for name, data in (("stdout", out), ("stderr", err)):
        check(b"\x1b" not in data and b"\x07" not in data and b"\xc2\x9d" not in data,
              "%s lets a control byte through: %r" % (name, data))
        data.decode("utf-8")
    check("\u00d6ster\ufffd[2jreich" in err.decode("utf-8"), "stderr %r" % err)
    check("M\u00fcnster \ufffd]0;x\ufffdEins\ufffd" in out.decode("utf-8"), "stdout %r" % out)


def case_html_text(ctx):
    """Page text is HTML: the playlist, the JSON and the details hold it decoded, as the check
    requests it; channels.dat keeps the page's bytes."""
    name, stream = 'Aurora &amp; Screen &quot;HD&quot;', "http://127.0.0.1:1/live.ts?a=1&amp;b=2"
    page = read_file(os.path.join(ctx.site_root, "television", "norway.htm")).replace(b"Aurora Screen", name.encode())
    page = page.replace(b"mms://media.aurora-screen.example.com/live0", stream.encode())
    ctx.restart_server(write_site(ctx, {"tvbar.htm": b'<a class="rb" href="n.htm" target="c">NORWAY\n', "n.htm": page}))
    rc, out, _ = run(ctx.program, ["--site", ctx.server.base, "--details", "--json", "j", "--m3u", "m"], ctx.work)
    name, stream = html.unescape(name), html.unescape(stream)
    first = json.loads(read_file(os.path.join(ctx.work, "j")))[0]
    check(rc == 0 and b"&amp;" in read_file(os.path.join(ctx.work, "channels.dat")) and
          (first["name"], first["stream"], first["kbps"]) == (name, stream, 700) and
          read_file(os.path.join(ctx.work, "m")).decode().split("\n")[2] == stream and
          ("Channel:    %s\nBitrate:" % name).encode() in out, "rc %d, %r, %r" % (rc, first, out[:300]))


def case_separator_in_field(ctx):
    """A "|" in a field leaves seven fields: %7C in addresses, the broken bar in texts; the
    exports and the check of the records in memory read the same fields as the file."""
    root = write_site(ctx, {
        "tvbar.htm": b'<a class="rb" href="e.htm" target="c">A|B\n',
        "e.htm": b'<tr><td class="name" valign="top"><span class="c" id="e1"><b><a href="http://h/a|b" '
                 b'target="_blank">One|Two</a></b></span>\n'
                 b"<a class=\"m\" href=\"javascript:w('2','http://127.0.0.1:9/s|t','e1')\">300K</a> <b>\n"
                 b' </td><td class="q"><img src="q1.gif" alt="quality"></td><td class="t">LIVE</td>'
                 b'<td class="a">News | more.</td></tr>\n'})
    ctx.restart_server(root)
    rc, _, err = run(ctx.program, ["--site", ctx.server.base, "--json", "list.json", "--check",
                                   "--check-json", "memory.json"], ctx.work)
    row = read_file(os.path.join(ctx.work, "channels.dat"))
    want = b"A\xa6b|One\xa6Two|300|News|News \xa6 more|http://127.0.0.1:9/s%7Ct|http://h/a%7Cb\r\n"
    check(row == want, "rc %d, row %r, stderr %r" % (rc, row, err[-300:]))
    exported = json.loads(read_file(os.path.join(ctx.work, "list.json")))[0]
    check(exported["name"] == "One\u00a6Two" and exported["stream"].endswith("%7Ct"), "json %r" % exported)
    run(ctx.program, ["check", "channels.dat", "--json", "file.json"], ctx.work)
    verdicts = [[{k: v for k, v in o.items() if k != "elapsed_ms"} for o in
                 json.loads(read_file(os.path.join(ctx.work, name)))] for name in ("memory.json", "file.json")]
    check(verdicts[0] == verdicts[1] and len(verdicts[0]) == 1, "verdicts %r" % verdicts)


def on_terminal(ctx, columns):
    """Runs a harvest with stderr on a terminal of the given width; what the terminal got."""
    rc, shown = run_on_terminal(ctx.program + ["--site", ctx.server.base], ctx.work, columns, limit=RUN_LIMIT)
    check(rc == 0, "exit code %d, terminal %r" % (rc, shown[-300:]))
    return shown


def case_live_line(ctx):
    """The live line never reaches the terminal's last column; its bar counts countries."""
    shown = on_terminal(ctx, 40)
    pieces = shown.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")
    widest = max(len(p.decode("utf-8")) for p in pieces if p.startswith(b"Channels found: "))
    check(widest <= 39, "a live line of %d columns: %r" % (widest, shown[:400]))
    shown = on_terminal(ctx, 100)
    check(b"] 2/9 \xc3\x96sterreich" in shown and b"] 9/9 " in shown, "terminal %r" % shown)


def expect_same_for_every_job_count(ctx, base):
    """Harvests base with --jobs 1, 4 and 16; the channel file, stdout and stderr must agree."""
    results = []
    for jobs in ("1", "4", "16"):
        out_file = "jobs%s.dat" % jobs
        rc, out, err = run(ctx.program, ["--site", base, "--details", "--jobs", jobs,
                                         "--output", out_file], ctx.work)
        check(rc == 0, "--jobs %s: exit code %d, stderr %r" % (jobs, rc, err[-300:]))
        results.append((read_file(os.path.join(ctx.work, out_file)), out, err))
    for jobs, result in zip(("4", "16"), results[1:]):
        for what, got, want in zip(("channel file", "stdout", "stderr"), result, results[0]):
            check(got == want, "--jobs %s: %s differs from --jobs 1 (%d vs %d bytes)"
                  % (jobs, what, len(got), len(want)))
    return results[0]


def case_jobs_agree_sample(ctx):
    file, _, _ = expect_same_for_every_job_count(ctx, ctx.server.base)
    check(file == read_file(ctx.fixture), "channels differ from %s" % ctx.fixture)


def generated_site(ctx, channels):
    """A generated directory of 100 channels per page in which some pages end inside a line,
    some end after a stream line whose about line opens the next page, and one link leads to
    a page that the server breaks off half-way."""
    countries = make_site.generated_countries(channels, 100)
    pages = [make_site.country_page(name, rows) for name, _, rows in countries]
    for i in range(3, len(pages) - 1, 10):
        tail = pages[i].rindex("</table>")
        about = pages[i].rindex(" </td>", 0, tail)
        if i % 20 == 3:  # the about line opens the next page
            pages[i + 1] = pages[i][about:tail] + pages[i + 1]
            pages[i] = pages[i][:about]
        else:  # the page ends in the middle of the last stream line
            cut = pages[i].rindex("<a class=", 0, about) + 20
            pages[i + 1] = pages[i][cut:tail] + pages[i + 1]
            pages[i] = pages[i][:cut]
    root = os.path.join(ctx.scratch, "generated")
    tv = os.path.join(root, "television")
    os.makedirs(tv)
    index = ["<html><body>"]
    for (name, page, _), text in zip(countries, pages):
        with open(os.path.join(tv, page), "wb") as f:
            f.write(text.encode("latin-1"))
        broken = page == countries[len(countries) // 2][1]
        index.append(make_site.index_line("../_fault/close/television/" + page if broken else page, name))
    with open(os.path.join(tv, "tvbar.htm"), "wb") as f:
        f.write(("\n".join(index + ["</body></html>"]) + "\n").encode("latin-1"))
    return root


def case_jobs_agree_generated(ctx):
    ctx.restart_server(generated_site(ctx, 20000))
    file, _, err = expect_same_for_every_job_count(ctx, ctx.server.base)
    count = file.count(b"\r\n")
    check(19900 <= count < 20000, "%d channels" % count)  # half a page is lost
    check(last_line(err) == b"Channels found: %d DONE" % count, "last status %r" % last_line(err))


def stop_while_fetching(ctx, site, signal_number, wait_for, extra=()):
    """Starts a harvest, sends the signal once wait_for shows on stderr (or at once), and
    checks that the old channel file stays as it was."""
    old = os.path.join(ctx.work, "channels.dat")
    with open(old, "wb") as f:
        f.write(OLD_CONTENT)
    process = subprocess.Popen(ctx.program + ["--site", site] + list(extra), cwd=ctx.work,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = bytearray()
    seen = threading.Event()

    def pump():
        for line in iter(process.stderr.readline, b""):
            err.extend(line)
            if wait_for is None or wait_for in line:
                seen.set()

    reader = threading.Thread(target=pump, daemon=True)
    reader.start()
    if wait_for is not None:
        check(seen.wait(RUN_LIMIT), "never saw %r; stderr %r" % (wait_for, bytes(err)))
    time.sleep(1.0)  # the next fetch is now under way and hangs
    check(process.poll() is None, "ended before the signal: %r" % bytes(err))
    sent = time.time()
    process.send_signal(signal_number)
    try:
        rc = process.wait(STOP_LIMIT)
    except subprocess.TimeoutExpired:
        process.kill()
        raise Failure("still running %d s after the signal" % STOP_LIMIT)
    reader.join(5)
    took = time.time() - sent
    check(read_file(old) == OLD_CONTENT, "the old channel file was changed")
    check(sorted(os.listdir(ctx.work)) == ["channels.dat"], "left files %r" % os.listdir(ctx.work))
    return rc, bytes(err), took


def hanging_site(ctx):
    """A site whose index links one good country and then one whose page never comes."""
    root = os.path.join(ctx.scratch, "site")
    os.makedirs(os.path.join(root, "television"))
    shutil.copy(os.path.join(ctx.site_root, "television", "norway.htm"),
                os.path.join(root, "television", "norway.htm"))
    with open(os.path.join(root, "television", "tvbar.htm"), "w") as f:
        f.write('<a class="rb" href="norway.htm" target="c">NORWAY\n')
        # Fetched ahead together: all of them are in flight at the stop.
        for n in range(3):
            f.write('<a class="rb" href="../_fault/hang/television/norway.htm" target="c">SLOW%d\n' % n)
    return root


def case_sigint_during_country_page(ctx):
    ctx.restart_server(hanging_site(ctx))
    rc, err, took = stop_while_fetching(ctx, ctx.server.base, signal.SIGINT, b"Reading Norway",
                                        ["--jobs", "16"])
    check(rc == 130, "exit code %d, stderr %r" % (rc, err))
    check(b"warning" not in err, "a stopped page shown as failed: %r" % err)  # pages in flight
    count = read_file(os.path.join(ctx.site_root, "television", "norway.htm")).count(b'class="a"')
    check(count > 0, "no channel row in the Norway page")
    # Norway's channels were found, but a stopped run saves none of them.
    check(last_line(err).startswith(b"Channels found: ") and last_line(err).endswith(b" ABORTED"),
          "last status %r" % last_line(err))
    check(took < 5, "took %.1f s to stop" % took)


def case_sigint_before_many_links(ctx):
    """A stop ends the walk of the index at once: the links left, whose fetches the stop ends
    at once, are not announced."""
    links = 100000
    index = "".join(make_site.index_line("gone%d.htm" % n, "Gone%d" % n) + "\n" for n in range(links))
    ctx.restart_server(write_site(ctx, {"tvbar.htm": index.encode()}))
    rc, err, took = stop_while_fetching(ctx, ctx.server.base, signal.SIGINT, b"Reading Gone20\n")
    announced = err.count(b"Reading ")
    check(rc == 130 and announced < links // 2 and took < 5,
          "rc %d after %.1f s, %d of %d countries announced" % (rc, took, announced, links))


def case_sigterm_during_index_page(ctx):
    rc, err, _ = stop_while_fetching(ctx, ctx.server.base + "_fault/hang/", signal.SIGTERM, None)
    check(rc == 143, "exit code %d, stderr %r" % (rc, err))
    check(last_line(err) == b"Channels found: 0 ABORTED", "last status %r" % last_line(err))


CASES = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}


class Context:
    def __init__(self, options, scratch):
        self.program = options.program
        self.windows = options.program[-1].endswith(".exe")
        self.fixture = os.path.abspath(options.fixture)
        self.site_root = os.path.abspath(options.site_root)
        self.scratch = scratch
        self.work = os.path.join(scratch, "work")
        os.mkdir(self.work)
        self.server = Server(self.site_root, scratch)

    def restart_server(self, root):
        self.server.stop()
        self.server = Server(root, self.scratch)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", required=True, choices=sorted(CASES))
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--site-root", required=True)
    parser.add_argument("program", nargs="+")
    options = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="morvek-cli-")
    ctx = None
    try:
        ctx = Context(options, scratch)
        CASES[options.case](ctx)
    except Failure as failure:
        print("FAIL %s: %s" % (options.case, failure))
        return 1
    finally:
        if ctx is not None:
            ctx.server.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    print("PASS %s" % options.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
