// Skip and one-time markings the engine could not write because another program held the file
// longer than the engine waits: consumed once in the table all the same, reported once, written
// at the next chance (also after a reload caused by an outside edit meanwhile), never twice, and
// never over an edit of the same event made in the meantime.

#include "hardening/Hardening.h"

namespace qtx::test {
namespace {

using ::testing::ElementsAre;

const char* kWriteLock = "BEGIN IMMEDIATE; UPDATE Automation SET Title = 'other' WHERE 0";

// One value of the file, with plain SQL ("" without a row).
std::string Value(const EngineHarness& h, const std::string& sql) {
    const std::vector<std::string> rows = QueryColumn(h.Db(), sql);
    return rows.empty() ? "" : rows[0];
}

// Event 1 marked skip and event 2 one-time, both due at 09:00:01, consumed while another
// program holds the write lock.
std::unique_ptr<LockHolder> ConsumeWhileLocked(EngineHarness& h) {
    StartWith(h, {With(Event(1, 0, "09:00:01", "skip"), {{"Active", 2}}),
                  With(Event(2, 0, "09:00:01", "once"), {{"Active", 3}}),
                  Event(3, 2, "09:00:00", "wednesday")});
    auto lock = std::make_unique<LockHolder>(h.Db(), kWriteLock);
    EXPECT_TRUE(lock->Holding());
    const auto start = std::chrono::steady_clock::now();
    h.TickAt(9, 0, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    EXPECT_TRUE(h.Logged("Error # 3218"));
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("skip - Not Executed", "once"));
    EXPECT_THAT(h.DatabaseErrors(),
                ElementsAre("Error Updating Skip Event", "Error Deleting One Time Event"));
    EXPECT_EQ(Value(h, "SELECT Active FROM Automation WHERE Number = 1"), "2");
    EXPECT_EQ(Value(h, "SELECT count(*) FROM Automation WHERE Number = 2"), "1");
    return lock;
}

TEST(PendingMarking, WrittenOnceAtTheNextChanceAlsoAcrossAReloadAndReportedOnce) {
    EngineHarness h{kMonday};
    std::unique_ptr<LockHolder> lock = ConsumeWhileLocked(h);
    // The table holds both markings consumed, while the file still holds both.
    ASSERT_NE(h.Record(1), nullptr);
    EXPECT_EQ(h.Record(1)->Active, 1);
    EXPECT_EQ(h.Record(2), nullptr);
    WatchAt(h, 9, 0, 2);  // still locked: tried, kept, not reported again
    WatchAt(h, 9, 0, 3);

    // The other program edits another event and takes the lock again before the next watch:
    // the reload reads both markings back from the file and consumes them again in the table.
    lock.reset();
    LockHolder edit(h.Db(),
                    "BEGIN IMMEDIATE; UPDATE Automation SET Title = 'wed!' WHERE Number = 3");
    ASSERT_TRUE(edit.Holding());
    edit.Finish(true);
    lock = std::make_unique<LockHolder>(h.Db(), kWriteLock);
    ASSERT_TRUE(lock->Holding());
    WatchAt(h, 9, 0, 4);
    ASSERT_NE(h.Record(3), nullptr);
    EXPECT_EQ(h.Record(3)->Title, "wed!");
    ASSERT_NE(h.Record(1), nullptr);
    EXPECT_EQ(h.Record(1)->Active, 1);
    EXPECT_EQ(h.Record(2), nullptr);
    EXPECT_EQ(Value(h, "SELECT Active FROM Automation WHERE Number = 1"), "2");

    lock.reset();
    WatchAt(h, 9, 0, 5);  // the next chance: both written
    EXPECT_EQ(Value(h, "SELECT Active FROM Automation WHERE Number = 1"), "1");
    EXPECT_EQ(Value(h, "SELECT count(*) FROM Automation WHERE Number = 2"), "0");
    EXPECT_EQ(Value(h, "SELECT Title FROM Automation WHERE Number = 3"), "wed!");
    const std::string written = ReadWholeFile(h.Db());
    for (int s = 6; s <= 9; ++s)
        WatchAt(h, 9, 0, s);
    EXPECT_EQ(ReadWholeFile(h.Db()), written);  // nothing written twice, nothing reloaded
    EXPECT_THAT(h.DatabaseErrors(),
                ElementsAre("Error Updating Skip Event", "Error Deleting One Time Event"));
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("skip - Not Executed", "once"));
}

// An edit or deletion of the marked event itself while its marking waits is the newer word on
// the event: it stands, and the marking is dropped unwritten.
struct EditMeanwhile {
    const char* name;
    const char* sql;
    const char* activeOf1;  // "" when the rows are gone
    const char* rowsOf2;
    bool onceRunsAgainAtTen;
};

TEST(PendingMarking, AnEditOfTheSameEventMeanwhileStandsAndTheMarkingIsDropped) {
    const EditMeanwhile cases[] = {
        {"skip event retitled", "UPDATE Automation SET Title = 'edited' WHERE Number = 1", "2", "0",
         false},
        {"skip event deleted", "DELETE FROM Automation WHERE Number = 1", "", "0", false},
        {"one-time event moved to 10:00",
         "UPDATE Automation SET Time = '10:00:00' WHERE Number = 2", "1", "1", true},
        {"one-time event deleted", "DELETE FROM Automation WHERE Number = 2", "1", "0", false},
    };
    for (const EditMeanwhile& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h{kMonday};
        std::unique_ptr<LockHolder> lock = ConsumeWhileLocked(h);
        lock.reset();
        // Only the event edited keeps its file rows; the other marking is written as usual.
        LockHolder edit(h.Db(), std::string("BEGIN IMMEDIATE; ") + c.sql);
        ASSERT_TRUE(edit.Holding());
        edit.Finish(true);
        for (int s = 2; s <= 5; ++s)
            WatchAt(h, 9, 0, s);
        EXPECT_EQ(Value(h, "SELECT Active FROM Automation WHERE Number = 1"), c.activeOf1);
        EXPECT_EQ(Value(h, "SELECT count(*) FROM Automation WHERE Number = 2"), c.rowsOf2);
        const std::string settled = ReadWholeFile(h.Db());
        WatchAt(h, 9, 0, 6);
        WatchAt(h, 9, 0, 7);
        EXPECT_EQ(ReadWholeFile(h.Db()), settled);
        EXPECT_EQ(h.DatabaseErrors().size(), 2u);
        const AutomationEvent* one = h.Record(1);
        if (c.activeOf1[0] != '\0') {
            ASSERT_NE(one, nullptr);
            EXPECT_EQ(one->Active, c.activeOf1[0] - '0');
        } else {
            EXPECT_EQ(one, nullptr);
        }
        h.TickAt(10, 0, 0);
        const size_t runs =
            static_cast<size_t>(std::count(h.view.HistoryRows.begin(), h.view.HistoryRows.end(),
                                           ListRow{"Monday", "10:00:00", "once"}));
        EXPECT_EQ(runs, c.onceRunsAgainAtTen ? 1u : 0u);
    }
}

}  // namespace
}  // namespace qtx::test
