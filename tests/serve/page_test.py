#!/usr/bin/env python3
"""Opens serve's web page in headless Chromium and uses it as a person would.

    page_test.py --shots DIR --fixture WEBDIR     against a small server of serve's endpoints
    page_test.py --shots DIR --serve PROGRAM      against `morvek-cli serve` (serve_world.py)

Expectations come from the server's own /channels.json, so the same cases run against both.
Screenshots at desktop and phone widths are written to DIR. Exit 77 (skipped) without selenium."""
import argparse
import json
import os
import sys
import time
import urllib.parse
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select
except ImportError:
    sys.exit(77)

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
HOSTILE_NAME = '<img src=x onerror="window.pwned=1">Evil'
WAIT_SECONDS = 20


def chromium(width, height):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=%d,%d" % (width, height)]:
        options.add_argument(flag)
    options.add_argument("--user-data-dir=" + os.path.join(os.environ.get("TMPDIR", "/tmp"),
                                                           "page-test-%d" % os.getpid()))
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        try:
            value = condition()
        except StaleElementReferenceException:  # the rows were drawn again meanwhile
            value = None
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def get(base, path):
    with urllib.request.urlopen(base + path, timeout=10) as reply:
        return reply.read().decode("utf-8")


def names_shown(driver):
    return [b.text for b in driver.find_elements(By.CSS_SELECTOR, "#rows button.open")]


def shows_start_of(driver, expected):
    """The rows in view are the first ones of expected: the page renders only those."""
    shown = names_shown(driver)
    return len(shown) >= min(len(expected), 10) and shown == expected[:len(shown)]


def query(driver):
    return urllib.parse.parse_qs(urllib.parse.urlparse(driver.current_url).query)


def open_page(driver, base, search=""):
    driver.get(base + "/" + search)
    wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "#rows button.open"), "rows")


def case_table_fills_and_sorts(driver, base, entries):
    open_page(driver, base)
    expected = sorted((e["name"] for e in entries), key=lambda n: n.lower())
    check(driver.find_element(By.ID, "count").text == "%d of %d channels" % (len(entries), len(entries)), "count")
    check(shows_start_of(driver, expected), "name order %s" % names_shown(driver))
    header = driver.find_element(By.CSS_SELECTOR, "th[data-key=name] button")
    header.click()
    check(shows_start_of(driver, expected[::-1]), "descending order")
    check(query(driver) == {"sort": ["name"], "dir": ["down"]}, driver.current_url)
    driver.find_element(By.CSS_SELECTOR, "th[data-key=uptime] button").click()
    uptimes = [e["uptime"] if e["uptime"] is not None else -1 for e in entries]
    shown = [next(e for e in entries if e["name"] == n) for n in names_shown(driver)]
    check([e["uptime"] if e["uptime"] is not None else -1 for e in shown] == sorted(uptimes)[:len(shown)],
          "uptime order")


def case_filters_bookmark_and_playlist(driver, base, entries):
    open_page(driver, base)
    country = sorted({e["country"] for e in entries if e["country"]})[0]
    Select(driver.find_element(By.ID, "country")).select_by_value(country)
    Select(driver.find_element(By.ID, "status")).select_by_value("live")
    search = driver.find_element(By.ID, "q")
    word = next(e["name"] for e in entries if e["country"] == country and e["status"] == "live")[:3]
    search.send_keys(word.upper())
    expected = sorted((e["name"] for e in entries if e["country"] == country and e["status"] == "live"
                       and word.lower() in e["name"].lower()), key=str.lower)
    check(expected and names_shown(driver) == expected, "filtered %s, not %s" % (expected, names_shown(driver)))
    wait_for(lambda: query(driver) == {"country": [country], "status": ["live"], "q": [word.upper()]},
             "filters in the address, not " + driver.current_url)
    playlist = driver.find_element(By.ID, "playlist").get_attribute("href")
    names = [line.split(",", 1)[1] for line in get(base, urllib.parse.urlparse(playlist).path + "?" +
                                                   urllib.parse.urlparse(playlist).query).splitlines()
             if line.startswith("#EXTINF")]
    check(sorted(names, key=str.lower) == expected, "playlist %s" % names)
    # The address is a bookmark: opening it again shows the same view.
    driver.get(driver.current_url)
    wait_for(lambda: names_shown(driver) == expected, "bookmarked view")
    check(driver.find_element(By.ID, "q").get_attribute("value") == word.upper(), "search restored")


def case_history_panel(driver, base, entries):
    entry = max(entries, key=lambda e: e["checks"])
    open_page(driver, base, "?q=" + urllib.parse.quote(entry["name"]))
    driver.find_element(By.CSS_SELECTOR, "#rows button.open").send_keys(Keys.ENTER)
    panel = driver.find_element(By.ID, "panel")
    wait_for(lambda: panel.is_displayed(), "panel")
    history = json.loads(get(base, "/channels/%d/history.json" % entry["id"]))["results"]
    rows = wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "#panel-history tbody tr")
                    if len(driver.find_elements(By.CSS_SELECTOR, "#panel-strip .mark")) == len(history) else None,
                    "history rows")
    check(len(rows) == len(history) and history[0]["status"] in rows[0].text, "history %s" % rows[0].text)
    play = driver.find_element(By.ID, "panel-play").get_attribute("href")
    check(play.endswith("/playlist.m3u?id=%d&status=all" % entry["id"]), play)
    check(entry["stream"] in get(base, "/playlist.m3u?id=%d&status=all" % entry["id"]), "one-entry playlist")
    panel.send_keys(Keys.ESCAPE)
    wait_for(lambda: not panel.is_displayed(), "panel closed")


def case_hostile_text_stays_text(driver, base, entries):
    open_page(driver, base, "?q=evil")
    names = names_shown(driver)
    check(HOSTILE_NAME in names, "hostile name shown as %s" % names)
    check(driver.execute_script("return window.pwned === undefined"), "hostile name ran script")
    check(not driver.find_elements(By.CSS_SELECTOR, "#rows img:not([src*='/picture.jpg'])"), "injected image")
    for link in driver.find_elements(By.CSS_SELECTOR, "#rows a"):
        check(link.get_attribute("href").split(":")[0] in ("http", "https", "rtmp", "rtsp", "mms"),
              "link " + link.get_attribute("href"))
    check(driver.find_elements(By.XPATH, "//span[contains(@class,'addr')][starts-with(.,'javascript:')]"),
          "javascript: address shown as text")


def case_progress_updates_rows(driver, base, entries, world):
    world.start_run()
    open_page(driver, base)
    driver.execute_script("window.notReloaded = true")
    text = driver.find_element(By.ID, "run-text")
    wait_for(lambda: "Check running" in text.text, "progress shown, not %r" % text.text)
    changed = world.wait_for_changed_entry()
    row = '#rows tr[data-id="%d"] .c-status' % changed["id"]
    wait_for(lambda: [r for r in driver.find_elements(By.CSS_SELECTOR, row) if changed["status"] in r.text],
             "row of %s updated" % changed["name"])
    wait_for(lambda: "Check running" not in text.text, "run ended")
    check(driver.execute_script("return window.notReloaded === true"), "page reloaded")


def case_pictures_marked(driver, base, world):
    """A black stream is black, a still card (and black) frozen at its second check, a moving one
    not."""
    world.wait_for_check(2)
    entries = world.entries()
    marks = {name: (e["picture"], e["black"], e["frozen"]) for name, e in entries.items()
             if name in ("Brazil Black", "Chile Card", "Denmark Moving", "Albania Gone")}
    check(marks == {"Brazil Black": (True, True, True), "Chile Card": (True, False, True),
                    "Denmark Moving": (True, False, False), "Albania Gone": (False, False, False)}, marks)
    open_page(driver, base, "?q=brazil+black")
    check("black" in driver.find_element(By.CSS_SELECTOR, "#rows .c-status").text, "black mark")
    image = driver.find_element(By.CSS_SELECTOR, "#rows .c-pic img")
    wait_for(lambda: driver.execute_script("return arguments[0].complete && arguments[0].naturalWidth", image)
             == 320, "picture shown")


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def screenshots(base, shots):
    os.makedirs(shots, exist_ok=True)
    for label, width, height in [("desktop", 1280, 800), ("phone", 390, 844)]:
        driver = chromium(width, height)
        try:
            driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 700})
            open_page(driver, base)
            driver.save_screenshot(os.path.join(shots, label + ".png"))
            driver.find_element(By.CSS_SELECTOR, "#rows tr[data-id] button.open").click()
            wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "#panel-history tbody tr"), "panel")
            driver.save_screenshot(os.path.join(shots, label + "-panel.png"))
        finally:
            driver.quit()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--shots", required=True)
    parser.add_argument("--fixture")
    parser.add_argument("--serve")
    args = parser.parse_args()
    if args.fixture:
        from page_fixture import FixtureWorld
        world = FixtureWorld(args.fixture, HOSTILE_NAME)
    else:
        from serve_world import ServeWorld
        world = ServeWorld(args.serve, HOSTILE_NAME)
    failures = 0
    try:
        base = world.base
        entries = json.loads(get(base, "/channels.json"))["entries"]
        driver = chromium(1280, 800)
        try:
            for case in [case_table_fills_and_sorts, case_filters_bookmark_and_playlist,
                         case_history_panel, case_hostile_text_stays_text]:
                failures += run_case(case, driver, base, entries)
            failures += run_case(case_progress_updates_rows, driver, base, entries, world)
            if args.serve:
                failures += run_case(case_pictures_marked, driver, base, world)
            logs = [l for l in driver.get_log("browser") if "Content Security Policy" in l["message"]]
            check(not logs, "the page breaks its own Content-Security-Policy: %s" % logs)
        finally:
            driver.quit()
        screenshots(base, args.shots)
    finally:
        world.stop()
    return 1 if failures else 0


def run_case(case, *args):
    try:
        case(*args)
        print("ok", case.__name__)
        return 0
    except Exception as err:  # every case runs; each failure is reported
        print("FAIL", case.__name__, err)
        return 1


if __name__ == "__main__":
    sys.exit(main())
