#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Times the window program's harvest against the console program's on generated directories
of about 2,000 and about 18,000 channels, both under Wine, and prints a table of the times, the
ratio window/console and the window's time per channel at each size.

Both programs are started the same way, by gui_driver.exe with CreateProcessA. The console
harvest ends when its process exits; the window harvest when channels.dat appears (the
window then waits for Close, which is not counted). Nothing is asked of the window while it
runs. Needs a display (xvfb-run) and the Windows build:

    xvfb-run -a -s "-screen 0 1280x1024x24" python3 bench/gui_vs_cli.py [--build-dir build/windows]
"""

import argparse
import os
import shutil
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "gui"))
import make_site  # noqa: E402
import harness as gui  # noqa: E402


def time_cli(driver, paths, workdir):
    os.makedirs(workdir)
    began = time.monotonic()
    driver("start", gui.windows_path(workdir), gui.windows_path(paths.cli),
           f"--site {gui.SITE_BASE} --quiet")
    reply = driver("wait-exit", 600000, timeout=610)
    elapsed = time.monotonic() - began
    if reply["exit"] != "0" or not os.path.exists(os.path.join(workdir, "channels.dat")):
        raise SystemExit(f"console harvest failed: exit {reply['exit']}")
    return elapsed


def time_gui(driver, paths, workdir):
    os.makedirs(workdir)
    result = os.path.join(workdir, "channels.dat")
    began = time.monotonic()
    driver("start", gui.windows_path(workdir), gui.windows_path(paths.program))
    deadline = began + 1200
    while not os.path.exists(result):
        if time.monotonic() > deadline:
            driver("kill")
            raise SystemExit("window harvest did not finish in 20 minutes")
        time.sleep(0.02)
    elapsed = time.monotonic() - began
    driver("wait-window", 10000)
    driver("click", gui.W.kCloseButton)
    driver("wait-exit", 20000, timeout=30)
    return elapsed


SIZES = [(2000, 100), (18000, 90)]  # channels, channels per country: 20 and 200 countries


def measure(paths, driver, work, channels, per_country, repeat):
    """Median console and window times (s) for a generated site of that many channels."""
    site = os.path.join(work, f"site-{channels}")
    make_site.write_site(site, make_site.generated_countries(channels, per_country))
    server = gui.Server(paths, site)
    try:
        cli_times, gui_times = [], []
        for i in range(repeat):
            cli_times.append(time_cli(driver, paths, os.path.join(work, f"cli-{channels}-{i}")))
            gui_times.append(time_gui(driver, paths, os.path.join(work, f"gui-{channels}-{i}")))
            print(f"{channels} channels, run {i + 1}: console {cli_times[-1]:.2f} s, "
                  f"window {gui_times[-1]:.2f} s", flush=True)
    finally:
        server.stop()
    return statistics.median(cli_times), statistics.median(gui_times)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build", "windows"))
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    paths = gui.make_paths(args.build_dir)
    if not os.environ.get("DISPLAY"):
        raise SystemExit("no DISPLAY: run under xvfb-run")
    work = os.path.join(paths.build, "bench-gui-vs-cli")
    shutil.rmtree(work, ignore_errors=True)
    gui.prepare_prefix(paths)
    driver = gui.Driver(paths)
    try:
        rows = [(n,) + measure(paths, driver, work, n, per, args.repeat) for n, per in SIZES]
    finally:
        driver.close()
    print(f"\nmedian of {args.repeat} runs\n| channels | console | window | window/console "
          f"| window ms per channel |\n|---|---|---|---|---|")
    for n, cli, window in rows:
        print(f"| {n} | {cli:.2f} s | {window:.2f} s | {window / cli:.2f} | "
              f"{1000 * window / n:.3f} |")
    (small, _, small_gui), (large, _, large_gui) = rows[0], rows[-1]
    print(f"time per channel at {large} / at {small}: "
          f"{(large_gui / large) / (small_gui / small):.2f} (target 1.5 or less); "
          f"window/console at {large}: {rows[-1][2] / rows[-1][1]:.2f} (target 3 or less)")


if __name__ == "__main__":
    main()
