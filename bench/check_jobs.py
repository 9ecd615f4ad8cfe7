#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Times `morvek-cli check` over 200 live streams spread over 8 loopback addresses (a test web
server on each of 127.0.0.1 to 127.0.0.8) with --jobs 1, 16 and 64. It prints the program's
start-up (a check of one row refused at once) and for each run the time, its floors
(bench/check_floor.py: the one no checker honouring the per-host cap can beat, with the sum of
the streams' own times over the slots beside it, and the time of an overhead-free checker that
starts them in list order) and the time over them (target: at most 1.15 over the floor), the
peak RSS and what each running check adds to the --jobs 1 figure (target at --jobs 64: at most
1.5 MB), and the peak number of threads; with --baseline the same for the older build, and
whether both gave the same results (less elapsed_ms). The speed-up of 16 over 1 (target: at
least 8 times); the same for the Windows build under Wine when it is built (target: at least 5
times).

Then the hostile rows of tests/check/check_test.py (endless SubRip and HLS, a 16000x16000 PNG, SDP over
HTTP, an RTSP server that never sends media, MPEG-TS as text/html, HLS, a stalled name lookup)
at --timeout 5: each alone, then all at --jobs 8, with wall time and peak RSS (targets: each
within the time-out + 1 s, the whole check at most 150 MB).

Then a list of --rows rows (default 300,000) whose addresses are all refused at once
(http://127.0.0.1:1/stream/N.ts), with --quiet --jobs 16, alone and with --json, and the same
with each row on a host of its own (127.A.B.C): wall time and peak RSS (target: under
150 MB). With the stalling resolver, the time to the first verdict of a live row placed before
32 hosts whose lookups stall. --baseline PROGRAM runs these rows with an
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
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "check"))
from check_test import PEAK_RSS_MB, Context, make_media, start_server  # noqa: E402
from check_floor import floor_text, floors  # noqa: E402

STREAMS = 200
HOSTS = ["127.0.0.%d" % n for n in range(1, 9)]
HOSTILE_TIMEOUT = 5
CORPUS_JOBS = (1, 16, 64)
REPEAT = 3  # runs at 16 and 64; the fastest counts (a shared machine's noise only adds time)
PER_HOST = 4  # the check's default


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


def measured_check(program, work, jobs):
    """Runs program's check of the corpus; (seconds, processor seconds, peak RSS in MB, peak
    threads, results), the peaks polled from /proc every 10 ms."""
    output = os.path.join(work, "measured%d.json" % jobs)
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.monotonic()
    process = subprocess.Popen([program, "check", "--jobs", str(jobs), "--quiet", "--json", output], cwd=work,
                               stdout=subprocess.DEVNULL)
    peak_kb, threads = 0, 0
    while process.poll() is None:
        try:
            with open("/proc/%d/status" % process.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak_kb = max(peak_kb, int(line.split()[1]))
                    elif line.startswith("Threads:"):
                        threads = max(threads, int(line.split()[1]))
        except (OSError, ValueError):
            pass
        time.sleep(0.01)
    seconds = time.monotonic() - began
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - used.ru_utime - used.ru_stime
    with open(output) as f:
        results = json.load(f)
    return seconds, cpu, peak_kb / 1024, threads, results


def host_of(address):
    return address.split("//", 1)[1].split("/", 1)[0].rsplit(":", 1)[0]


def startup_seconds(program, work):
    """The fastest of five checks of one row refused at once: the program's own start and end."""
    path = os.path.join(work, "one.dat")
    with open(path, "wb") as f:
        f.write(b"Benchland|Refused|300|News|about|http://127.0.0.1:1/tv.ts|\r\n")
    best = None
    for _ in range(5):
        began = time.monotonic()
        subprocess.run([program, "check", path, "--quiet"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        best = min(best or 1e9, time.monotonic() - began)
    return best


def corpus_figures(programs, work):
    """The corpus at each of CORPUS_JOBS with each program: time over the floors, memory a
    running check, peak threads; then whether the programs agree on every result."""
    kept = {}
    for label, program in programs:
        base_mb, times, own = 0.0, {}, []
        print("%-8s start-up (one row refused at once): %.3f s" % (label, startup_seconds(program, work)))
        for jobs in CORPUS_JOBS:
            runs = [measured_check(program, work, jobs) for _ in range(1 if jobs == 1 else REPEAT)]
            seconds, cpu, peak_mb, threads, results = min(runs, key=lambda run: run[0])
            peak_mb, threads = max(run[2] for run in runs), max(run[3] for run in runs)
            if jobs == 1:
                own, base_mb = [(host_of(r["stream"]), r["elapsed_ms"] / 1000, False) for r in results], peak_mb
            slots = min(jobs, len(HOSTS) * PER_HOST)
            per_check = (peak_mb - base_mb) / (slots - 1) if slots > 1 else 0
            live = sum(1 for r in results if r["status"] == "live")
            print("%-8s --jobs %-2d %6.2f s (%5.2f s cpu)  %5.1f MB  %+5.2f MB a running check  %3d threads  "
                  "%3d live" % (label, jobs, seconds, cpu, peak_mb, per_check, threads, live))
            print("%-8s           %s" % ("", floor_text(seconds, floors(own, jobs, PER_HOST))))
            times[jobs] = seconds
            kept[(label, jobs)] = [{k: v for k, v in r.items() if k != "elapsed_ms"} for r in results]
        print("%-8s speed-up --jobs 16 / --jobs 1: %.1fx (target 8x)" % (label, times[1] / times[16]))
    if len(programs) > 1:
        for jobs in CORPUS_JOBS:
            mine, theirs = kept[(programs[0][0], jobs)], kept[(programs[1][0], jobs)]
            # Fields one build has and the other lacks (e.g. one added since) are named, not compared.
            extra = sorted({k for r in mine + theirs for k in r} - {k for r in mine for k in r}.intersection(
                k for r in theirs for k in r))
            same = [{k: v for k, v in r.items() if k not in extra} for r in mine] == \
                [{k: v for k, v in r.items() if k not in extra} for r in theirs]
            print("--jobs %d: results %s the baseline's (less elapsed_ms%s)" % (
                jobs, "equal" if same else "DIFFER from", "".join(", " + k for k in extra)))


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
    """Checks rows refused addresses with each program, on one host and then each row on a host
    of its own; prints wall time and peak RSS."""
    path = os.path.join(work, "refused.dat")
    with open(path, "wb") as f:
        for i in range(rows):
            f.write(b"Benchland|Stream %d|300|News|about|http://127.0.0.1:1/stream/%d.ts|\r\n" % (i, i))
    hosts = os.path.join(work, "hosts.dat")
    with open(hosts, "wb") as f:
        for i in range(rows):
            f.write(b"Benchland|Stream %d|300|News|about|http://127.%d.%d.%d:1/s.ts|\r\n" % (
                i, i >> 16 & 255, i >> 8 & 255, i & 255 | 1))
    print("%d refused rows, --quiet --jobs 16 (target: under 150 MB)" % rows)
    for label, program in programs:
        for listed, extra, what in ((path, [], ""), (path, ["--json", os.path.join(work, "refused.json")], "--json"),
                                    (hosts, [], "a host each")):
            with open(os.devnull, "wb") as null:
                began = time.monotonic()
                process = subprocess.Popen([program, "check", listed, "--quiet", "--jobs", "16"] + extra,
                                           stdout=null, stderr=null)
                _, _, usage = os.wait4(process.pid, 0)
            print("  %-8s %-11s %6.1f s  peak RSS %6.1f MB" % (
                label, what, time.monotonic() - began, usage.ru_maxrss / 1024))


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
    parser.add_argument("--rows", type=int, default=300000, help="refused rows; 0 leaves them out")
    parser.add_argument("--corpus-only", action="store_true", help="only the 200 streams")
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
        corpus_figures(programs, work)
        builds = []
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
        if args.corpus_only:
            return
        stall = os.path.abspath(args.stall_resolver) if os.path.exists(args.stall_resolver) else ""
        hostile_rows(program, work, stall)
        if stall:
            first_verdict(programs, work, bases[0], stall)
        if args.rows > 0:
            refused_rows(programs, work, args.rows)
    finally:
        stop_media_servers(servers, work)


if __name__ == "__main__":
    main()
