// qtx-eventdb and date rules: the options in words, show-event, CSV round trips, the preview
// of excluded runs, calendars and their iCalendar import, and check's warnings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "common/Clock.h"
#include "eventdb/EventDbTool.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"

namespace qtx::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string Fixture(const char* name) {
    return std::string(QTX_SOURCE_DIR) + "/tests/fixtures/ics/" + name;
}

class DateRulesToolTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Tool({"create", f}), 0); }
    int Tool(std::vector<std::string> args, std::string* out = nullptr) {
        std::ostringstream o, e;
        const int rc = RunEventDbTool(args, o, e, clock);
        if (out)
            *out = o.str() + e.str();
        return rc;
    }
    std::string Out(std::vector<std::string> args, int want = 0) {
        std::string out;
        EXPECT_EQ(Tool(args, &out), want) << out;
        return out;
    }
    TempDir dir;
    std::string f = dir.File("e.mdb");
    FakeClock clock{{2026, 12, 8, 9, 0, 0, 0}};  // a Tuesday
};

TEST_F(DateRulesToolTest, OptionsShowEventListAndTheCsvFormKeepTheRules) {
    Out({"calendar", "add", f, "uk", "2026-12-25", "--title", "Christmas Day"});
    Out({"calendar", "add", f, "term", "2027-01-05"});
    Out({"calendar", "add", f, "extra", "2027-01-06"});
    Out({"add",           f,
         "--title",       "Feed",
         "--days",        "mon-fri",
         "--at",          "06:00:00",
         "--take",        "3:1",
         "--from",        "2027-01-01",
         "--until",       "2027-06-30",
         "--every-weeks", "2",
         "--week-of",     "2027-01-04",
         "--except",      "uk",
         "--only",        "term,extra",
         "--latest",      "00:00:10"});
    EXPECT_EQ(Out({"show-event", f, "1"}),
              "number     1\ntitle      Feed\ndays       mon-fri\ntime       06:00:00\n"
              "marking    active\ncondition  none\nactions    take 3->1\n"
              "from       2027-01-01\nuntil      2027-06-30\n"
              "every      2 weeks from the week of 2027-01-04\nexcept     uk\n"
              "only       term,extra\nlatest     00:00:10\n");
    EXPECT_THAT(Out({"list", f}),
                HasSubstr("take 3->1  from 2027-01-01 until 2027-06-30, every 2 weeks from the "
                          "week of 2027-01-04, except uk, only term,extra, at most 00:00:10 late"));
    // The CSV form carries them; a list cell is quoted; import --replace brings them back.
    const std::string csv = dir.File("events.csv");
    Out({"export", f, csv, "--events"});
    const std::string text = ReadWholeFile(csv);
    EXPECT_THAT(text, HasSubstr("from,until,every_weeks,week_of,except,only,latest\r\n"));
    EXPECT_THAT(text, HasSubstr("2027-01-01,2027-06-30,2,2027-01-04,uk,\"term,extra\",00:00:10"));
    Out({"edit", f, "1", "--no-from", "--no-until", "--no-every-weeks", "--no-except", "--no-only",
         "--no-latest"});
    EXPECT_THAT(Out({"show-event", f, "1"}), Not(HasSubstr("from")));
    Out({"import", f, csv, "--replace"});
    EXPECT_THAT(Out({"show-event", f, "1"}), HasSubstr("only       term,extra\n"));
    // The rules say what is wrong, naming the event, field and value; nothing changes.
    EXPECT_THAT(Out({"edit", f, "1", "--until", "2026-12-31"}, 1),
                HasSubstr("event 1 \"Feed\": until \"2026-12-31\" is before from "
                          "\"2027-01-01\""));
    EXPECT_THAT(Out({"edit", f, "1", "--except", "nowhere"}, 1),
                HasSubstr("except \"nowhere\" is not a calendar of this file"));
    // A calendar in use is not removed; the events are named.
    EXPECT_THAT(Out({"calendar", "remove", f, "uk"}, 1), HasSubstr("used by event 1"));
    EXPECT_EQ(Out({"calendar", "list", f}),
              "extra  1 date  used by 1\nterm  1 date  used by 1\nuk  1 date  used by 1\n");
    // The preview still takes --from as a moment, and says why a run does not happen.
    // A one-time event keeps its note off the run it does not make.
    Out({"add", f, "--title", "Ident", "--days", "fri", "--at", "12:00:00", "--except", "uk",
         "--once"});
    const std::string preview = Out({"preview", f, "--from", "2026-12-21 00:00:00", "--days", "5"});
    const size_t at = preview.find("(not run: Holiday Christmas Day (uk))");
    ASSERT_NE(at, std::string::npos) << preview;
    const std::string line = preview.substr(preview.rfind('\n', at) + 1,
                                            preview.find('\n', at) - preview.rfind('\n', at));
    EXPECT_THAT(line, HasSubstr("Ident"));
    EXPECT_THAT(line, Not(HasSubstr("one-time")));
}

TEST_F(DateRulesToolTest, ICalendarImportOfRealShapes) {
    struct Case {
        const char* File;
        const char* Count;
        std::vector<const char*> Lines;  // lines `calendar show` must hold
        std::vector<const char*> Absent;
    } cases[] = {
        {"holidays.ics",
         "imported 15 dates",  // today through the day before five years from today
         {"2026-12-25  Christmas Day\n", "2030-12-25  Christmas Day\n",
          "2027-01-01  New Year's Day\n", "2027-05-07  Early May bank holiday\n",
          "2028-05-01  Early May bank holiday\n"},
         {"2020-12-25", "2027-05-03", "2031-12-25"}},
        {"span.ics",
         "imported 5 dates",
         {"2027-04-12  Building works\n2027-04-13  Building works\n2027-04-14  Building works\n",
          "2027-06-01  Audit\n2027-06-02  Audit\n"},
         {"2027-04-15", "2027-06-03"}},
        // 00:30 on the 10th in its own zone (+13:00) is the 9th in UTC: it counts on the 10th.
        {"zone.ics",
         "imported 2 dates",
         {"2027-01-10  Dawn service\n", "2027-02-20  Late shift\n"},
         {"2027-01-09", "2027-02-21"}},
        // A moved date and a cancelled one, as overrides of the rule (CR LF lines).
        {"moved.ics",
         "imported 4 dates",
         {"2027-06-02  Spring bank holiday (moved)\n", "2029-05-28  Spring bank holiday\n",
          "2031-05-26  Spring bank holiday\n"},
         {"2027-05-31", "2028-05-29"}},
    };
    for (const Case& c : cases) {
        EXPECT_THAT(Out({"calendar", "import", f, "cal", Fixture(c.File)}), HasSubstr(c.Count))
            << c.File;
        const std::string shown = Out({"calendar", "show", f, "cal"});
        for (const char* line : c.Lines)
            EXPECT_THAT(shown, HasSubstr(line)) << c.File;
        for (const char* absent : c.Absent)
            EXPECT_THAT(shown, Not(HasSubstr(absent))) << c.File;
    }
    // A broken file names its line and leaves the calendar as it was.
    const std::string before = Out({"calendar", "show", f, "cal"});
    for (const auto& [file, line] :
         {std::pair<const char*, const char*>{"broken-end.ics", "line 12: END:VCALENDAR"},
          {"broken-dtstart.ics", "line 11: DTSTART \"2027013X\""},
          {"broken-rrule.ics", "line 6: "}}) {
        const std::string out = Out({"calendar", "import", f, "cal", Fixture(file)}, 1);
        EXPECT_THAT(out, HasSubstr(line)) << file;
        EXPECT_THAT(out, HasSubstr("nothing stored")) << file;
        EXPECT_EQ(Out({"calendar", "show", f, "cal"}), before) << file;
    }
}

TEST_F(DateRulesToolTest, CheckWarnsOfUnusedCalendarsAndEventsThatNeverRun) {
    Out({"calendar", "add", f, "spare", "2027-01-01"});
    Out({"add", f, "--title", "Ended", "--days", "mon", "--at", "06:00:00", "--until",
         "2026-12-01"});
    Out({"add", f, "--title", "Odd", "--days", "tue", "--at", "06:00:00", "--every-weeks", "2",
         "--week-of", "2026-12-08"});
    const std::string out = Out({"check", f});
    EXPECT_THAT(out, HasSubstr("warning: calendar \"spare\" is used by no event"));
    EXPECT_THAT(out, HasSubstr("warning: event 1 \"Ended\": its date rules leave it no run in "
                               "the next 365 days"));
    EXPECT_THAT(out, Not(HasSubstr("\"Odd\"")));
}

}  // namespace
}  // namespace qtx::test
