#!/usr/bin/env python3
"""Times the window program's harvest against the console program's on the same generated
directory of 2,000 channels, both under Wine, and prints both times and the ratio GUI/console.

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


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build", "windows"))
    parser.add_argument("--channels", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)
    paths = gui.make_paths(build)
    if not os.environ.get("DISPLAY"):
        raise SystemExit("no DISPLAY: run under xvfb-run")
    work = os.path.join(build, "bench-gui-vs-cli")
    shutil.rmtree(work, ignore_errors=True)
    site = os.path.join(work, "site")
    make_site.write_site(site, make_site.generated_countries(args.channels, 50))
    gui.prepare_prefix(paths)
    server = gui.Server(paths, site)
    driver = gui.Driver(paths)
    try:
        cli_times, gui_times = [], []
        for i in range(args.repeat):
            cli_times.append(time_cli(driver, paths, os.path.join(work, f"cli{i}")))
            gui_times.append(time_gui(driver, paths, os.path.join(work, f"gui{i}")))
            print(f"run {i + 1}: console {cli_times[-1]:.2f} s, window {gui_times[-1]:.2f} s",
                  flush=True)
    finally:
        driver.close()
        server.stop()
    cli_median, gui_median = statistics.median(cli_times), statistics.median(gui_times)
    print(f"{args.channels} channels, median of {args.repeat}: console {cli_median:.2f} s, "
          f"window {gui_median:.2f} s, ratio window/console {gui_median / cli_median:.2f} "
          f"(target 1.3 or less)")


if __name__ == "__main__":
    main()
