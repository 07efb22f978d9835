"""The Week page's first grid in headless Chromium with 32767 records, beside its floor measured
in the same run: the sqlite3 shell writing the week's rows (every row with a day), every column,
as JSON (sqlite3 -json FILE ...), read whole.
The figure is the time from the navigation's start to the first grid drawn (the page's
performance mark "week-grid"); the page's wall time as the driver sees it is printed beside it.
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
    grid, wall, floor = [], [], []
    for _ in range(5):
        t0 = time.monotonic()
        site.open("/week.html", timeout=120)
        wall.append((time.monotonic() - t0) * 1000)
        grid.append(site.driver.execute_script(
            "return performance.getEntriesByName('week-grid')[0].startTime;"))
        t0 = time.monotonic()
        rows = subprocess.run(["sqlite3", "-json", site.db, "SELECT * FROM Automation WHERE Day BETWEEN 0 AND 6"],
                              check=True, capture_output=True).stdout
        floor.append((time.monotonic() - t0) * 1000)
        assert len(rows) > 1000000, len(rows)
    chips = len(site.finds("#week .chip"))
    g, w, f = statistics.median(grid), statistics.median(wall), statistics.median(floor)
    print(f"Week page with 32767 records: first grid {g:.0f} ms after navigation ({w:.0f} ms as the driver "
          f"waits; {chips} entries drawn); floor (sqlite3 -json of the week's rows): {f:.0f} ms; ratio {g / f:.2f}")
finally:
    site.close()
