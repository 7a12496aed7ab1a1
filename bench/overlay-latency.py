#!/usr/bin/python3
"""How long an increment takes to show on the live overlay page.

    bench/overlay-latency.py BUILD [increments]      (default: 200)

Runs as root in a private network namespace (re-executing itself under unshare): starts
BUILD/brannoc-server on a new database in a temporary folder, opens /overlay in headless Chromium,
and watches #total with a MutationObserver that notes Date.now() for each total it shows. A raw
client then sends the increments one by one, 150-300 ms apart at random (under the server's 10 a
second per connection, and never silent long enough to be dropped), noting the time of each send.
Prints p50, p99 and the maximum of (time shown - time sent) in ms. The goal: p99 under 100 ms.
Both clocks are this machine's. Everything it starts is stopped on every way out."""

import math
import os
import random
import subprocess
import sys
import tempfile
import time

WATCH = """
window.shown = {};
new MutationObserver(() => {
  const total = document.getElementById("total").textContent;
  if (!(total in window.shown)) window.shown[total] = Date.now();
}).observe(document.getElementById("total"), {childList: true, characterData: true, subtree: true});
"""


def main(build, count):
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    sys.path.insert(0, os.path.join(top, "tools"))
    from tally_client import TallyClient
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait

    work = tempfile.mkdtemp(prefix="brannoc-overlay-latency.")
    log = os.path.join(work, "server.log")
    with open(log, "wb") as out:
        server = subprocess.Popen([os.path.join(build, "brannoc-server"), "--db", os.path.join(work, "tally.db"),
                                   "--admin-socket", os.path.join(work, "admin.sock")], stderr=out)
    driver = None
    try:
        deadline = time.monotonic() + 10
        while "overlay on" not in open(log).read():
            if server.poll() is not None or time.monotonic() > deadline:
                sys.exit("overlay-latency: the server did not start:\n" + open(log).read())
            time.sleep(0.05)
        options = webdriver.ChromeOptions()
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
            options.add_argument(argument)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.get("http://127.0.0.1:34580/overlay")
        total = "return document.getElementById('total').textContent"
        WebDriverWait(driver, 10).until(lambda d: d.execute_script(total) == "0", "the page showed no total")
        driver.execute_script(WATCH)

        sent = []
        with TallyClient() as client:
            for _ in range(count):
                time.sleep(random.uniform(0.15, 0.30))
                sent.append(time.time() * 1000)
                client.increment()
            WebDriverWait(driver, 10).until(lambda d: d.execute_script(total) == str(count),
                                            "the page did not reach the last total")
        shown = {int(k): v for k, v in driver.execute_script("return window.shown").items()}
        # The i-th increment made the total i; a total skipped by a merged event counts from the next shown.
        latencies = sorted(min(t for n, t in shown.items() if n >= i) - sent[i - 1] for i in range(1, count + 1))

        def rank(q):
            return latencies[max(0, math.ceil(q * len(latencies)) - 1)]

        print("%d cores; load average %s" % (os.cpu_count(), open("/proc/loadavg").read().split()[0]))
        print("%d increments, %d totals shown: p50 %.1f ms, p99 %.1f ms, max %.1f ms (goal: p99 < 100 ms)"
              % (count, len(shown), rank(0.5), rank(0.99), latencies[-1]))
    finally:
        if driver:
            driver.quit()
        server.terminate()
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        subprocess.run(["rm", "-rf", work], check=False)


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: bench/overlay-latency.py BUILD [increments]")
    if not os.environ.get("BRANNOC_OVERLAY_NETNS"):
        os.execvp("unshare", ["unshare", "-n", "env", "BRANNOC_OVERLAY_NETNS=1", sys.executable,
                              os.path.abspath(__file__)] + [os.path.abspath(sys.argv[1])] + sys.argv[2:])
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) == 3 else 200)
