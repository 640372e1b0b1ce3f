#!/usr/bin/python3
"""The parent's pages in a real browser (headless chromium), each change checked
in what the client then receives through its own classes (service_client_probe).

    dashboard_browser.py TARVO_SERVICE CLIENT_PROBE [SCREENSHOT_DIR]

With SCREENSHOT_DIR the pages are also saved there as PNGs.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

SERVICE, PROBE = sys.argv[1], sys.argv[2]
SHOTS = sys.argv[3] if len(sys.argv) > 3 else None
DEVICE, ACCOUNT = "DEV-BROWSER", "kid"
DEADLINE = 20


def wait_for(what, check, timeout=DEADLINE):
    end = time.time() + timeout
    while time.time() < end:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Probe:
    """The real client, one call at a time, plus one open event stream."""

    def __init__(self, base):
        self.base = base
        self.events = []
        self.stream = None

    def call(self, *args, user=ACCOUNT):
        out = subprocess.run([PROBE, self.base, DEVICE, user, *args], capture_output=True,
                             text=True, timeout=60)
        line = out.stdout.strip().splitlines()[-1] if out.stdout.strip() else "{}"
        data = json.loads(line)
        assert not (isinstance(data, dict) and "error" in data), (args, data)
        return data

    def subscribe(self):
        self.stream = subprocess.Popen([PROBE, self.base, DEVICE, ACCOUNT, "events"],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        os.set_blocking(self.stream.stdout.fileno(), False)
        wait_for("the subscription", lambda: any(e["kind"] == "subscribed" for e in self.read()))

    def read(self):
        while True:
            line = self.stream.stdout.readline()
            if not line:
                return self.events
            self.events.append(json.loads(line))

    def event(self, kind, match=lambda e: True):
        return wait_for("a %s event" % kind,
                        lambda: next((e for e in self.read() if e["kind"] == kind and match(e)), None))

    def close(self):
        if self.stream:
            self.stream.stdin.close()
            self.stream.wait(timeout=10)


def main():
    data = tempfile.mkdtemp(prefix="tarvo-browser-")
    profile = tempfile.mkdtemp(prefix="tarvo-chromium-")
    log = open(os.path.join(data, "service.log"), "w")
    service = subprocess.Popen([SERVICE, "--listen", "127.0.0.1:0", "--data", data,
                                "--seed-demo", DEVICE + ":" + ACCOUNT],
                               stdout=subprocess.PIPE, stderr=log, text=True)
    driver = None
    probe = None
    try:
        login = service.stdout.readline()
        listening = service.stdout.readline()
        port = int(re.search(r":(\d+)$", listening.strip()).group(1))
        base = "http://127.0.0.1:%d/" % port
        email, password = re.search(r"demo parent: (\S+) password: (\S+)", login).groups()

        probe = Probe(base)
        # What the child's computer has already told the service.
        probe.call("usage", "com.apple.Safari", "Safari", "1200")
        probe.call("usage", "org.game", "Game", "600")
        probe.call("request", "20", "homework")
        probe.call("send", "hello from kid")
        probe.subscribe()

        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ["headless", "no-sandbox", "disable-gpu", "disable-background-networking",
                    "disable-component-update", "disable-sync", "no-first-run",
                    "disable-dev-shm-usage", "window-size=1280,1800", "user-data-dir=" + profile]:
            options.add_argument("--" + arg)
        driver = webdriver.Chrome(service=DriverService("/usr/bin/chromedriver"), options=options)
        wait = WebDriverWait(driver, DEADLINE)
        by_id = lambda i: driver.find_element(By.ID, i)
        shot = lambda name: SHOTS and driver.save_screenshot(os.path.join(SHOTS, name))

        # Sign in from an ordinary browser: the dashboard follows.
        driver.get(base + "Signin")
        shot("service-signin.png")
        by_id("email").send_keys(email)
        by_id("password").send_keys(password)
        by_id("submit").click()
        wait.until(lambda d: d.current_url.endswith("/dashboard"))
        wait.until(lambda d: "wikipedia.org" in by_id("wl").get_property("value"))

        # The chart shows today's usage, longest first, in proportion.
        bars = wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#chart-today .bar") or None)
        assert [b.get_attribute("data-bundle") for b in bars] == ["com.apple.Safari", "org.game"], \
            [b.get_attribute("data-bundle") for b in bars]
        widths = [b.size["width"] for b in bars]
        assert abs(widths[1] * 2 - widths[0]) <= 2, widths
        # The child's message is there.
        wait.until(lambda d: "hello from kid" in by_id("chat").text)

        # Change the block list: the client gets the rules pushed and fetches them.
        bl = by_id("bl")
        bl.clear()
        bl.send_keys("example.org\ngames.example")
        by_id("save-rules").click()
        wait.until(lambda d: "Saved" in by_id("rules-status").text)
        pushed = probe.event("rules", lambda e: "games.example" in e["rules"]["blacklist"])
        assert pushed["rules"]["blacklist"] == ["example.org", "games.example"], pushed
        assert probe.call("rules")["blacklist"] == ["example.org", "games.example"]

        # Grant the pending request with five more minutes than asked.
        minutes = driver.find_element(By.CSS_SELECTOR, "#requests .grant-minutes")
        minutes.clear()
        minutes.send_keys("25")
        shot("service-dashboard.png")
        driver.find_element(By.CSS_SELECTOR, "#requests .grant").click()
        wait.until(lambda d: "Granted 25 min" in by_id("requests").text)
        assert probe.event("grant")["minutes"] == 25
        assert probe.call("approval")["minutes"] == 0, "a pushed grant was handed out twice"

        # Allow an app seen in the usage reports with one click, and set the quota.
        chip = wait.until(lambda d: next((c for c in d.find_elements(By.CSS_SELECTOR, "#seen .chip")
                                          if "org.game" in c.text), None))
        chip.click()
        by_id("daily").clear()
        by_id("daily").send_keys("90")
        by_id("save-limits").click()
        wait.until(lambda d: "Saved" in by_id("limits-status").text)
        probe.event("force")
        limits = probe.call("limits")
        assert limits["daily"] == 90 and "org.game" in limits["apps"], limits

        # A chat message reaches the child with the parent's name; its read mark comes back.
        by_id("chat-input").send_keys("dinner at 7")
        by_id("chat-send").click()
        wait.until(lambda d: "dinner at 7" in by_id("chat").text)
        polled = probe.call("chat", "0")
        mine = [m for m in polled["messages"] if m["text"] == "dinner at 7"]
        assert mine and mine[0]["from"] == "parent" and mine[0]["senderName"] == "Demo Parent", polled
        assert polled["parents"] == ["Demo Parent"], polled
        shot("service-dashboard-after.png")

        # The setup window: sign-in posts the token, the assignment page the accounts.
        driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": """
            window.chrome = window.chrome || {};
            window.chrome.webview = { postMessage: (m) => {
                const all = JSON.parse(sessionStorage.getItem('posted') || '[]');
                all.push(m); sessionStorage.setItem('posted', JSON.stringify(all)); },
              addEventListener() {}, removeEventListener() {} };"""})
        posted = lambda: driver.execute_script("return JSON.parse(sessionStorage.getItem('posted') || '[]')")
        driver.get(base + "Signin?type=desktop&deviceId=" + DEVICE)
        by_id("email").send_keys(email)
        by_id("password").send_keys(password)
        by_id("submit").click()
        message = wait.until(lambda d: next((m for m in posted() if m.startswith("updateData|")), None))
        token = message.split("|", 1)[1]
        assert re.fullmatch(r"[0-9a-f]{64}", token), message
        assert driver.current_url.startswith(base + "Signin"), "left the page in the setup window"
        # What the setup window does with the token: send this computer's accounts.
        body = json.dumps({"device_id": DEVICE, "computer_name": "kids-mac", "os": "macos",
                           "users": ["kid", "sibling"], "token": token}).encode()
        request = urllib.request.Request(base + "api/SetDesktopSettings", data=body,
                                         headers={"Content-Type": "application/json"})
        assert urllib.request.urlopen(request).status == 200
        driver.get(base + "AssignDesktopUsers?from=desktop")
        select = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, "select[data-account=sibling]"))
        Select(select).select_by_value("new")
        name = select.find_element(By.XPATH, "following-sibling::input")
        name.clear()
        name.send_keys("Sibling")
        shot("service-assign.png")
        by_id("save").click()
        wait.until(lambda d: any(m.startswith("userCreated|") for m in posted()))
        assert "closeApp" not in posted(), "closed before the computer saved its settings"
        by_id("finish").click()
        wait.until(lambda d: "closeApp" in posted())
        assert sorted(probe.call("users", user="")) == ["kid", "sibling"]
        print("dashboard browser test passed")
    finally:
        if probe:
            probe.close()
        if driver:
            driver.quit()
        service.terminate()
        service.wait(timeout=10)
        log.close()
        shutil.rmtree(data, ignore_errors=True)
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    main()
