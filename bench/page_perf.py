#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The web page of serve at 20,000 entries in headless Chromium: time to the first rows, and
the time of a search, a filter, a sort and a scroll (each until the rows are laid out).

    bench/page_perf.py [--entries N] [--runs R]

The entries come from a stand-in server of serve's endpoints (bench/page_fixture.py)."""
import argparse
import os
import statistics
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "serve"))
from page_fixture import FixtureWorld  # noqa: E402  (beside this file)
from page_test import chromium, wait_for  # noqa: E402

# Runs an action in the page and returns its milliseconds until the rows are laid out again.
TIMED = """
const t0 = performance.now();
%s
document.getElementById('rows').getBoundingClientRect();
document.body.offsetHeight;
return performance.now() - t0;
"""
ACTIONS = {
    "search 'news'": "const q = document.getElementById('q'); q.value = 'news'; q.dispatchEvent(new Event('input'));",
    "search cleared": "const q = document.getElementById('q'); q.value = ''; q.dispatchEvent(new Event('input'));",
    "filter country": "const c = document.getElementById('country'); c.value = 'Brazil'; c.dispatchEvent(new Event('change'));",
    "filter cleared": "const c = document.getElementById('country'); c.value = ''; c.dispatchEvent(new Event('change'));",
    "sort by uptime": "document.querySelector('th[data-key=uptime] button').click();",
    "sort by name": "document.querySelector('th[data-key=name] button').click();",
    "scroll to middle": "const s = document.getElementById('scroller'); s.scrollTop = s.scrollHeight / 2; s.dispatchEvent(new Event('scroll'));",
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--entries", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    world = FixtureWorld(os.path.join(ROOT, "serve", "web"), "<b>bench</b>", args.entries)
    driver = chromium(1280, 800)
    try:
        first, figures = [], {name: [] for name in ACTIONS}
        for _ in range(args.runs):
            driver.get(world.base + "/")
            mark = "return performance.getEntriesByName('rows-rendered').map(e => e.startTime)[0]"
            first.append(wait_for(lambda: driver.execute_script(mark), "first rows"))
            for name, action in ACTIONS.items():
                if name.startswith("scroll"):
                    # The scroll handler draws at the next frame: the time until that frame.
                    action += " await new Promise(r => requestAnimationFrame(() => setTimeout(r)));"
                    figures[name].append(driver.execute_script(
                        "return (async () => {" + TIMED % action + "})()"))
                else:
                    figures[name].append(driver.execute_script(TIMED % action))
        count = driver.execute_script("return document.getElementById('count').textContent")
        print("page_perf: %d entries (%s), median of %d runs, headless Chromium" % (args.entries, count, args.runs))
        print("  %-22s %8.1f ms  (from navigation; JSON of %d entries fetched and parsed)"
              % ("first rows", statistics.median(first), args.entries))
        for name, values in figures.items():
            print("  %-22s %8.1f ms  (max %.1f)" % (name, statistics.median(values), max(values)))
    finally:
        driver.quit()
        world.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
