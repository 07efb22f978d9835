// A year of a table that uses every date rule (Europe/London: both changes of summer time with
// events each side of them, the turn of the year, 2026's 53rd ISO week): the preview's list against
// the engine itself, run by run with the reasons, on the same kind of clock (an instant read in the
// host's time zone), ticked every half second around each second a record can come due and through
// both nights the clock changes. The engine is the one the switcher simulator serves on 127.0.0.1.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "database/DBEngine.h"
#include "eventdb/PreviewRuns.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/TimeZone.h"
#include "preview/Preview.h"
#include "preview/SimulatedClock.h"
#include "schedule/DateStore.h"
#include "switcher/sim/SwitcherSim.h"

namespace qtx::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr LocalDateTime kFrom{2026, 12, 1, 0, 0, 0, 0};  // a Tuesday
constexpr int kDays = 366;

int64_t D(const char* date) {
    return schedule::ParseDate(date).value();
}

// One line per run: moment, time, history title and, when it did not run, the reason.
std::string Line(int64_t moment, const std::string& time, const std::string& title,
                 const std::string& reason) {
    return std::to_string(moment) + " " + time + " " + title +
           (reason.empty() ? "" : " [" + reason + "]") + "\n";
}

TEST(PreviewDateRulesYear, ThePreviewListsWhatTheEngineDoesRunByRun) {
    TimeZone london("Europe/London");
    EngineHarness h(kFrom);
    sim::SwitcherSim sim(h.realLoop);
    auto row = [](int number, int day, const char* time, const std::string& title, int active = 1) {
        return With(Event(number, day, time, title),
                    {{"Active", active}, {"scontrol", 1}, {"Salvo", number}});
    };
    std::vector<EventRow> rows;
    for (int day = 0; day < 5; ++day)
        rows.push_back(row(1, day, "06:00:00", "Weekday feed"));
    rows.push_back(row(2, 0, "00:00:00", "Fortnightly"));
    rows.push_back(row(3, 6, "23:59:59", "Sunday close"));
    rows.push_back(row(4, 0, "00:00:00", "Monday open"));
    rows.push_back(row(5, 6, "01:30:00", "Small hours"));
    rows.push_back(row(6, 1, "12:00:00", "Term"));
    rows.push_back(row(6, 3, "12:00:00", "Term"));
    rows.push_back(row(7, 4, "09:00:00", "Once", 3));
    rows.push_back(row(8, 0, "06:30:00", "Skip", 2));
    rows.push_back(row(9, 2, "09:00:00", "Idle", 0));
    rows.push_back(row(10, 5, "12:00:00", "Plain"));
    // Sunday's small hours, run only on the two nights the clock changes: around each change.
    const std::vector<const char*> night = {"00:30:00", "00:59:59", "01:00:00", "01:30:00",
                                            "01:59:59", "02:00:00", "02:30:00", "03:00:00"};
    for (size_t i = 0; i < night.size(); ++i)
        rows.push_back(row(11 + static_cast<int>(i), 6, night[i], std::string("at ") + night[i]));
    rows.push_back(row(20, 6, "01:30:00", "once in the hour", 3));
    rows.push_back(row(21, 6, "01:15:00", "skip in the hour", 2));
    h.WriteDatabase(rows, "127.0.0.1", sim.Listen());
    {
        DBEngine dbe;
        Database db = dbe.OpenDatabase(h.Db());
        for (const auto& [date, title] : {std::pair{"2026-12-25", "Christmas Day"},
                                          {"2026-12-28", "Boxing Day"},
                                          {"2027-01-01", "New Year's Day"},
                                          {"2027-03-26", "Good Friday"},
                                          {"2027-03-29", "Easter Monday"},
                                          {"2027-05-03", "Early May"},
                                          {"2027-05-31", "Spring bank holiday"},
                                          {"2027-08-30", "Summer bank holiday"}})
            schedule::AddCalendarDate(db, "uk", D(date), title);
        for (const char* date : {"2026-12-04", "2026-12-07", "2026-12-11"})
            schedule::AddCalendarDate(db, "works", D(date), "Building works");
        schedule::AddCalendarDate(db, "changes", D("2027-03-28"), "Spring forward");
        schedule::AddCalendarDate(db, "changes", D("2027-10-31"), "Fall back");
        schedule::AddCalendarDate(db, "autumn", D("2027-10-31"), "Fall back");
        for (int64_t day = D("2027-01-05"); day <= D("2027-03-25"); ++day)
            schedule::AddCalendarDate(db, "term", day, "Spring term");
        auto rules = [&](int number, auto set) {
            schedule::DateRules r;
            set(r);
            schedule::WriteDateRules(db, number, r);
        };
        rules(1, [](schedule::DateRules& r) {
            r.From = "2027-01-01";
            r.Until = "2027-06-30";
            r.Except = {"uk"};
            r.Latest = "00:00:10";
        });
        rules(2, [](schedule::DateRules& r) {
            r.EveryWeeks = 2;
            r.WeekOf = "2026-12-31";  // a Thursday of 2026's week 53
        });
        rules(3, [](schedule::DateRules& r) {
            r.From = "2027-03-28";
            r.Until = "2027-10-31";  // both Sundays the clock changes
        });
        rules(4, [](schedule::DateRules& r) {
            r.From = "2027-03-29";
            r.Until = "2027-11-01";
        });
        rules(5, [](schedule::DateRules& r) {
            r.From = "2027-03-28";
            r.Until = "2027-10-31";
            r.Latest = "00:00:10";
        });
        rules(6, [](schedule::DateRules& r) {
            r.EveryWeeks = 3;
            r.WeekOf = "2027-01-05";
            r.Only = {"term"};
        });
        rules(7, [](schedule::DateRules& r) { r.Except = {"works", "uk"}; });
        rules(8, [](schedule::DateRules& r) { r.Except = {"works"}; });
        rules(9, [](schedule::DateRules& r) { r.Except = {"uk"}; });
        for (int number = 11; number <= 20; ++number)
            rules(number, [](schedule::DateRules& r) { r.Only = {"changes"}; });
        rules(21, [](schedule::DateRules& r) { r.Only = {"autumn"}; });
    }

    const schedule::PreviewResult preview = schedule::RunPreview(h.Db(), {kFrom, kDays});
    std::string previewed, lines;
    const std::vector<Seen> seen = Previewed(preview, &lines);
    for (size_t i = 0; i < seen.size(); ++i) {
        const schedule::PreviewRun& r = preview.Runs[i];
        previewed +=
            Line(std::get<0>(seen[i]), r.Time, std::get<2>(seen[i]), r.Ran ? "" : r.Reason);
    }

    // The engine: each second a record can come due, on every day, from 1.5 s before its first
    // instant for 12 s, ticked every half second; and the whole of both nights the clock changes.
    std::vector<std::pair<int64_t, int64_t>> windows;  // instant, length (ms)
    const int64_t firstDay = DaysFromCivil(kFrom.Year, kFrom.Month, kFrom.Day);
    for (int64_t day = firstDay; day < firstDay + kDays; ++day) {
        int y, mo, d;
        CivilFromDays(day, y, mo, d);
        std::vector<int> seconds = {0, 5400, 21600, 23400, 32400, 43200, 86399};
        if (LocalDateTime{y, mo, d}.MondayIndex() == 6)  // Sunday's small hours
            seconds.insert(seconds.end(), {1800, 3599, 3600, 4500, 7199, 7200, 9000, 10800});
        for (int second : seconds) {
            const LocalDateTime at{y, mo, d, second / 3600, second / 60 % 60, second % 60, 5};
            windows.emplace_back(schedule::SimulatedClock::InstantReaching(at) - 1500, 12'000);
        }
    }
    for (const LocalDateTime night :
         {LocalDateTime{2027, 3, 28, 0, 0, 0, 5}, LocalDateTime{2027, 10, 31, 0, 0, 0, 5}})
        windows.emplace_back(schedule::SimulatedClock::InstantReaching(night), 5 * 3'600'000);
    std::sort(windows.begin(), windows.end());

    LocalDateTime start = kFrom;
    start.Millisecond = 5;
    schedule::SimulatedClock clock(schedule::SimulatedClock::InstantReaching(start));
    Engine engine(clock, h.loop, h.view, h.dir.Path());
    engine.Form_Load();
    ASSERT_TRUE(h.realLoop.RunUntil(
        [&] { return engine.Vars().SwitcherConnected && engine.Vars().MapReceived[0]; }, 3000));
    std::vector<Seen> ran;
    RecordRuns(engine, h.view, ran);
    const int64_t end = schedule::SimulatedClock::InstantReaching(
        FromEpochMs(ToEpochMs(start) + int64_t{kDays} * 86'400'000));
    for (const auto& [from, length] : windows)
        for (int64_t t = from; t < from + length && t < end; t += 500) {
            clock.SetInstantMs(std::max(clock.InstantMs(), t));
            engine.tmrTimer_Timer();
            h.realLoop.Pump();
            h.realLoop.Pump();
        }
    engine.Form_Terminate();
    ASSERT_EQ(ran.size(), h.view.Outcomes.size());
    std::string engineRuns;
    for (size_t i = 0; i < ran.size(); ++i) {
        const EventOutcome& o = h.view.Outcomes[i];
        const std::string reason = o.Ran              ? ""
                                   : o.Detail.empty() ? state::RefusalText(o.Reason)
                                                      : o.Detail;
        engineRuns += Line(std::get<0>(ran[i]), std::get<1>(ran[i]), std::get<2>(ran[i]), reason);
    }
    EXPECT_EQ(previewed, engineRuns);

    // And what they both do is what the rules say.
    for (const char* expected : {
             // from/until on the turn of the year, a holiday, the last day of the season
             "2026-12-31 06:00:00 Thu  1  Weekday feed  salvo 1  (not run: Outside its dates)\n",
             "2027-01-01 06:00:00 Fri  1  Weekday feed  salvo 1  (not run: Holiday New Year's "
             "Day (uk))\n",
             "2027-01-04 06:00:00 Mon  1  Weekday feed  salvo 1\n",
             "2027-06-30 06:00:00 Wed  1  Weekday feed  salvo 1\n",
             "2027-07-01 06:00:00 Thu  1  Weekday feed  salvo 1  (not run: Outside its dates)\n",
             // every other week counted from the week of 2026-12-31 (Monday 2026-12-28)
             "2026-12-21 00:00:00 Mon  2  Fortnightly  salvo 2  (not run: Not its week)\n",
             "2026-12-28 00:00:00 Mon  2  Fortnightly  salvo 2\n",
             "2027-01-04 00:00:00 Mon  2  Fortnightly  salvo 2  (not run: Not its week)\n",
             "2027-01-11 00:00:00 Mon  2  Fortnightly  salvo 2\n",
             // from/until on either side of midnight, on the Sundays the clock changes
             "2027-03-21 23:59:59 Sun  3  Sunday close  salvo 3  (not run: Outside its dates)\n",
             "2027-03-28 23:59:59 Sun  3  Sunday close  salvo 3\n",
             "2027-03-29 00:00:00 Mon  4  Monday open  salvo 4\n",
             "2027-10-31 23:59:59 Sun  3  Sunday close  salvo 3\n",
             "2027-11-01 00:00:00 Mon  4  Monday open  salvo 4\n",
             "2027-11-07 23:59:59 Sun  3  Sunday close  salvo 3  (not run: Outside its dates)\n",
             "2027-11-08 00:00:00 Mon  4  Monday open  salvo 4  (not run: Outside its dates)\n",
             // 01:30 does not exist on 28 March: it runs at the jump, which is not late
             "2027-03-28 02:00:00 Sun  5  Small hours  salvo 5  (late: due 01:30:00)\n",
             "2027-10-31 01:30:00 Sun  5  Small hours  salvo 5\n",
             // 01:00 GMT becomes 02:00 BST: the hour's events run once, late, at the jump
             "2027-03-28 00:59:59 Sun  12  at 00:59:59  salvo 12\n",
             "2027-03-28 02:00:00 Sun  13  at 01:00:00  salvo 13  (late: due 01:00:00)\n",
             "2027-03-28 02:00:00 Sun  14  at 01:30:00  salvo 14  (late: due 01:30:00)\n",
             "2027-03-28 02:00:00 Sun  20  once in the hour  salvo 20  (late: due 01:30:00)"
             "  (one-time: deleted after this run)\n",
             "2027-03-28 02:00:00 Sun  16  at 02:00:00  salvo 16\n",
             // 02:00 BST becomes 01:00 GMT: the hour's events run on its first showing only
             "2027-10-31 01:30:00 Sun  14  at 01:30:00  salvo 14\n",
             "2027-10-31 01:15:00 Sun  21  skip in the hour  salvo 21  (not run: Skipped)\n",
             "2027-10-31 02:00:00 Sun  16  at 02:00:00  salvo 16\n",
             // every third week, only in term
             "2027-01-05 12:00:00 Tue  6  Term  salvo 6\n",
             "2027-01-12 12:00:00 Tue  6  Term  salvo 6  (not run: Not its week)\n",
             "2027-01-28 12:00:00 Thu  6  Term  salvo 6\n",
             "2027-04-01 12:00:00 Thu  6  Term  salvo 6  (not run: Not in term)\n",
             // markings wait for a real run
             "2026-12-04 09:00:00 Fri  7  Once  salvo 7  (not run: Holiday Building works "
             "(works))\n",
             "2026-12-18 09:00:00 Fri  7  Once  salvo 7  (one-time: deleted after this run)\n",
             "2026-12-07 06:30:00 Mon  8  Skip  salvo 8  (not run: Holiday Building works "
             "(works))\n",
             "2026-12-14 06:30:00 Mon  8  Skip  salvo 8  (not run: Skipped)\n",
             "2026-12-21 06:30:00 Mon  8  Skip  salvo 8\n",
             "2026-12-30 09:00:00 Wed  9  Idle  salvo 9  (not run: Inactive)\n",
         })
        EXPECT_THAT(lines, HasSubstr(expected));
    EXPECT_THAT(lines, Not(HasSubstr("2026-12-25 09:00:00 Fri  7")));  // deleted on the 18th
    // The hour shown twice in autumn runs each of its events once.
    size_t autumn = 0;
    for (size_t at = lines.find("2027-10-31 01:"); at != std::string::npos;
         at = lines.find("2027-10-31 01:", at + 1))
        ++autumn;
    EXPECT_EQ(autumn, 5u);  // Small hours, at 01:00:00, 01:30:00 and 01:59:59, skip in the hour
}

}  // namespace
}  // namespace qtx::test
