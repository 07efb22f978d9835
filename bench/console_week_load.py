"""The Week page's load in headless Chromium with 32767 records, beside its floor measured in the
same run: the same browser fetching /api/events and parsing it, without building the page.
Usage: bench/console_week_load.py BUILD_DIR"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "browser"))
from console_harness import Installation  # noqa: E402

build = sys.argv[1] if len(sys.argv) > 1 else "build"
site = Installation(build, engine=False)
try:
    subprocess.run(["sqlite3", site.db,
                    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 32767) "
                    "INSERT INTO Automation (Number, Day, Time, Title, Active, xcontrol, SourceChan, DestChan) "
                    "SELECT i, i % 7, printf('%02d:%02d:%02d', i % 24, i % 60, i % 59), 'Event number ' || i, "
                    "1, 1, 1 + i % 16, 1 + i % 8 FROM n"], check=True)
    site.browser()
    site.login("viewer", timeout=120)
    site.driver.set_script_timeout(120)
    page, floor = [], []
    for _ in range(3):
        t0 = time.monotonic()
        site.open("/week.html", timeout=120)
        page.append((time.monotonic() - t0) * 1000)
        ms = site.driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            const t0 = performance.now();
            fetch('/api/events').then((r) => r.json()).then((events) => done([performance.now() - t0, events.length]));
        """)
        floor.append(ms[0])
        assert ms[1] == 32767, ms
    chips = len(site.finds("#week .chip"))
    p, f = statistics.median(page), statistics.median(floor)
    print(f"Week page with 32767 records: {p:.0f} ms to loaded ({chips} entries drawn); "
          f"floor (fetch and parse /api/events in the page): {f:.0f} ms; ratio {p / f:.2f}")
finally:
    site.close()
