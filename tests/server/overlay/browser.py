"""The overlay page in headless Chromium against the real brannoc-server, in a network namespace of
its own: the live total and users, the offline mark when the server stops, and the same page going
live again when it is back. Usage: browser.py BUILD; exits non-zero with the reason on a failure."""

import os
import re
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tools"))
from tally_client import TallyClient  # noqa: E402  pylint: disable=wrong-import-position

BUILD = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="brannoc-overlay.")
LOGS = []


def start_server():
    """Starts the server on the one database; returns once both of its ports are listening."""
    log = os.path.join(WORK, "server-%d.log" % len(LOGS))
    LOGS.append(log)
    with open(log, "wb") as out:
        server = subprocess.Popen([os.path.join(BUILD, "brannoc-server"), "--db", os.path.join(WORK, "tally.db"),
                                   "--admin-socket", os.path.join(WORK, "admin.sock")], stderr=out)
    deadline = time.monotonic() + 10
    while not all(sign in open(log).read() for sign in ("listening on", "overlay on")):
        if server.poll() is not None or time.monotonic() > deadline:
            raise AssertionError("the server did not start:\n" + open(log).read())
        time.sleep(0.05)
    return server


def until(driver, what, script):
    """Waits for a script (returning a truth value) on the page to become true."""
    script = "const $ = (s) => document.querySelector(s);" + script
    WebDriverWait(driver, 10, poll_frequency=0.05).until(lambda d: d.execute_script(script), what)


def run(driver, servers):
    with TallyClient() as zed:
        zed.whoami("zed", "Zed")
        zed.increment()
        # Each bell notes the total it rang over, from before the page's own script runs.
        driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": "window.bells = [];"
                               "HTMLMediaElement.prototype.play = function () {"
                               " bells.push(document.getElementById('total').textContent); return Promise.resolve(); }"})
        driver.get("http://127.0.0.1:34580/overlay?users=1&bell=1")
        until(driver, "the total 1, live", "return $('#total').textContent === '1' && $('#offline').hidden")
        ago = driver.execute_script("return document.getElementById('ago').textContent")
        assert re.fullmatch(r"0:\d\d", ago), "elapsed time: %r" % ago
        elapsed = [[0, "0:00"], [59, "0:59"], [60, "1:00"], [3599, "59:59"], [3600, "1:00:00"],
                   [3725, "1:02:05"], [36000, "10:00:00"], [360000, "100:00:00"]]
        shown = driver.execute_script("return arguments[0].map(([s]) => formatElapsed(s))", elapsed)
        assert shown == [row[1] for row in elapsed], "elapsed formats: %r" % shown

        # Rows in id order, names as plain text, counts and presence as they change.
        with TallyClient() as amy, TallyClient() as bob:
            bob.whoami("bob", "Bob")
            amy.whoami("amy", "<b>Amy</b> & co")
            amy.increment()
            amy.increment()
            zed.ping()  # the server drops connections silent for 6 s
            until(driver, "the total 3 from a second user", "return $('#total').textContent === '3'")
            rows = driver.execute_script(
                "return [...document.querySelectorAll('#users li')].map(r => [r.dataset.id,"
                " r.querySelector('.name').textContent, r.querySelector('.count').textContent,"
                " r.querySelector('.dot').classList.contains('on')])")
            assert rows == [["amy", "<b>Amy</b> & co", "2", True], ["bob", "Bob", "0", True],
                            ["zed", "Zed", "1", True]], "users: %r" % rows
        until(driver, "amy's dot out and bob (never counted) gone once their connections closed",
              "return !$('[data-id=\"amy\"] .dot').classList.contains('on') && !$('[data-id=\"bob\"]')")

    # The server goes away and comes back: the same page (no reload) goes offline, then live again.
    driver.execute_script("window.sameDocument = true")
    servers[0].terminate()
    servers[0].wait(10)
    until(driver, "the offline mark once the server stopped", "return !$('#offline').hidden")
    assert driver.find_element("id", "offline").is_displayed(), "the offline mark is hidden by style"
    servers[0] = start_server()
    until(driver, "live again after the restart", "return $('#offline').hidden && $('#total').textContent === '3'")
    with TallyClient() as anyone:
        anyone.increment()
        until(driver, "the total 4 after the restart", "return $('#total').textContent === '4'")
    assert driver.execute_script("return window.sameDocument === true"), "the page was reloaded"
    # A bell for each rise the page saw, none for its first total nor for the same total after the restart.
    bells = driver.execute_script("return bells")
    assert "\u2013" not in bells and bells[-1:] == ["3"] and bells.count("3") == 1, "bells over: %r" % bells


def main():
    servers = [None]
    driver = None
    try:
        servers[0] = start_server()
        options = webdriver.ChromeOptions()
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
            options.add_argument(argument)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        run(driver, servers)
    except Exception as error:  # pylint: disable=broad-except
        sys.exit("overlay_browser: FAILED: %s: %s" % (type(error).__name__, error))
    finally:
        if driver:
            driver.quit()
        if servers[0]:
            servers[0].kill()
        subprocess.run(["rm", "-rf", WORK], check=False)
    print("overlay_browser: passed")


main()
