"""The console in a real headless Chromium, as an operator uses it."""
import datetime
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_harness import Installation  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

BUILD = os.environ.get("QTX_BUILD_DIR", "build")


class OperatorInTheBrowser(unittest.TestCase):
    def setUp(self):
        self.site = Installation(BUILD)
        self.site.browser()

    def tearDown(self):
        # Whatever a test did, the pages never broke their own policy.
        try:
            violations = self.site.policy_violations()
        finally:
            self.site.close()
        self.assertEqual(violations, [], "the console's pages broke their Content-Security-Policy")

    def fill_event(self, title, days, time_text, take):
        s = self.site
        s.open("/event.html")
        s.find("#title").send_keys(title)
        if days == "weekdays":
            s.find("#weekdays").click()
        else:
            for d in days:
                s.find(f"#day-{d}").click()
        s.find("#time").send_keys(time_text)
        Select(s.find("#xp-kind")).select_by_value("take")
        s.find("#xp-source").send_keys(str(take[0]))
        s.find("#xp-destination").send_keys(str(take[1]))
        s.find("#save").click()

    def test_add_an_event_see_it_in_the_week_and_see_a_bad_time_refused(self):
        s = self.site
        s.login("operator")
        self.fill_event("Morning feed", "weekdays", "06:00:00", (3, 1))
        s.wait(lambda d: "Saved event" in d.find_element(By.ID, "banner").text)

        s.open("/week.html")
        columns = s.finds("#week .day")
        self.assertEqual(len(columns), 7)
        for day, column in enumerate(columns):
            chips = [c for c in column.find_elements(By.CSS_SELECTOR, ".chip") if "Morning feed" in c.text]
            self.assertEqual(len(chips), 1 if day < 5 else 0, f"day {day}")
            if chips:
                self.assertIn("06:00:00", chips[0].text)
                self.assertIn("take 3->1", chips[0].text)

        self.fill_event("Bad time", ["mon"], "25:00:00", (3, 1))
        spot = s.wait(lambda d: d.find_element(By.CSS_SELECTOR, '.err[data-for="time"]'))
        s.wait(lambda d: "is not a time of day" in spot.text)
        self.assertIn('"25:00:00"', spot.text)
        self.assertEqual(s.find('.err[data-for="title"]').text, "")

    def test_the_week_shows_the_servers_words_and_the_engines_order_in_a_second(self):
        s = self.site
        call = s.api_session("operator")
        # Two events of one second, the higher number stored first: the engine runs 30 first.
        for number in (30, 20):
            call("POST", "/api/events", {
                "number": number, "title": f"same {number}", "days": ["sun"], "time": "03:33:33",
                "actions": [{"kind": "message", "to": "serial", "port": 2, "baud": 1, "text": "hi"}]})
        s.login("operator")
        column = s.finds("#week .day")[6]
        chips = [c for c in column.find_elements(By.CSS_SELECTOR, ".chip") if "same" in c.text]
        self.assertEqual([c.get_attribute("data-number") for c in chips], ["30", "20"])
        # The serial message keeps its speed: the words are the server's.
        self.assertIn('message serial 2 at 9600 "hi"', chips[0].text)

    def test_the_week_pages_through_a_day_and_finds_by_title(self):
        s = self.site
        subprocess.run(["sqlite3", s.db,
                        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 45) "
                        "INSERT INTO Automation (Number, Day, Time, Title, Active, xcontrol, SourceChan, DestChan) "
                        "SELECT i, 0, printf('01:%02d:00', i), 'Row ' || i, 1, 1, 3, 1 FROM n"], check=True)
        s.login("viewer")

        def monday():
            column = s.finds("#week .day")[0]
            return [c.get_attribute("data-number") for c in column.find_elements(By.CSS_SELECTOR, ".chip")], column.text

        numbers, text = monday()
        self.assertEqual(numbers, [str(n) for n in range(1, 41)])
        self.assertIn("5 more later", text)
        s.find("#later").click()
        s.wait(lambda d: monday()[0] == [str(n) for n in range(41, 46)])
        self.assertIn("40 earlier", monday()[1])
        s.find("#earlier").click()
        s.wait(lambda d: monday()[0][:1] == ["1"])
        s.find("#filter").send_keys("row 7")
        s.wait(lambda d: monday()[0] == ["7"])

    def test_an_event_added_in_the_console_runs_and_status_follows_the_link(self):
        s = self.site
        s.login("operator")
        s.open("/status.html")
        s.wait(lambda d: "Switcher Connected" in d.find_element(By.ID, "caption").text, timeout=20)

        now = datetime.datetime.now()
        at = now + datetime.timedelta(seconds=8)
        if at.date() != now.date():
            self.skipTest("too close to midnight")
        day = ["mon", "tue", "wed", "thu", "fri", "sat", "sun"][at.weekday()]
        self.fill_event("Soon", [day], at.strftime("%H:%M:%S"), (5, 2))
        s.wait(lambda d: "Saved event" in d.find_element(By.ID, "banner").text)

        s.open("/status.html")
        s.wait(lambda d: any("Soon" in r.text and "ran" in r.text
                             for r in d.find_elements(By.CSS_SELECTOR, "#history tr")), timeout=30)
        with open(s.folder + "frames.log") as log:
            takes = [line for line in log if line.split(" ", 2)[2].startswith("FE")]
        self.assertTrue(takes, "no crosspoint frame reached the simulator")
        late_ms = int(takes[-1].split(" ")[0]) - int(at.timestamp()) * 1000
        self.assertLess(late_ms, 1000)

        s.stop("sim")
        s.wait(lambda d: "Not Connected" in d.find_element(By.ID, "caption").text, timeout=30)
        self.assertIn("not connected", s.find("#lamp-switcher").text)

    def test_the_week_strikes_out_a_holiday_and_names_it_in_the_days_header(self):
        s = self.site
        call = s.api_session("operator")
        today = datetime.date.today()
        next_monday = today + datetime.timedelta(days=7 - today.weekday())
        holiday = next_monday + datetime.timedelta(days=2)
        call("PUT", "/api/calendars/uk", {"dates": [{"date": holiday.isoformat(), "title": "Test Day"}]})
        call("POST", "/api/events", {"title": "Morning feed", "days": ["mon", "tue", "wed", "thu", "fri"],
                                     "time": "06:00:00", "except": ["uk"],
                                     "actions": [{"kind": "take", "source": 3, "destination": 1}]})
        s.login("viewer")
        s.find("#next-week").click()
        s.wait(lambda d: next_monday.isoformat() in d.find_element(By.ID, "week-of").text)
        wednesday = s.wait(lambda d: d.find_element(By.CSS_SELECTOR, f'#week .day[data-date="{holiday.isoformat()}"]'))
        self.assertIn("Test Day (uk)", wednesday.find_element(By.TAG_NAME, "h3").text)
        chip = wednesday.find_element(By.CSS_SELECTOR, ".chip")
        self.assertIn("excluded", chip.get_attribute("class"))
        self.assertIn("not run: Holiday Test Day (uk)", chip.text)
        self.assertIn("line-through", chip.find_element(By.CSS_SELECTOR, ".name").value_of_css_property("text-decoration-line"))
        tuesday = s.find(f'#week .day[data-date="{(holiday - datetime.timedelta(days=1)).isoformat()}"]')
        self.assertNotIn("excluded", tuesday.find_element(By.CSS_SELECTOR, ".chip").get_attribute("class"))
        self.assertEqual(tuesday.find_elements(By.CSS_SELECTOR, "h3 .holiday"), [])
        self.assertIn(f"?week={next_monday.isoformat()}", s.driver.current_url)

    def test_the_event_page_saves_the_date_rules_with_the_rules_messages_beside_them(self):
        s = self.site
        s.api_session("operator")("PUT", "/api/calendars/uk", {"dates": []})
        s.login("operator")
        s.open("/event.html")
        s.find("#title").send_keys("Season feed")
        s.find("#weekdays").click()
        s.find("#time").send_keys("06:00:00")
        s.find("#from").send_keys("2027-01-01")
        s.find("#until").send_keys("2026-12-31")
        s.find("#latest").send_keys("00:00:10")
        s.find('input[data-list="except"][value="uk"]').click()
        s.find("#save").click()
        spot = s.wait(lambda d: d.find_element(By.CSS_SELECTOR, '.err[data-for="until"]'))
        s.wait(lambda d: "2026-12-31" in spot.text)
        s.find("#until").clear()
        s.find("#until").send_keys("2027-06-30")
        s.find("#save").click()
        s.wait(lambda d: "Saved event" in d.find_element(By.ID, "banner").text)
        number = s.driver.current_url.split("number=")[1]
        s.open(f"/event.html?number={number}")
        self.assertEqual(s.find("#from").get_attribute("value"), "2027-01-01")
        self.assertEqual(s.find("#until").get_attribute("value"), "2027-06-30")
        self.assertEqual(s.find("#latest").get_attribute("value"), "00:00:10")
        self.assertTrue(s.find('input[data-list="except"][value="uk"]').is_selected())
        self.assertFalse(s.find('input[data-list="only"][value="uk"]').is_selected())

    def test_the_calendars_page_imports_an_ics_file_and_shows_its_dates(self):
        s = self.site
        s.login("operator")
        s.open("/calendars.html")
        s.find("#new-name").send_keys("uk")
        s.find("#create").click()
        s.wait(lambda d: d.find_element(By.ID, "editing").text == "Calendar uk")
        ics = s.folder + "holidays.ics"
        with open(ics, "w") as f:
            f.write("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:x@qtx.test\r\n"
                    "DTSTART;VALUE=DATE:20201225\r\nRRULE:FREQ=YEARLY\r\nSUMMARY:Christmas Day\r\n"
                    "END:VEVENT\r\nEND:VCALENDAR\r\n")
        s.find("#ics").send_keys(ics)
        s.find("#import").click()
        s.wait(lambda d: "Imported 5 dates into uk" in d.find_element(By.ID, "form-banner").text)
        dates = [i.get_attribute("value") for i in s.finds("#dates input.date")]
        self.assertEqual(len(dates), 5)
        self.assertTrue(all(d.endswith("-12-25") for d in dates), dates)
        self.assertEqual({i.get_attribute("value") for i in s.finds("#dates input.title")}, {"Christmas Day"})
        row = s.find('#calendars tr[data-name="uk"]')
        self.assertIn("5", row.text)

    def test_every_page_keeps_its_policy_and_its_styles(self):
        s = self.site
        s.login("admin")
        for page in ("/week.html", "/event.html", "/preview.html", "/calendars.html", "/status.html",
                     "/settings.html", "/users.html"):
            s.open(page)
            self.assertTrue(s.finds('#top nav a[href="/calendars.html"]'), page)
            if page == "/status.html":
                s.wait(lambda d: d.find_elements(By.ID, "lamp-engine"))
            self.assertEqual(s.policy_violations(), [], page)
            if page == "/week.html":
                title = s.find("#main h1")
                self.assertEqual(title.value_of_css_property("margin-right"), title.value_of_css_property("font-size"))
            if page == "/status.html":
                lamp = s.find("#lamp-engine")
                self.assertEqual(lamp.value_of_css_property("display"), "inline-flex")
                self.assertEqual(s.find(".panel h2").value_of_css_property("margin-top"), "0px")
            if page == "/users.html":
                self.assertEqual(s.find("#add-user h2").value_of_css_property("margin-top"), "0px")


if __name__ == "__main__":
    unittest.main()
