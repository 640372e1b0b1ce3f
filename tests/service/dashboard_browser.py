#!/usr/bin/python3
"""dashboard_browser.py TARVO_SERVICE [SCREENSHOT_DIR]: the parent's pages in headless chromium,
each change checked in what the child's computer then reads from the service."""
import json
import os
import re
import subprocess
import sys
import tempfile
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

SERVICE = sys.argv[1]
SHOTS = sys.argv[2] if len(sys.argv) > 2 else None
DEVICE, KID = "DEV-BROWSER", {"device_id": "DEV-BROWSER", "username": "kid"}


def test(service, profile):
    email, password = re.search(r"demo parent: (\S+) password: (\S+)",
                                service.stdout.readline()).groups()
    base = "http://127.0.0.1:%s/" % re.search(r":(\d+)$", service.stdout.readline()).group(1)

    def client(call, body=None, **query):
        request = urllib.request.Request(base + "api/" + call + "?" + urllib.parse.urlencode(query),
                                         body and json.dumps(body).encode(),
                                         {"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as answer:
            return json.load(answer)

    client("RequestMoreTime", dict(KID, requested_minutes=20, reason="homework"))
    client("SendChildChatMessage", {"deviceId": DEVICE, "username": "kid", "message": "can I play?"})
    read_by_parent = lambda: client("GetChildChatMessages", deviceId=DEVICE, username="kid")[
        "messages"][0]["readByParentAt"]
    assert read_by_parent() is None

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["headless", "no-sandbox", "disable-dev-shm-usage", "window-size=1280,1800",
                "user-data-dir=" + profile]:
        options.add_argument("--" + arg)
    driver = webdriver.Chrome(service=DriverService("/usr/bin/chromedriver"), options=options)
    wait = WebDriverWait(driver, 20)
    by_id = lambda i: driver.find_element(By.ID, i)
    shot = lambda name: SHOTS and driver.save_screenshot(os.path.join(SHOTS, name))

    def sign_in(page):
        driver.get(base + page)
        by_id("email").send_keys(email)
        by_id("password").send_keys(password)
        shot("service-signin.png")
        by_id("submit").click()

    try:
        sign_in("Signin")
        # Grant the pending request with five more minutes than asked.
        minutes = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, "#requests .grant-minutes"))
        minutes.clear()
        minutes.send_keys("25")
        shot("service-dashboard.png")
        driver.find_element(By.CSS_SELECTOR, "#requests .grant").click()
        wait.until(lambda d: "Granted 25 min" in by_id("requests").text)
        assert client("CheckMoreTimeApproval", deviceId=DEVICE, username="kid")[
            "granted_minutes"] == 25
        # The child's message, shown on the dashboard, is read now.
        wait.until(lambda d: "can I play?" in by_id("chat").text)
        wait.until(lambda d: read_by_parent() is not None)


        # The setup window: the sign-in posts the token, the assignment page the
        # accounts, through the web view's bridge (recorded here).
        driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": """
            window.chrome = {webview: {postMessage: (m) => sessionStorage.setItem('posted',
                JSON.stringify([...JSON.parse(sessionStorage.getItem('posted') || '[]'), m])),
              addEventListener() {}, removeEventListener() {}}};"""})
        posted = lambda: driver.execute_script(
            "return JSON.parse(sessionStorage.getItem('posted') || '[]')")
        sign_in("Signin?type=desktop&deviceId=" + DEVICE)
        token = wait.until(lambda d: next((m.split("|", 1)[1] for m in posted()
                                           if m.startswith("updateData|")), None))
        assert re.fullmatch(r"[0-9a-f]{64}", token), token
        client("SetDesktopSettings", {"device_id": DEVICE, "token": token,
                                      "users": ["kid", "sibling"]})
        driver.get(base + "AssignDesktopUsers?from=desktop")
        Select(wait.until(lambda d: d.find_element(By.CSS_SELECTOR, "select[data-account=sibling]"))
               ).select_by_value("new")
        shot("service-assign.png")
        by_id("save").click()
        wait.until(lambda d: any(m.startswith("userCreated|") for m in posted()))
        assert "closeApp" not in posted(), "closed before the computer saved its settings"
        by_id("finish").click()
        wait.until(lambda d: "closeApp" in posted())
        assert client("GetUsersForDeviceId", deviceId=DEVICE) == ["kid", "sibling"]
        print("dashboard browser test passed")
    finally:
        driver.quit()


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as data, tempfile.TemporaryDirectory() as profile:
        service = subprocess.Popen([SERVICE, "--listen", "127.0.0.1:0", "--data", data, "--quiet",
                                    "--seed-demo", DEVICE + ":kid"], stdout=subprocess.PIPE,
                                   text=True)
        try:
            test(service, profile)
        finally:
            service.terminate()
            service.wait(timeout=10)
