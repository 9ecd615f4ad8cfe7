#!/usr/bin/env python3
"""Runs morvek-cli against the test web server and checks exit codes, stderr texts and the
channel file. One case per call, so each shows as its own CTest test.

    cli_test.py --case NAME --fixture EXPECTED.dat --site-root DIR -- PROGRAM [ARGS...]

PROGRAM [ARGS...] starts morvek-cli (e.g. the Wine runner followed by morvek-cli.exe). The
script starts tests/server/test_server.py on a free 127.0.0.1 port for the case and stops it
afterwards. Every case runs in a fresh temporary working directory.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(os.path.dirname(HERE), "server", "test_server.py")
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "gui"))
import make_site  # noqa: E402
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


def run(program, args, cwd):
    done = subprocess.run(program + args, cwd=cwd, capture_output=True, timeout=RUN_LIMIT)
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
    rc, _, err = run(ctx.program, ["--site=" + ctx.server.base.rstrip("/")], ctx.work)
    expect_golden(ctx.work, ctx.fixture, rc, err)


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
    rc, out, err = run(ctx.program, ["--site", ctx.server.base, "--quiet"], ctx.work)
    check(rc == 0 and out == b"" and err == b"", "rc %d, out %r, err %r" % (rc, out[:80], err[:200]))


def case_index_404(ctx):
    rc, _, err = run(ctx.program, ["--site", ctx.server.base + "nowhere/"], ctx.work)
    check(rc == 0, "exit code %d" % rc)
    check(not os.path.exists(os.path.join(ctx.work, "channels.dat")), "a file was written")
    check(last_line(err) == b"Channels found: 0", "last status %r" % last_line(err))


def case_save_failure(ctx):
    os.mkdir(os.path.join(ctx.work, "channels.dat"))
    rc, _, err = run(ctx.program, ["--site", ctx.server.base], ctx.work)
    check(rc == 1, "exit code %d" % rc)
    check(b"Update failed!" in err and b"Couldn't save channel list!" in err, "stderr %r" % err)
    check(b"channels.dat: is a folder, not a regular file" in err, "no reason in %r" % err)
    check(os.path.isdir(os.path.join(ctx.work, "channels.dat")), "the directory was replaced")


def case_silent_server(ctx):
    began = time.monotonic()
    rc, _, err = run(ctx.program, ["--site", ctx.server.base + "_fault/hang/", "--timeout", "1"],
                     ctx.work)
    took = time.monotonic() - began
    check(rc == 0 and last_line(err) == b"Channels found: 0", "rc %d, stderr %r" % (rc, err))
    check(took < 30, "a silent index page held the run for %.1f s" % took)


def case_bad_option(ctx):
    for args in (["--colour"], ["--site"], ["--output="], ["extra"], ["--jobs", "0"], ["--jobs=17"],
                 ["--jobs", "4x"], ["--timeout", "0"], ["--timeout=1.5"], ["--timeout"]):
        rc, out, err = run(ctx.program, args, ctx.work)
        check(rc == 2 and b"Usage:" in err and out == b"", "%r: rc %d" % (args, rc))
    rc, out, _ = run(ctx.program, ["--help"], ctx.work)
    check(rc == 0 and b"Usage:" in out, "--help: rc %d" % rc)
    rc, out, _ = run(ctx.program, ["--version"], ctx.work)
    check(rc == 0 and out.startswith(b"morvek-cli "), "--version: rc %d" % rc)


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


def stop_while_fetching(ctx, site, signal_number, wait_for):
    """Starts a harvest, sends the signal once wait_for shows on stderr (or at once), and
    checks that the old channel file stays as it was."""
    old = os.path.join(ctx.work, "channels.dat")
    with open(old, "wb") as f:
        f.write(OLD_CONTENT)
    process = subprocess.Popen(ctx.program + ["--site", site], cwd=ctx.work,
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
    rc, err, took = stop_while_fetching(ctx, ctx.server.base, signal.SIGINT, b"Reading Norway")
    check(rc == 130, "exit code %d, stderr %r" % (rc, err))
    count = read_file(os.path.join(ctx.site_root, "television", "norway.htm")).count(b'class="a"')
    check(count > 0, "no channel row in the Norway page")
    # Norway's channels were found, but a stopped run saves none of them.
    check(last_line(err).startswith(b"Channels found: ") and last_line(err).endswith(b" ABORTED"),
          "last status %r" % last_line(err))
    check(took < 5, "took %.1f s to stop" % took)


def case_sigterm_during_index_page(ctx):
    rc, err, _ = stop_while_fetching(ctx, ctx.server.base + "_fault/hang/", signal.SIGTERM, None)
    check(rc == 143, "exit code %d, stderr %r" % (rc, err))
    check(last_line(err) == b"Channels found: 0 ABORTED", "last status %r" % last_line(err))


CASES = {name[len("case_"):]: f for name, f in globals().items() if name.startswith("case_")}


class Context:
    def __init__(self, options, scratch):
        self.program = options.program
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
