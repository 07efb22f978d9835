// The event form, its rows and its rules, on real event databases.
#include <gtest/gtest.h>

#include "database/EventSchema.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"
#include "schedule/Schedule.h"

namespace qtx::test {
namespace {

using namespace qtx::schedule;

Event Morning() {
    Event e;
    e.Number = 100;
    e.Title = "Morning feed";
    e.Days = {0, 1, 2, 3, 4};
    e.Time = "06:00:00";
    e.When = Condition{true, 2, 4};
    e.Do.Crosspoint = CrosspointAction{CrosspointKind::Take, 3, 1};
    e.Do.Salvo = SalvoAction{5};
    e.Do.Relay = RelayAction{RelayMode::Pulse, 4};
    e.Do.Gain = GainAction{GainTarget::Source, 2, 900};
    MessageAction m;
    m.To = MessageTo::Ip;
    m.Address = "127.0.0.1";
    m.Port = 7000;
    m.Text = "ON AIR^M^J";
    e.Do.Message = m;
    return e;
}

TEST(ScheduleWords, DaySetsParseAndPrintInTheirShortestForm) {
    const std::pair<const char*, std::vector<int>> cases[] = {
        {"mon-fri", {0, 1, 2, 3, 4}},
        {"sat,sun", {5, 6}},
        {"mon,wed-fri", {0, 2, 3, 4}},
        {"daily", {0, 1, 2, 3, 4, 5, 6}},
        {"none", {}},
        {"sat-mon", {0, 5, 6}},
        {"Tue, Thu", {1, 3}},
    };
    for (const auto& [text, days] : cases) {
        EXPECT_EQ(ParseDays(text), days) << text;
    }
    EXPECT_EQ(FormatDays({0, 1, 2, 3, 4}), "mon-fri");
    EXPECT_EQ(FormatDays({0, 2, 3, 4}), "mon,wed-fri");
    EXPECT_EQ(FormatDays({5, 6}), "sat,sun");
    EXPECT_EQ(FormatDays({}), "none");
    for (const char* bad : {"", "mon-", "funday", "mon,,tue", "7"})
        EXPECT_FALSE(ParseDays(bad)) << bad;
    EXPECT_EQ(DescribeActions(Morning().Do),
              "take 3->1, salvo 5, relay pulse 4, gain source 2 = 900, "
              "message ip 127.0.0.1:7000 \"ON AIR^M^J\"");
}

// What an edit rewrites (only what changed, the remaining days' own rows) is the event tool's
// edit test.
TEST(ScheduleRows, EventSurvivesItsRows) {
    const Event e = Morning();
    const std::vector<Row> rows = EventToRows(e);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].at("Active"), DbValue(int64_t{1}));
    EXPECT_EQ(rows[0].at("Condition"), DbValue(int64_t{1}));
    EXPECT_EQ(rows[4].at("Day"), DbValue(int64_t{4}));
    EXPECT_EQ(EventFromRows(rows), e);

    // No day: one row with Day 7; no time: "24:00:00".
    Event loose = e;
    loose.Days = {};
    loose.Time.reset();
    const auto r3 = EventToRows(loose);
    ASSERT_EQ(r3.size(), 1u);
    EXPECT_EQ(r3[0].at("Day"), DbValue(int64_t{7}));
    EXPECT_EQ(r3[0].at("Time"), DbValue("24:00:00"));
    EXPECT_EQ(EventFromRows(r3), loose);
}

// The fields the event tool's tests do not reach (those give the wording of days, times,
// titles, ports and settings, and the checks of stored rows, through the program).
TEST(ScheduleRules, EachBadFieldIsNamed) {
    EXPECT_TRUE(CheckEvent(Morning()).empty()) << FormatProblems(CheckEvent(Morning()));
    struct Case {
        const char* field;
        void (*spoil)(Event&);
    };
    const Case cases[] = {
        {"number", [](Event& x) { x.Number = 40000; }},
        {"take.destination", [](Event& x) { x.Do.Crosspoint->Destination = 0; }},
        {"relay", [](Event& x) { x.Do.Relay->Relay = 0; }},
        {"gain.gain", [](Event& x) { x.Do.Gain->Gain = 2025; }},
        {"condition.source", [](Event& x) { x.When->Source = 0; }},
        {"message.address", [](Event& x) { x.Do.Message->Address = "127.0.0.300"; }},
    };
    for (const Case& c : cases) {
        Event bad = Morning();
        c.spoil(bad);
        const auto ps = CheckEvent(bad);
        ASSERT_EQ(ps.size(), 1u) << c.field << "\n" << FormatProblems(ps);
        EXPECT_EQ(ps[0].Field, c.field);
    }
    Event serial = Morning();
    serial.Do.Message->To = MessageTo::Serial;
    serial.Do.Message->Port = 1;
    serial.Do.Message->Baud = 8;
    EXPECT_EQ(CheckEvent(serial).at(0).Field, "message.baud");
    EXPECT_TRUE(CheckSetting("IPAddr", "127.0.0.1").empty());
}

// A text where the engine's load reads a number fails the load (the other stored faults are the
// event tool's check tests').
TEST(ScheduleRules, StoredRowsAreCheckedAsTheEngineLoadsThem) {
    Row row = EventToRows(Morning())[0];
    EXPECT_TRUE(CheckRow(row, 1).empty()) << FormatProblems(CheckRow(row, 1));
    row["SourceChan"] = DbValue("banana");
    EXPECT_EQ(CheckRow(row, 1).size(), 1u) << FormatProblems(CheckRow(row, 1));
}

TEST(ScheduleStore, WritesAreCheckedAndAllOrNothing) {
    TempDir dir;
    const std::string f = dir.File("e.mdb");
    MakeEventDb(f);
    DBEngine engine;
    Database db = engine.OpenDatabase(f);
    Event e = Morning();
    e.Number = 0;
    ASSERT_TRUE(CreateEvent(db, e).empty());
    EXPECT_EQ(e.Number, 1);
    EXPECT_EQ(QueryOne(f, "SELECT count(*) FROM Automation WHERE Number = 1"), "5");
    Event again = Morning();
    again.Number = 1;
    EXPECT_EQ(CreateEvent(db, again).at(0).Field, "number");

    Event edited = *ReadEvent(db, 1);
    EXPECT_EQ(edited, e);
    const std::string before = ReadWholeFile(f);
    Event bad = edited;
    bad.Time = "banana";
    EXPECT_FALSE(UpdateEvent(db, 1, bad).empty());
    EXPECT_EQ(ReadWholeFile(f), before);
    EXPECT_FALSE(DeleteEvent(db, 2));
    EXPECT_TRUE(DeleteEvent(db, 1));
    EXPECT_EQ(QueryOne(f, "SELECT count(*) FROM Automation"), "0");

    // A batch: chosen numbers skip those the file and the batch name; one bad event stops all.
    RunSql(f,
           "INSERT INTO Automation (Number, Day, Time, Title, Active) VALUES "
           "(1, 0, '05:00:00', 'kept', 1)");
    std::vector<Event> batch(3, Morning());
    batch[0].Number = 0;
    batch[1].Number = 2;
    batch[2].Number = 0;
    auto problems = CreateEvents(db, batch);
    for (const auto& p : problems)
        EXPECT_TRUE(p.empty()) << FormatProblems(p);
    EXPECT_EQ(batch[0].Number, 3);
    EXPECT_EQ(batch[2].Number, 4);
    const std::string filled = ReadWholeFile(f);
    std::vector<Event> clash(2, Morning());
    clash[0].Number = 9;
    clash[1].Number = 9;
    problems = CreateEvents(db, clash);
    EXPECT_TRUE(problems[0].empty());
    ASSERT_EQ(problems[1].size(), 1u);
    EXPECT_EQ(problems[1][0].Field, "number");
    EXPECT_EQ(ReadWholeFile(f), filled);
}

}  // namespace
}  // namespace qtx::test
