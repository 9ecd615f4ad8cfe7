#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs `morvek-cli check` and the npm checker iptv-checker side by side on the same M3U
playlist of 200 loopback streams, and prints a table: wall time, peak memory of the whole
process tree (the peer starts one ffprobe per entry) and how many verdicts match the truth
each stream was built with.

The corpus mixes every kind the check meets: live MPEG-TS, HLS and MP3 (made with ffmpeg),
ASX, PLS and M3U wrappers around them, 404, 500, an HTML page, an empty body, a refused
connection and a stalled one (headers, then nothing). Its streams are spread over test web
servers on 127.0.0.1 to 127.0.0.8, each answering after --delay-ms. Both run at 1 and at 16
at a time (morvek-cli with its default --per-host 4, i.e. 32 over the 8 addresses). Then a
set where half of the 200 streams stall, at 16 and 64 at a time, with --per-host raised to
the --jobs value so that both hold the same number of connections.

For morvek-cli each run also shows its floors (bench/check_floor.py), from the entries' own
times (their elapsed_ms in a run of that set at 1 at a time): the one no checker honouring the
time-out and the per-host cap can beat, and the time of an overhead-free checker that starts
the entries in list order, which cannot know which of them stall before it starts them; and
the time over them (target: at most 1.15 over the floor).

The peer is installed with npm into build/bench-peer/ (its dependency axios-curlirize held at
1.3.7: later releases make it crash at start); without npm its rows are skipped.

    python3 bench/check_vs_peer.py [--program build/native/morvek-cli] [--delay-ms 100]
                                   [--timeout 5] [--peer-dir build/bench-peer]
                                   [--stalled 8] [--rows corpus:1,corpus:16,stalls:16,stalls:64]
                                   [--no-peer]
"""
import argparse
import json
import os
import random
import re
import shutil
import subprocess
import tempfile
import threading
import time

DEFAULT_PER_HOST = 4
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
from check_floor import floor_text, floors  # noqa: E402
from check_jobs import HOSTS, host_of, start_media_servers, stop_media_servers  # noqa: E402

PEER_PACKAGE = {"name": "bench-peer", "private": True, "dependencies": {"iptv-checker": "0.26.0"},
                "overrides": {"axios-curlirize": "1.3.7"}}
# kind: (path below a server's root, is it live, how many of the 200)
KINDS = {
    "ts": ("tv.ts", True, 30), "hls": ("hls/index.m3u8", True, 25), "mp3": ("radio.mp3", True, 30),
    "asx": ("good.asx", True, 15), "pls": ("list.pls", True, 15), "m3u": ("list.m3u", True, 15),
    "404": ("missing.ts", False, 15), "500": ("_status/500", False, 15), "html": ("page.htm", False, 10),
    "empty": ("empty.txt", False, 10), "refused": (None, False, 12), "stalled": ("_fault/hang/tv.ts", False, 8),
}
POLL_SECONDS = 0.05
TARGETS = {"corpus 16": (12.0, 1 / 3), "stalls 16": (1.5, None), "stalls 64": (1.5, None)}


def tree_rss_kb(root):
    """Sum of the resident sizes of root and all its descendants, from /proc."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                pass
    tree, frontier = {root}, [root]
    while frontier:
        pid = frontier.pop()
        children = [p for p, parent in parents.items() if parent == pid and p not in tree]
        tree.update(children)
        frontier.extend(children)
    total = 0
    for pid in tree:
        try:
            with open("/proc/%d/status" % pid) as f:
                total += next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        except (OSError, StopIteration):
            pass
    return total


def run_tree(command, cwd):
    """Runs command; (seconds, peak MB of the process tree, polled every POLL_SECONDS)."""
    began = time.monotonic()
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = [0]

    def poll():
        while process.poll() is None:
            peak[0] = max(peak[0], tree_rss_kb(process.pid))
            time.sleep(POLL_SECONDS)

    poller = threading.Thread(target=poll)
    poller.start()
    process.wait()
    seconds = time.monotonic() - began
    poller.join()
    return seconds, peak[0] / 1024


def write_corpus(path, entries):
    """entries: (name, address, live); an M3U both programs read."""
    with open(path, "w") as f:
        f.write("#EXTM3U\n")
        for name, address, _ in entries:
            f.write("#EXTINF:-1,%s\n%s\n" % (name, address))


def corpus(bases, stalled):
    """200 entries; stalled ones beyond the usual count replace live MPEG-TS ones."""
    counts = {k: count for k, (_, _, count) in KINDS.items()}
    counts["ts"] -= stalled - counts["stalled"]
    counts["stalled"] = stalled
    kinds = [k for k, count in counts.items() for _ in range(count)]
    random.Random(19).shuffle(kinds)
    entries = []
    for i, kind in enumerate(kinds):
        path, live, _ = KINDS[kind]
        # Each address is unique (the peer sets repeated addresses aside unchecked).
        base = "http://127.0.0.1:1/tv.ts" if path is None else bases[i % len(bases)] + path
        entries.append(("s%03d %s" % (i, kind), "%s?n=%d" % (base, i), live))
    return entries


def half_stalling(bases):
    entries = []
    for i in range(200):
        path, live = ("_fault/hang/tv.ts", False) if i % 2 else (("tv.ts", "radio.mp3")[i // 2 % 2], True)
        entries.append(("h%03d" % i, "%s%s?n=%d" % (bases[i % len(bases)], path, i), live))
    return entries


def run_morvek(program, work, playlist, jobs, per_host, timeout):
    output = os.path.join(work, "morvek.json")
    command = [program, "check", playlist, "--jobs", str(jobs), "--timeout", str(timeout), "--quiet",
               "--json", output]
    if per_host:
        command += ["--per-host", str(per_host)]
    seconds, peak = run_tree(command, work)
    with open(output, encoding="utf-8") as f:
        results = json.load(f)
    live = {r["name"] for r in results if r["status"] == "live"}
    return seconds, peak, live, [(host_of(r["stream"]), r["elapsed_ms"] / 1000) for r in results]


def run_floor_text(seconds, own, entries, jobs, per_host, timeout):
    """The floors of a run and the time over them; "" when the entries' own times are unknown."""
    if own is None:
        return ""
    stalled = [name.endswith("stalled") or name.startswith("h") and not live for name, _, live in entries]
    timed = [(host, seconds_, stall) for (host, seconds_), stall in zip(own, stalled)]
    return floor_text(seconds, floors(timed, jobs, per_host or DEFAULT_PER_HOST, timeout))


def run_peer(peer, work, playlist, jobs, timeout):
    output = os.path.join(work, "peer-out")
    shutil.rmtree(output, ignore_errors=True)
    seconds, peak = run_tree(["node", peer, playlist, "--output", output, "--timeout", str(timeout * 1000),
                              "--parallel", str(jobs)], work)
    with open(os.path.join(output, "online.m3u"), encoding="utf-8") as f:
        live = {m.group(1) for m in re.finditer(r"^#EXTINF:[^,]*,(.*?)\s*$", f.read(), re.M)}
    return seconds, peak, live


def install_peer(folder):
    """The peer's command, installed into folder; None (and why) without npm."""
    if not shutil.which("npm") or not shutil.which("node"):
        return None, "npm or node is missing"
    script = os.path.join(folder, "node_modules", "iptv-checker", "bin", "iptv-checker.js")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "package.json"), "w") as f:
        json.dump(PEER_PACKAGE, f, indent=2)
    done = subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--omit=dev"], cwd=folder,
                          capture_output=True, text=True)
    if done.returncode != 0 or not os.path.exists(script):
        return None, "npm install failed: %s" % done.stderr.strip()[-300:]
    return script, ""


def right(entries, live):
    return sum(1 for name, _, is_live in entries if (name in live) == is_live)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "native", "morvek-cli"))
    parser.add_argument("--delay-ms", type=int, default=100)
    parser.add_argument("--timeout", type=int, default=5, help="seconds per stream, for both")
    parser.add_argument("--stalled", type=int, default=KINDS["stalled"][2],
                        help="stalled streams in the corpus (more take the place of MPEG-TS ones)")
    parser.add_argument("--rows", default="corpus:1,corpus:16,stalls:16,stalls:64",
                        help="which runs, as SET:AT-A-TIME,...")
    parser.add_argument("--peer-dir", default=os.path.join(ROOT, "build", "bench-peer"))
    parser.add_argument("--no-peer", action="store_true", help="morvek-cli's rows only")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    peer, why = (None, "--no-peer") if args.no_peer else install_peer(os.path.abspath(args.peer_dir))
    if peer is None:
        print("peer rows skipped: %s" % why)
    work = tempfile.mkdtemp(prefix="morvek-peer-bench-")
    servers = []
    try:
        bases = start_media_servers(work, args.delay_ms, servers)
        sets = {"corpus": corpus(bases, args.stalled), "stalls": half_stalling(bases)}
        # The half-stalling set runs with --per-host at the --jobs value, as the peer has no such cap.
        # A third field sets --per-host for any set, e.g. corpus:16:16.
        runs = [(row[0], int(row[1]), int(row[2]) if len(row) > 2 else int(row[1]) if row[0] == "stalls" else None)
                for row in (r.split(":") for r in args.rows.split(","))]
        print("%d streams on %d addresses, %d ms answer delay, --timeout %d s for both; "
              "peak memory is the whole process tree" % (len(sets["corpus"]), len(HOSTS), args.delay_ms,
                                                       args.timeout))
        print("%-10s %4s  %-22s  %-22s  %7s  %7s  %s" % ("set", "at", "morvek-cli (s, MB, right)",
                                                      "iptv-checker", "faster", "memory", "targets"))
        own_times = {}  # the entries' hosts and own times, from a run at 1
        for name, jobs, per_host in runs:
            entries = sets[name]
            playlist = os.path.join(work, name + ".m3u")
            write_corpus(playlist, entries)
            ms, mm, mlive, own = run_morvek(program, work, playlist, jobs, per_host, args.timeout)
            if jobs == 1:
                own_times[name] = own
            mine = "%6.1f %6.1f %3d/%d" % (ms, mm, right(entries, mlive), len(entries))
            floor = run_floor_text(ms, own_times.get(name), entries, jobs, per_host, args.timeout)
            if peer is None:
                print("%-10s %4d  %-22s  %-22s  %s" % (name, jobs, mine, "skipped", floor))
                continue
            ps, pm, plive = run_peer(peer, work, playlist, jobs, args.timeout)
            theirs = "%6.1f %6.1f %3d/%d" % (ps, pm, right(entries, plive), len(entries))
            speed, memory = TARGETS.get("%s %d" % (name, jobs), (None, None))
            wanted = ", ".join(filter(None, [speed and ">= %.1fx faster" % speed,
                                             memory and "memory < 1/3", name == "corpus" and jobs == 16
                                             and "all right"]))
            print("%-10s %4d  %-22s  %-22s  %6.1fx  %6.2f  %s" % (name, jobs, mine, theirs, ps / ms, mm / pm,
                                                                 wanted))
            wrong = sorted(n for n, _, is_live in entries if (n in plive) != is_live)
            if wrong:
                print("    peer wrong on: %s" % " ".join(wrong))
            wrong = sorted(n for n, _, is_live in entries if (n in mlive) != is_live)
            if wrong:
                print("    morvek-cli wrong on: %s" % " ".join(wrong))
            if floor:
                print("    morvek-cli: %s" % floor)
    finally:
        stop_media_servers(servers, work)


if __name__ == "__main__":
    main()
