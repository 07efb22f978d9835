"""A whole installation for browser tests and screenshots: a program folder in a temporary
directory with the headless engine copied in (it keeps its database beside itself), the switcher
simulator on 127.0.0.1, qtx-console on a free port of 127.0.0.1, and headless Chromium driven by
Selenium."""
import http.cookiejar
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

from selenium.common.exceptions import StaleElementReferenceException
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

PASSWORD = "operator password"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Installation:
    def __init__(self, build, engine=True):
        self.build = build
        self.folder = tempfile.mkdtemp(prefix="qtx-console-") + "/"
        self.procs = {}
        tool = f"{build}/apps/qtx-eventdb/qtx-eventdb"
        self.db = self.folder + "QTXAutomation.mdb"
        subprocess.run([tool, "create", self.db], check=True, capture_output=True)
        self.sim_port = free_port()
        subprocess.run([tool, "set", self.db, "IPAddr=127.0.0.1", f"IPPort={self.sim_port}"],
                       check=True, capture_output=True)
        for name, role in (("admin", "admin"), ("operator", "operator"), ("viewer", "viewer")):
            subprocess.run([self.console_binary(), "add-user", name, "--role", role, "--folder", self.folder],
                           input=PASSWORD + "\n", text=True, check=True, capture_output=True)
        self.start_sim()
        if engine:
            shutil.copy(f"{build}/apps/qtx-automation-headless/qtx-automation-headless", self.folder)
            self.procs["engine"] = subprocess.Popen([self.folder + "qtx-automation-headless"], cwd=self.folder,
                                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        console = subprocess.Popen([self.console_binary(), "--folder", self.folder, "--listen", "127.0.0.1:0"],
                                   stdout=subprocess.PIPE, text=True)
        self.procs["console"] = console
        line = console.stdout.readline()
        self.url = line.split("serving ")[1].split("/ for")[0]
        self.driver = None

    def console_binary(self):
        return f"{self.build}/apps/qtx-console/qtx-console"

    def start_sim(self):
        self.procs["sim"] = subprocess.Popen(
            [f"{self.build}/apps/qtx-switcher-sim/qtx-switcher-sim", "--port", str(self.sim_port), "--no-stdin",
             "--frame-log", self.folder + "frames.log"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self, name):
        p = self.procs.pop(name, None)
        if p is not None:
            if p.stdout is not None:
                p.stdout.close()
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def browser(self, width=1280, height=800):
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--no-first-run",
                     "--disable-dev-shm-usage", f"--window-size={width},{height}",
                     f"--user-data-dir={tempfile.mkdtemp(prefix='qtx-chromium-')}"):
            options.add_argument(flag)
        # The browser's console log, to catch what the page's policy blocks.
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        return self.driver

    def scheme(self, dark):
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})

    # ---- page helpers ----
    def open(self, path, loaded=True, timeout=15):
        self.driver.get(self.url + path)
        if loaded:
            self.wait(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-loaded") == "true", timeout)

    def wait(self, condition, timeout=15):
        # Live pages re-render their rows: an element read just as it is replaced is read again.
        return WebDriverWait(self.driver, timeout, poll_frequency=0.2,
                             ignored_exceptions=(StaleElementReferenceException,)).until(condition)

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def finds(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def login(self, user="operator", timeout=15):
        self.open("/login.html", loaded=False)
        self.find("#user").send_keys(user)
        self.find("#password").send_keys(PASSWORD)
        self.find("#submit").click()
        self.wait(lambda d: d.current_url.endswith("/week.html"), timeout)
        self.wait(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-loaded") == "true", timeout)

    # ---- the API, for preparing data quickly ----
    def api_session(self, user="admin"):
        jar = http.cookiejar.CookieJar()
        opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(jar))
        req = urllib.request.Request(self.url + "/api/login", data=json.dumps({"user": user, "password": PASSWORD}).encode(),
                                     headers={"Content-Type": "application/json"})
        token = json.load(opener.open(req))["csrf"]

        def call(method, path, body=None):
            data = None if body is None else json.dumps(body).encode()
            r = urllib.request.Request(self.url + path, data=data, method=method,
                                       headers={"Content-Type": "application/json", "X-CSRF-Token": token})
            return json.load(opener.open(r))
        return call

    def policy_violations(self):
        """Browser log entries about the Content-Security-Policy since the last call."""
        if self.driver is None:
            return []
        return [e["message"] for e in self.driver.get_log("browser")
                if "content security policy" in e.get("message", "").lower()]

    def close(self):
        if self.driver is not None:
            self.driver.quit()
        for name in list(self.procs):
            self.stop(name)
        shutil.rmtree(self.folder, ignore_errors=True)
