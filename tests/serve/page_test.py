#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Opens serve's web page in headless Chromium and uses it as a person would, against
`morvek-cli serve` over generated streams (serve_world.py); expectations come from serve's own
/channels.json. Screenshots at desktop and phone widths go to SHOTS.

    page_test.py PROGRAM SHOTS          (exit 77, skipped, without selenium)"""
import atexit
import json
import os
import shutil
import sys
import tempfile
import time
import urllib.parse
import urllib.request

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select
except ImportError:
    sys.exit(77)

HOSTILE_NAME = '<img src=x onerror="window.pwned=1">Evil'
WAIT_SECONDS = 20


def chromium(width, height):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=%d,%d" % (width, height)]:
        options.add_argument(flag)
    profile = tempfile.mkdtemp(prefix="morvek-chromium-")
    atexit.register(shutil.rmtree, profile, True)
    options.add_argument("--user-data-dir=" + profile)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 700})
    return driver


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


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def get(base, path):
    with urllib.request.urlopen(base + path, timeout=10) as reply:
        return reply.read().decode("utf-8")


def names_shown(driver):
    return [b.text for b in driver.find_elements(By.CSS_SELECTOR, "#rows button.open")]


def query(driver):
    return urllib.parse.parse_qs(urllib.parse.urlparse(driver.current_url).query)


def open_page(driver, base, search=""):
    driver.get(base + "/" + search)
    wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "#rows button.open"), "rows")


def case_table_fills_and_sorts(driver, base, entries):
    open_page(driver, base)
    expected = sorted((e["name"] for e in entries), key=str.lower)
    check(driver.find_element(By.ID, "count").text == "%d of %d channels" % (len(entries), len(entries)), "count")
    check(names_shown(driver) == expected, "name order %s" % names_shown(driver))
    driver.find_element(By.CSS_SELECTOR, "th[data-key=name] button").click()
    check(names_shown(driver) == expected[::-1], "descending order")
    check(query(driver) == {"sort": ["name"], "dir": ["down"]}, driver.current_url)
    driver.find_element(By.CSS_SELECTOR, "th[data-key=uptime] button").click()
    uptime = {e["name"]: -1 if e["uptime"] is None else e["uptime"] for e in entries}
    shown = [uptime[n] for n in names_shown(driver)]
    check(shown == sorted(shown), "uptime order %s" % shown)


def case_filters_bookmark_and_playlist(driver, base, entries):
    open_page(driver, base)
    Select(driver.find_element(By.ID, "country")).select_by_value("Albania")
    Select(driver.find_element(By.ID, "status")).select_by_value("live")
    driver.find_element(By.ID, "q").send_keys("NEW")
    expected = ["Albania News"]
    check(names_shown(driver) == expected, "filtered %s" % names_shown(driver))
    wait_for(lambda: query(driver) == {"country": ["Albania"], "status": ["live"], "q": ["NEW"]},
             "filters in the address, not " + driver.current_url)
    playlist = urllib.parse.urlparse(driver.find_element(By.ID, "playlist").get_attribute("href"))
    m3u = get(base, playlist.path + "?" + playlist.query)
    check([line.split(",", 1)[1] for line in m3u.splitlines() if line.startswith("#EXTINF")] == expected, m3u)
    driver.get(driver.current_url)  # the address is a bookmark of the view
    wait_for(lambda: names_shown(driver) == expected, "bookmarked view")
    check(driver.find_element(By.ID, "q").get_attribute("value") == "NEW", "search restored")


def case_history_panel(driver, base, entries):
    entry = next(e for e in entries if e["name"] == "Albania News")
    open_page(driver, base, "?q=albania+news")
    driver.find_element(By.CSS_SELECTOR, "#rows button.open").send_keys(Keys.ENTER)
    panel = driver.find_element(By.ID, "panel")
    history = json.loads(get(base, "/channels/%d/history.json" % entry["id"]))["results"]
    rows = wait_for(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#panel-strip .mark")) == len(history) and
                    driver.find_elements(By.CSS_SELECTOR, "#panel-history tbody tr"), "history rows")
    check(len(rows) == len(history) and "live" in rows[0].text and "640×360" in rows[0].text, rows[0].text)
    play = driver.find_element(By.ID, "panel-play").get_attribute("href")
    check(play.endswith("/playlist.m3u?id=%d&status=all" % entry["id"]), play)
    check(entry["stream"] in get(base, "/playlist.m3u?id=%d&status=all" % entry["id"]), "one-entry playlist")
    panel.send_keys(Keys.ESCAPE)
    wait_for(lambda: not panel.is_displayed(), "panel closed")


def case_hostile_text_stays_text(driver, base, entries):
    open_page(driver, base, "?q=evil")
    check(names_shown(driver) == [HOSTILE_NAME], "hostile name shown as %s" % names_shown(driver))
    check(driver.execute_script("return window.pwned === undefined"), "hostile name ran script")
    check(not driver.find_elements(By.CSS_SELECTOR, "#rows img, #rows a"), "markup or link from the entry")
    check(driver.find_element(By.CSS_SELECTOR, "#rows .c-stream").text == "javascript:alert(1)", "address")


def case_progress_updates_rows(driver, base, world):
    world.start_run()
    open_page(driver, base)
    driver.execute_script("window.notReloaded = true")
    text = driver.find_element(By.ID, "run-text")
    wait_for(lambda: "Check running" in text.text, "progress shown, not %r" % text.text)
    changed = world.wait_for_changed_entry()
    row = '#rows tr[data-id="%d"] .c-status' % changed["id"]
    wait_for(lambda: [r for r in driver.find_elements(By.CSS_SELECTOR, row) if r.text == "live"], "row updated")
    wait_for(lambda: "Check running" not in text.text, "run ended")
    check(driver.execute_script("return window.notReloaded === true"), "page reloaded")


def case_pictures_marked(driver, base, world):
    """A black stream is black, a still card (and the black one) frozen at its second check, a
    moving one not."""
    world.wait_for_check(2)
    marks = {name: (e["picture"], e["black"], e["frozen"]) for name, e in world.entries().items()
             if name in ("Brazil Black", "Chile Card", "Denmark Moving", "Albania Gone")}
    check(marks == {"Brazil Black": (True, True, True), "Chile Card": (True, False, True),
                    "Denmark Moving": (True, False, False), "Albania Gone": (False, False, False)}, marks)
    open_page(driver, base, "?q=brazil+black")
    check("black" in driver.find_element(By.CSS_SELECTOR, "#rows .c-status").text, "black mark")
    image = driver.find_element(By.CSS_SELECTOR, "#rows .c-pic img")
    wait_for(lambda: driver.execute_script("return arguments[0].complete && arguments[0].naturalWidth", image)
             == 320, "picture shown")


def case_read_token(driver, world, shots):
    """With a read token the page asks for it, says when it is wrong, and keeps it for the tab."""
    from serve_world import TOKEN
    base = world.another_serve("--read-token-file", os.path.join(world.folder, "token"))
    driver.get(base + "/")
    form = driver.find_element(By.ID, "key-form")
    wait_for(form.is_displayed, "the token form")
    driver.save_screenshot(os.path.join(shots, "read-token.png"))
    key = driver.find_element(By.ID, "key")
    key.send_keys("wrong", Keys.ENTER)
    wait_for(lambda: "not accepted" in driver.find_element(By.ID, "key-note").text, "a wrong token refused")
    key.clear()
    key.send_keys(TOKEN, Keys.ENTER)
    wait_for(lambda: names_shown(driver) and not form.is_displayed(), "rows with the token")
    check("key=" + TOKEN in driver.find_element(By.ID, "playlist").get_attribute("href"), "playlist link lacks the key")
    open_page(driver, base)  # the tab keeps it
    check(not driver.find_element(By.ID, "key-form").is_displayed(), "asked again")


def screenshots(base, shots):
    os.makedirs(shots, exist_ok=True)
    for label, width, height in [("desktop", 1280, 800), ("phone", 390, 844)]:
        driver = chromium(width, height)
        try:
            open_page(driver, base)
            driver.save_screenshot(os.path.join(shots, label + ".png"))
            driver.find_element(By.CSS_SELECTOR, "#rows button.open").click()
            wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "#panel-history tbody tr"), "panel")
            driver.save_screenshot(os.path.join(shots, label + "-panel.png"))
        finally:
            driver.quit()


def run_case(case, *args):
    try:
        case(*args)
        print("ok", case.__name__)
        return 0
    except Exception as err:  # every case runs; each failure is reported
        print("FAIL", case.__name__, err)
        return 1


def main():
    from serve_world import ServeWorld
    world = ServeWorld(sys.argv[1], HOSTILE_NAME)
    try:
        entries = json.loads(get(world.base, "/channels.json"))["entries"]
        driver = chromium(1280, 800)
        try:
            failures = sum(run_case(case, driver, world.base, entries) for case in [
                case_table_fills_and_sorts, case_filters_bookmark_and_playlist, case_history_panel,
                case_hostile_text_stays_text])
            failures += run_case(case_progress_updates_rows, driver, world.base, world)
            failures += run_case(case_pictures_marked, driver, world.base, world)
            os.makedirs(sys.argv[2], exist_ok=True)
            failures += run_case(case_read_token, driver, world, sys.argv[2])
            logs = [entry for entry in driver.get_log("browser") if "Content Security Policy" in entry["message"]]
            failures += run_case(lambda: check(not logs, "the page breaks its own policy: %s" % logs))
        finally:
            driver.quit()
        screenshots(world.base, sys.argv[2])
    finally:
        world.stop()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
