"""Screenshots of every console page at 1280x800, in the browser's light and dark scheme, into
docs/screenshots/. Usage: screenshots.py BUILD_DIR OUT_DIR"""
import datetime
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_harness import Installation  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

build, out = sys.argv[1], sys.argv[2]
site = Installation(build)
try:
    api = site.api_session("admin")
    now = datetime.datetime.now()
    today = ["mon", "tue", "wed", "thu", "fri", "sat", "sun"][now.weekday()]

    def soon(seconds):
        return (now + datetime.timedelta(seconds=seconds)).strftime("%H:%M:%S")

    events = [
        {"title": "Morning feed to transmitter", "days": ["mon", "tue", "wed", "thu", "fri"], "time": "06:00:00",
         "actions": [{"kind": "take", "source": 3, "destination": 1}]},
        {"title": "Station ident", "days": ["sat", "sun"], "time": "12:00:00", "marking": "one-time",
         "actions": [{"kind": "salvo", "salvo": 5}]},
        {"title": "Tone on line 4", "days": ["mon"], "time": "07:30:00",
         "condition": {"when": "on", "source": 2, "destination": 4},
         "actions": [{"kind": "relay", "mode": "pulse", "relay": 4}]},
        {"title": "Level for the news", "days": ["tue", "thu"], "time": "08:00:00", "marking": "skip-next",
         "actions": [{"kind": "gain", "target": "source", "channel": 2, "gain": 900}]},
        {"title": "Cue the studio", "days": ["wed"], "time": "09:00:00",
         "actions": [{"kind": "message", "to": "ip", "address": "127.0.0.1", "port": 7000, "text": "GO^M"}]},
        {"title": "Old evening feed", "days": ["fri"], "time": "18:00:00", "marking": "inactive",
         "actions": [{"kind": "take", "source": 7, "destination": 1}]},
        {"title": "Evening feed", "days": ["mon", "tue", "wed", "thu", "fri"], "time": "18:00:00",
         "actions": [{"kind": "take", "source": 6, "destination": 1}]},
        {"title": "Spare (no time yet)", "days": [], "time": None, "actions": [{"kind": "salvo", "salvo": 9}]},
        {"title": "Demo take", "days": [today], "time": soon(4), "actions": [{"kind": "take", "source": 5, "destination": 2}]},
        {"title": "Only while 2 feeds 9", "days": [today], "time": soon(5),
         "condition": {"when": "on", "source": 2, "destination": 9},
         "actions": [{"kind": "take", "source": 4, "destination": 3}]},
    ]
    for e in events:
        api("POST", "/api/events", e)
    time.sleep(8)  # the two demo events run

    site.browser()
    pages = [("login", "/login.html", False), ("week", "/week.html", True), ("event", "/event.html?number=3", True),
             ("preview", "/preview.html", True), ("status", "/status.html", True),
             ("settings", "/settings.html", True), ("users", "/users.html", True)]
    os.makedirs(out, exist_ok=True)
    for dark in (False, True):
        site.scheme(dark)
        for name, path, needs_login in pages:
            if name == "login":
                site.open(path, loaded=False)
            else:
                if not site.driver.get_cookies():
                    site.login("admin")
                site.open(path)
            time.sleep(0.5)
            file = os.path.join(out, f"console-{name}-{'dark' if dark else 'light'}.png")
            site.driver.save_screenshot(file)
            print(file)
finally:
    site.close()
