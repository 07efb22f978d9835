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
        ASSERT_GT(ReadWholeFile(h.Db()).size(), 12000u);
        if (harm.keep < 0)
            h.Sql(harm.text);
        else
            WriteWholeFile(h.Db(), ReadWholeFile(h.Db()).substr(0, harm.keep) + harm.text);
        const std::string harmed = ReadWholeFile(h.Db());
        // Reported once: the refused file is not read again at every watch.
        for (int s = 1; s <= 3; ++s)
            WatchAt(h, 9, 0, s);
        EXPECT_EQ(h.DatabaseErrors(), harm.locations);
        EXPECT_TRUE(h.Logged(harm.fault));
        if (harm.locations[0] == "Error Checking DB Version")
            EXPECT_EQ(QueryOne(h.Db(), "PRAGMA integrity_check"), "ok");
        else
            EXPECT_EQ(ReadWholeFile(h.Db()), harmed);
        EXPECT_FALSE(std::filesystem::exists(h.Db() + "-journal"));
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
    std::filesystem::create_directory(h.Db());
    h.Start();
    EXPECT_EQ(h.view.Panels[1], "0 Total Events");
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{" ", " ", "No Events"}));
    h.MarkSwitcherUp();
    for (int s = 1; s <= 6; ++s)
        WatchAt(h, 9, 0, s);
    EXPECT_EQ(h.view.Panels[3], "09:00:06");  // still ticking
    EXPECT_TRUE(std::filesystem::is_directory(h.Db()));
    EXPECT_THAT(h.DatabaseErrors(), IsEmpty());
}

// Skip and one-time markings the engine cannot write: a read-only file, a folder without write
// permission (as an unprivileged user: root ignores permission bits). Both fail in bounded
// time, neither is half done in the file, both are consumed in the table and kept, and every
// event runs. (Another process's write lock is the pending-marking tests'.)
TEST(DatabaseFault, MarkingsThatCannotBeWrittenFailCleanlyAndAreKept) {
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "folder without write permission" : "read-only file");
        AsNobody([&] {
            EngineHarness h{kMonday};
            StartWith(h, {With(Event(1, 0, "09:00:01", "skip"), {{"Active", 2}}),
                          With(Event(2, 0, "09:00:01", "once"), {{"Active", 3}}),
                          Event(3, 0, "09:00:05", "after")});
            // Both logs exist before the folder is closed, so the failures can be recorded.
            h.engine->Log().WriteActivityLog("seed");
            h.engine->Log().ReportError("seed");
            ::chmod(folder ? h.dir.Path().c_str() : h.Db().c_str(), folder ? 0555 : 0444);
            // The fault is real: this user cannot write there.
            const std::string probe = folder ? h.dir.File("probe") : h.Db();
            ASSERT_TRUE(::open(probe.c_str(), O_WRONLY | O_CREAT, 0644) < 0 && errno == EACCES);
            const std::string before = ReadWholeFile(h.Db());
            const auto start = std::chrono::steady_clock::now();
            h.TickAt(9, 0, 1);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
            EXPECT_THAT(h.DatabaseErrors(), ElementsAre("seed", "Error Updating Skip Event",
                                                        "Error Deleting One Time Event"));
            EXPECT_TRUE(h.Logged("Error # 3027"));
            // Neither marking is half done in the file; the table has both consumed.
            EXPECT_EQ(ReadWholeFile(h.Db()), before);
            EXPECT_EQ(h.vars().EventTable[0].Active, 1);
            EXPECT_EQ(h.vars().EventCount, 3);
            h.TickAt(9, 0, 5);
            EXPECT_THAT(Titles(h.view.HistoryRows),
                        ElementsAre("skip - Not Executed", "once", "after"));
            // The next watch keeps them waiting, without a second report.
            WatchAt(h, 9, 0, 6);
            EXPECT_EQ(ReadWholeFile(h.Db()), before);
            EXPECT_THAT(h.DatabaseErrors(), ElementsAre("seed", "Error Updating Skip Event",
                                                        "Error Deleting One Time Event"));
            h.engine->Log().WriteActivityLog("still logging");
            EXPECT_EQ(h.ActivityMessages().back(), "still logging");
        });
    }
}

TEST(DatabaseFault, ReloadBlockedByAnExclusiveLockCatchesUpWhenTheOtherWriterCommits) {
    EngineHarness h{kMonday};
    StartWith(h, kTwoEvents);
    LockHolder other(h.Db(),
                     "BEGIN EXCLUSIVE; UPDATE Automation SET Title = 'ten!' WHERE Number = 1");
    ASSERT_TRUE(other.Holding());
    // The other program has touched the file: the watch tries to reload and cannot read.
    ASSERT_EQ(::utimensat(AT_FDCWD, h.Db().c_str(), nullptr, 0), 0);
    const auto start = std::chrono::steady_clock::now();
    WatchAt(h, 9, 0, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_THAT(h.DatabaseErrors(), Contains("Error Reading Automation DB"));
    EXPECT_TRUE(h.Logged("Error # 3218"));
    EXPECT_EQ(h.view.Panels[1], "3 Total Events");

    other.Finish(true);
    WatchAt(h, 9, 0, 2);
    h.TickAt(9, 0, 10);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("ten!"));
}

}  // namespace
}  // namespace qtx::test
