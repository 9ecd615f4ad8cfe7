#!/usr/bin/env python3
"""Times `morvek-cli check` over 200 live streams spread over 8 loopback addresses (a test web
server on each of 127.0.0.1 to 127.0.0.8), once with --jobs 1 and once with --jobs 16, and
prints both times, the time per check and the speed-up (target: at least 8 times); the same
for the Windows build under Wine when it is built (target: at least 5 times). Then the
hostile rows of tests/check/check_test.py (endless SubRip and HLS, a 16000x16000 PNG, SDP over
HTTP, an RTSP server that never sends media, MPEG-TS as text/html, HLS, a stalled name lookup)
at --timeout 5: each alone, then all at --jobs 8, with wall time and peak RSS (targets: each
within the time-out + 1 s, the whole check at most 150 MB).

Then a list of --rows rows (default 300,000) whose addresses are all refused at once
(http://127.0.0.1:1/stream/N.ts), with --quiet --jobs 16, alone and with --json: wall time and
peak RSS (target: under 150 MB). With the stalling resolver, the time to the first verdict of a
live row placed before 32 hosts whose lookups stall. --baseline PROGRAM runs these rows with an
older build too, for a before/after in one run.

Each server answers after --delay-ms (default 100 ms), standing in for the distance to a real
stream server; the media (an MPEG-TS with video and audio, an MP3) is made with ffmpeg.

    python3 bench/check_jobs.py [--program build/native/morvek-cli] [--delay-ms 100]
                                [--wine-program build/windows/morvek-cli.exe]
                                [--stall-resolver build/native/tests/libstall_resolver.so]
                                [--rows 300000] [--baseline OLD/morvek-cli]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "check"))
from check_test import PEAK_RSS_MB, Context, make_media, start_server  # noqa: E402

STREAMS = 200
HOSTS = ["127.0.0.%d" % n for n in range(1, 9)]
HOSTILE_TIMEOUT = 5


def start_media_servers(work, delay_ms, servers):
    """Makes the media in work/media and serves it on each of HOSTS (appended to servers);
    the base address of each."""
    media = os.path.join(work, "media")
    os.mkdir(media)
    make_media(media)
    bases = []
    for host in HOSTS:
        server, port = start_server("test_server.py", work, host, "--root", media,
                                    "--host", host, "--delay-ms", str(delay_ms), "--quiet")
        if server is None:
            raise SystemExit("server on %s did not start: %s" % (host, port))
        servers.append(server)
        bases.append("http://%s:%s/" % (host, port))
    return bases


def stop_media_servers(servers, work):
    for server in servers:
        server.terminate()
        server.wait(10)
    shutil.rmtree(work, ignore_errors=True)


def timed_check(program, work, jobs):
    """program: the command line that runs morvek-cli."""
    output = os.path.join(work, "jobs%d.json" % jobs)
    began = time.monotonic()
    subprocess.run(program + ["check", "--jobs", str(jobs), "--quiet", "--json", output], cwd=work, check=True,
                   stdout=subprocess.DEVNULL)
    seconds = time.monotonic() - began
    with open(output) as f:
        results = json.load(f)
    live = sum(1 for r in results if r["status"] == "live")
    mean_ms = sum(r["elapsed_ms"] for r in results) / len(results)
    return seconds, live, mean_ms


def hostile_rows(program, work, stall_resolver):
    """Runs the hostile rows alone and together; prints wall time and peak RSS of each run."""
    os.mkdir(os.path.join(work, "hostile"))
    ctx = Context([program], os.path.join(work, "hostile"))
    try:
        rows = ctx.hostile_rows(ctx.start_silent_rtsp()[0], stall_resolver)
        env = ctx.stalled_resolver_env(stall_resolver)
        args = ["check", "--timeout", str(HOSTILE_TIMEOUT), "--jobs", "8", "--per-host", "8", "--json", "out.json"]
        print("hostile rows at --timeout %d (target: each within %d s)" % (HOSTILE_TIMEOUT, HOSTILE_TIMEOUT + 1))
        for name, address, _, _ in rows:
            ctx.write_list([(name, address)])
            _, _, seconds, peak_mb = ctx.run_measured(args, env)
            result = ctx.read_json("out.json")[0]
            print("  %-15s %5.2f s  %6.1f MB  %s: %s" % (name, seconds, peak_mb, result["status"], result["detail"]))
        ctx.write_list([(n, a) for n, a, _, _ in rows])
        _, _, seconds, peak_mb = ctx.run_measured(args, env)
        print("all %d rows at --jobs 8: %.2f s, peak RSS %.1f MB (target %d MB)" % (
            len(rows), seconds, peak_mb, PEAK_RSS_MB))
    finally:
        for process in ctx.servers:
            process.terminate()
            process.wait(10)


def refused_rows(programs, work, rows):
    """Checks rows refused addresses with each program; prints wall time and peak RSS."""
    path = os.path.join(work, "refused.dat")
    with open(path, "wb") as f:
        for i in range(rows):
            f.write(b"Benchland|Stream %d|300|News|about|http://127.0.0.1:1/stream/%d.ts|\r\n" % (i, i))
    print("%d refused rows, --quiet --jobs 16 (target: under 150 MB)" % rows)
    for label, program in programs:
        for extra in ([], ["--json", os.path.join(work, "refused.json")]):
            with open(os.devnull, "wb") as null:
                began = time.monotonic()
                process = subprocess.Popen([program, "check", path, "--quiet", "--jobs", "16"] + extra,
                                           stdout=null, stderr=null)
                _, _, usage = os.wait4(process.pid, 0)
            print("  %-8s %-7s %6.1f s  peak RSS %6.1f MB" % (
                label, "--json" if extra else "", time.monotonic() - began, usage.ru_maxrss / 1024))


def first_verdict(programs, work, base, stall_resolver):
    """A live row, then 32 hosts whose lookups stall: seconds until the live row's verdict."""
    path = os.path.join(work, "first.dat")
    with open(path, "wb") as f:
        f.write(b"Benchland|Live|300|News|about|%stv.ts?first|\r\n" % base.encode())
        for i in range(32):
            f.write(b"Benchland|Stalled %d|300|News|about|http://n%d.tv.stall.invalid/tv.ts|\r\n" % (i, i))
    env = dict(os.environ, LD_PRELOAD=stall_resolver)
    print("a live row before 32 stalled lookups, --jobs 16 --timeout 2")
    for label, program in programs:
        began = time.monotonic()
        process = subprocess.Popen([program, "check", path, "--quiet", "--jobs", "16", "--timeout", "2"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        process.stdout.readline()
        first = time.monotonic() - began
        process.stdout.read()
        process.wait()
        print("  %-8s first verdict after %5.2f s, all after %5.2f s" % (label, first, time.monotonic() - began))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "native", "morvek-cli"))
    parser.add_argument("--wine-program", default=os.path.join(ROOT, "build", "windows", "morvek-cli.exe"))
    parser.add_argument("--delay-ms", type=int, default=100)
    parser.add_argument("--stall-resolver",
                        default=os.path.join(ROOT, "build", "native", "tests", "libstall_resolver.so"))
    parser.add_argument("--rows", type=int, default=300000)
    parser.add_argument("--baseline", default="", help="an older morvek-cli to compare with")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    programs = [("this", program)] + ([("baseline", os.path.abspath(args.baseline))] if args.baseline else [])
    work = tempfile.mkdtemp(prefix="morvek-check-bench-")
    servers = []
    try:
        bases = start_media_servers(work, args.delay_ms, servers)
        with open(os.path.join(work, "channels.dat"), "wb") as f:
            for i in range(STREAMS):
                # Unique addresses: the check probes a repeated one only once.
                stream = bases[i % len(bases)] + ("tv.ts" if i % 2 else "radio.mp3") + "?n=%d" % i
                f.write(b"Benchland|Stream %d|300|News|about|%s|\r\n" % (i, stream.encode()))
        print("%d streams on %d addresses, %d ms answer delay" % (STREAMS, len(HOSTS), args.delay_ms))
        builds = [("Linux", [program], 8)]
        if os.path.exists(args.wine_program):
            builds.append(("Wine", [os.path.join(ROOT, "scripts", "wine-run.sh"),
                                    os.path.abspath(args.wine_program)], 5))
        for build, command, target in builds:
            figures = {}
            for jobs in (1, 16):
                seconds, live, mean_ms = timed_check(command, work, jobs)
                figures[jobs] = seconds
                print("%-5s --jobs %-2d  %6.2f s  %5.1f ms per stream  %3d live  (each check %.0f ms)" % (
                    build, jobs, seconds, seconds * 1000 / STREAMS, live, mean_ms))
            print("%-5s speed-up --jobs 16 / --jobs 1: %.1fx (target %dx)" % (build, figures[1] / figures[16], target))
        stall = os.path.abspath(args.stall_resolver) if os.path.exists(args.stall_resolver) else ""
        hostile_rows(program, work, stall)
        if stall:
            first_verdict(programs, work, bases[0], stall)
        refused_rows(programs, work, args.rows)
    finally:
        stop_media_servers(servers, work)


if __name__ == "__main__":
    main()
