// The whole engine meeting a broken, locked or unwritable event database: every fault is
// reported with its location, the engine keeps ticking and running the events it holds, and the
// engine never changes the bytes of a file it could not use.

#include "hardening/Hardening.h"

namespace qtx::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::vector<EventRow> kTwoEvents = {Event(1, 0, "09:00:10", "ten"),
                                          Event(2, 0, "09:00:20", "twenty")};

std::string Db(const EngineHarness& h) {
    return h.dir.File("QTXAutomation.mdb");
}

// Error-log locations without the failed polls (the links are marked up with nothing behind).
std::vector<std::string> DbErrors(const EngineHarness& h) {
    std::vector<std::string> out;
    for (const std::string& loc : h.ErrorLocations())
        if (loc != "Error sending to switcher" && loc != "Error Saving Alarms")
            out.push_back(loc);
    return out;
}

bool Logged(const EngineHarness& h, const std::string& text) {
    return ReadWholeFile(h.dir.File("Errorlog.txt")).find(text) != std::string::npos;
}

// Something other than the engine spoils the live file: it runs SQL on it (keep < 0) or keeps
// its first bytes and appends text; then the locations reported and the fault they carry.
struct Harm {
    const char* name;
    int keep;
    std::string text;
    std::vector<std::string> locations;
    const char* fault;
};

TEST(DatabaseFault, SpoiltFileIsReportedOnceNeverDamagedFurtherAndTheLastGoodTableRunsOn) {
    const std::vector<std::string> unusable = {"Invalid Automation DB",
                                               "Error Reading Automation DB"};
    const std::vector<std::string> unreadable = {"Error Reading Automation DB"};
    const Harm harms[] = {
        {"emptied", 0, "", unusable, "Error # 3049"},
        {"not a database", 0, std::string("Standard Jet DB\0\0\0 not sqlite", 29), unusable,
         "Error # 3049"},
        {"cut to its first page", 4096, "", unusable, "Error # 3049"},
        {"cut mid page", 10000, "", unusable, "Error # 3049"},
        {"no Automation table", -1, "DROP TABLE Automation", unreadable, "Error # 3078"},
        {"no Server table", -1, "DROP TABLE Server", unreadable, "Error # 3078"},
        {"no Type table", -1, "DROP TABLE Type", unreadable, "Error # 3078"},
        {"no Title column", -1, "ALTER TABLE Automation DROP Title", unreadable, "Error # 3265"},
        {"no Number column", -1, "ALTER TABLE Automation DROP Number", unreadable, "Error # 3265"},
        // Taken for a version-1 file: the upgrade rebuilds Info and meets columns that exist.
        {"no Info table", -1, "DROP TABLE Info", {"Error Checking DB Version"}, "Error # 3191"}};
    for (const Harm& harm : harms) {
        SCOPED_TRACE(harm.name);
        EngineHarness h{kMonday};
        StartWith(h, kTwoEvents);
        ASSERT_GT(ReadWholeFile(Db(h)).size(), 12000u);
        if (harm.keep < 0)
            h.Sql(harm.text);
        else
            WriteWholeFile(Db(h), ReadWholeFile(Db(h)).substr(0, harm.keep) + harm.text);
        const std::string harmed = ReadWholeFile(Db(h));
        // Reported once: the refused file is not read again at every watch.
        for (int s = 1; s <= 3; ++s)
            WatchAt(h, 9, 0, s);
        EXPECT_EQ(DbErrors(h), harm.locations);
        EXPECT_TRUE(Logged(h, harm.fault));
        if (harm.locations[0] == "Error Checking DB Version")
            EXPECT_EQ(QueryOne(Db(h), "PRAGMA integrity_check"), "ok");
        else
            EXPECT_EQ(ReadWholeFile(Db(h)), harmed);
        EXPECT_FALSE(std::filesystem::exists(Db(h) + "-journal"));
        h.TickAt(9, 0, 10);
        h.TickAt(9, 0, 20);
        EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("ten", "twenty"));

        // A good file in its place is loaded at the next watch.
        h.WriteDatabase({Event(4, 0, "09:00:30", "repaired"), Event(5, 1, "08:00:00", "tue")});
        WatchAt(h, 9, 0, 21);
        h.TickAt(9, 0, 30);
        EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("ten", "twenty", "repaired"));
    }
}

TEST(DatabaseFault, AFolderInTheFilesPlaceMeansNoEventsNoErrorsAndIsNeverReplaced) {
    EngineHarness h{kMonday};
    std::filesystem::create_directory(Db(h));
    h.Start();
    EXPECT_EQ(h.view.Panels[1], "0 Total Events");
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{" ", " ", "No Events"}));
    h.MarkSwitcherUp();
    for (int s = 1; s <= 6; ++s)
        WatchAt(h, 9, 0, s);
    EXPECT_EQ(h.view.Panels[3], "09:00:06");  // still ticking
    EXPECT_TRUE(std::filesystem::is_directory(Db(h)));
    EXPECT_THAT(DbErrors(h), IsEmpty());
}

// Skip and one-time markings the engine cannot write: a write lock of another process, a
// read-only file, a folder without write permission (as an unprivileged user: root ignores
// permission bits). Both fail in bounded time, neither is half done in the file, both are
// consumed in the table and kept for a later write, and every event runs.
TEST(DatabaseFault, MarkingsThatCannotBeWrittenFailCleanlyAndAreKept) {
    const std::pair<std::string, const char*> faults[] = {
        {"lock", "Error # 3218"},
        {"read-only file", "Error # 3027"},
        {"folder without write permission", "Error # 3027"}};
    for (const auto& [fault, number] : faults) {
        SCOPED_TRACE(fault);
        AsNobody([&] {
            EngineHarness h{kMonday};
            StartWith(h, {With(Event(1, 0, "09:00:01", "skip"), {{"Active", 2}}),
                          With(Event(2, 0, "09:00:01", "once"), {{"Active", 3}}),
                          Event(3, 0, "09:00:05", "after")});
            // Both logs exist before the folder is closed, so the failures can be recorded.
            h.engine->Log().WriteActivityLog("seed");
            h.engine->Log().ReportError("seed");
            std::unique_ptr<LockHolder> other;
            if (fault == "lock") {
                other = std::make_unique<LockHolder>(
                    Db(h), "BEGIN IMMEDIATE; UPDATE Automation SET Title = 'other' WHERE 0");
                ASSERT_TRUE(other->Holding());
            } else {
                const bool folder = fault != "read-only file";
                ::chmod(folder ? h.dir.Path().c_str() : Db(h).c_str(), folder ? 0555 : 0444);
                // The fault is real: this user cannot write there.
                const std::string probe = folder ? h.dir.File("probe") : Db(h);
                ASSERT_TRUE(::open(probe.c_str(), O_WRONLY | O_CREAT, 0644) < 0 && errno == EACCES);
            }
            const std::string before = ReadWholeFile(Db(h));
            const auto start = std::chrono::steady_clock::now();
            h.TickAt(9, 0, 1);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
            EXPECT_THAT(DbErrors(h), ElementsAre("seed", "Error Updating Skip Event",
                                                 "Error Deleting One Time Event"));
            EXPECT_TRUE(Logged(h, number));
            // Neither marking is half done in the file; the table has both consumed.
            EXPECT_EQ(ReadWholeFile(Db(h)), before);
            EXPECT_EQ(h.vars().EventTable[0].Active, 1);
            EXPECT_EQ(h.vars().EventCount, 3);
            other.reset();
            h.TickAt(9, 0, 5);
            EXPECT_THAT(Titles(h.view.HistoryRows),
                        ElementsAre("skip - Not Executed", "once", "after"));
            // Once the lock is gone, the next watch writes both; the others keep them waiting,
            // without a second report.
            WatchAt(h, 9, 0, 6);
            EXPECT_EQ(ReadWholeFile(Db(h)) == before, fault != "lock");
            EXPECT_THAT(DbErrors(h), ElementsAre("seed", "Error Updating Skip Event",
                                                 "Error Deleting One Time Event"));
            h.engine->Log().WriteActivityLog("still logging");
            EXPECT_EQ(h.ActivityMessages().back(), "still logging");
        });
    }
}

TEST(DatabaseFault, ReloadBlockedByAnExclusiveLockCatchesUpWhenTheOtherWriterCommits) {
    EngineHarness h{kMonday};
    StartWith(h, kTwoEvents);
    LockHolder other(Db(h),
                     "BEGIN EXCLUSIVE; UPDATE Automation SET Title = 'ten!' WHERE Number = 1");
    ASSERT_TRUE(other.Holding());
    // The other program has touched the file: the watch tries to reload and cannot read.
    ASSERT_EQ(::utimensat(AT_FDCWD, Db(h).c_str(), nullptr, 0), 0);
    const auto start = std::chrono::steady_clock::now();
    WatchAt(h, 9, 0, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_THAT(DbErrors(h), Contains("Error Reading Automation DB"));
    EXPECT_TRUE(Logged(h, "Error # 3218"));
    EXPECT_EQ(h.view.Panels[1], "3 Total Events");

    other.Finish(true);
    WatchAt(h, 9, 0, 2);
    h.TickAt(9, 0, 10);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("ten!"));
}

}  // namespace
}  // namespace qtx::test
