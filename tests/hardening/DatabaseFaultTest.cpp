// The whole engine meeting a broken, locked or unwritable event database: every fault is
// reported with its location, the engine keeps ticking and running the events it holds, and the
// engine never changes the bytes of a file it could not use.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "hardening/Hardening.h"

namespace qtx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

std::vector<EventRow> Week() {
    return {Event(1, 0, "09:00:10", "ten"), Event(2, 0, "09:00:20", "twenty"),
            Event(3, 1, "08:00:00", "tuesday")};
}

class DatabaseFault : public ::testing::Test {
  protected:
    std::string Db() const { return h.dir.File("QTXAutomation.mdb"); }
    EngineHarness h{kMonday};
};

// Error-log locations without the failed polls: the links these tests mark as up have no
// switcher behind them, so every poll write fails and is reported.
std::vector<std::string> DbErrors(const EngineHarness& h) {
    std::vector<std::string> out;
    for (const std::string& loc : h.ErrorLocations())
        if (loc != "Error sending to switcher")
            out.push_back(loc);
    return out;
}

// Kinds of damage done to the live file by something other than the engine.
struct Damage {
    const char* name;
    std::function<std::string(const std::string& good)> bytes;
};

class DamagedFile : public DatabaseFault, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedFile, IsReportedOnceNeverWrittenAndTheLastGoodTableRunsOn) {
    h.WriteDatabase(Week());
    h.Start();
    h.MarkSwitcherUp();
    const std::string damaged = GetParam().bytes(ReadWholeFile(Db()));
    WriteWholeFile(Db(), damaged);

    WatchAt(h, 9, 0, 1);
    const auto first = DbErrors(h);
    ASSERT_THAT(first, Not(IsEmpty()));
    for (const std::string& loc : first)
        EXPECT_TRUE(loc == "Invalid Automation DB" || loc == "Error Reading Automation DB" ||
                    loc == "Error Checking DB Version")
            << loc;
    // The refused file is not read again at every watch: the log does not fill up.
    WatchAt(h, 9, 0, 2);
    WatchAt(h, 9, 0, 3);
    EXPECT_EQ(DbErrors(h).size(), first.size());
    EXPECT_EQ(ReadWholeFile(Db()), damaged);
    EXPECT_FALSE(std::filesystem::exists(Db() + "-journal"));

    h.TickAt(9, 0, 10);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("ten"));
    EXPECT_EQ(h.view.Panels[3], "09:00:10");

    // A good file in its place is loaded at the next watch.
    h.WriteDatabase({Event(4, 0, "09:00:30", "repaired"), Event(5, 1, "08:00:00", "tue")});
    WatchAt(h, 9, 0, 11);
    EXPECT_EQ(h.view.Panels[1], "2 Total Events");
    h.TickAt(9, 0, 30);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("ten", "repaired"));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedFile,
    ::testing::Values(
        Damage{"EmptiedToZeroBytes", [](const std::string&) { return std::string(); }},
        Damage{
            "NotADatabase",
            [](const std::string&) { return std::string("Standard Jet DB\0\0\0 not sqlite", 29); }},
        Damage{"TruncatedToItsFirstPage",
               [](const std::string& good) { return good.substr(0, 4096); }},
        Damage{"TruncatedMidPage",
               [](const std::string& good) { return good.substr(0, good.size() / 2 + 100); }},
        Damage{"HeaderOverwritten",
               [](const std::string& good) { return std::string(100, 'x') + good.substr(100); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DatabaseFault, MissingFileOrAFolderInItsPlaceMeansNoEventsUntilAFileAppears) {
    std::filesystem::create_directory(Db());
    h.Start();
    EXPECT_EQ(h.view.Panels[1], "0 Total Events");
    EXPECT_THAT(h.view.NextRows, ElementsAre(ListRow{" ", " ", "No Events"}));
    h.MarkSwitcherUp();
    for (int s = 1; s <= 6; ++s)
        WatchAt(h, 9, 0, s);
    EXPECT_EQ(h.view.Panels[3], "09:00:06");
    EXPECT_TRUE(h.view.HistoryRows.empty());
    EXPECT_TRUE(std::filesystem::is_directory(Db()));  // never replaced by the engine

    std::filesystem::remove(Db());
    h.WriteDatabase(Week());
    WatchAt(h, 9, 0, 7);
    EXPECT_EQ(h.view.Panels[1], "3 Total Events");
    h.MarkSwitcherUp();  // the first settings read has dropped the link for their server
    h.TickAt(9, 0, 10);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("ten"));
    EXPECT_THAT(DbErrors(h), IsEmpty());
}

// Outside edits that take away what the loader needs.
class MissingPart : public DatabaseFault, public ::testing::WithParamInterface<const char*> {};

TEST_P(MissingPart, IsReportedAndTheEventsAlreadyLoadedStillRun) {
    h.WriteDatabase(Week());
    h.Start();
    h.MarkSwitcherUp();
    h.Sql(GetParam());
    const std::string edited = ReadWholeFile(Db());
    WatchAt(h, 9, 0, 1);
    EXPECT_TRUE(Contains(DbErrors(h), "Error Reading Automation DB"));
    EXPECT_EQ(ReadWholeFile(Db()), edited);
    h.TickAt(9, 0, 10);
    h.TickAt(9, 0, 20);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("ten", "twenty"));
}

INSTANTIATE_TEST_SUITE_P(Edits, MissingPart,
                         ::testing::Values("DROP TABLE Automation", "DROP TABLE Server",
                                           "DROP TABLE Type", "ALTER TABLE Automation DROP Title",
                                           "ALTER TABLE Automation DROP COLUMN Number"));

TEST_F(DatabaseFault, MissingInfoTableIsRebuiltWithoutLosingAnEvent) {
    h.WriteDatabase(Week());
    h.Start();
    h.Sql("DROP TABLE Info");
    WatchAt(h, 9, 0, 1);
    // The file is taken for a version-1 file; its upgrade meets columns that exist already.
    EXPECT_TRUE(Contains(DbErrors(h), "Error Checking DB Version"));
    EXPECT_EQ(QueryOne(Db(), "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(QueryOne(Db(), "SELECT group_concat(Title) FROM Automation"), "ten,twenty,tuesday");
    EXPECT_EQ(h.view.Panels[1], "3 Total Events");
}

TEST_F(DatabaseFault, WriteLockOfAnotherProcessFailsTheMarkingsInBoundedTimeAndKeepsThem) {
    h.WriteDatabase({With(Event(1, 0, "09:00:01", "skip"), {{"Active", 2}}),
                     With(Event(2, 0, "09:00:01", "once"), {{"Active", 3}}),
                     Event(3, 0, "09:00:05", "after"), Event(4, 1, "08:00:00", "tuesday")});
    h.Start();
    h.MarkSwitcherUp();
    const std::string before = ReadWholeFile(Db());
    LockHolder other(Db(), "BEGIN IMMEDIATE", "UPDATE Automation SET Title = 'other' WHERE 0");
    ASSERT_TRUE(other.Holding());

    const auto start = std::chrono::steady_clock::now();
    h.TickAt(9, 0, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    EXPECT_THAT(DbErrors(h),
                ElementsAre("Error Updating Skip Event", "Error Deleting One Time Event"));
    EXPECT_NE(ReadWholeFile(h.dir.File("Errorlog.txt")).find("Error # 3218"), std::string::npos);
    // Neither marking is half done: the file and the table still hold both.
    EXPECT_EQ(ReadWholeFile(Db()), before);
    EXPECT_EQ(h.vars().EventTable[0].Active, 2);
    EXPECT_EQ(h.vars().EventCount, 4);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("skip - Not Executed", "once"));

    other.Finish(false);
    h.TickAt(9, 0, 5);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("skip - Not Executed", "once", "after"));
    EXPECT_EQ(QueryOne(Db(), "SELECT count(*) FROM Automation WHERE Active IN (2, 3)"), "2");
}

TEST_F(DatabaseFault, ReloadBlockedByAnExclusiveLockCatchesUpWhenTheOtherWriterCommits) {
    h.WriteDatabase(Week());
    h.Start();
    h.MarkSwitcherUp();
    LockHolder other(Db(), "BEGIN EXCLUSIVE",
                     "UPDATE Automation SET Title = 'ten!' WHERE Number = 1");
    ASSERT_TRUE(other.Holding());
    // The other program has touched the file: the watch tries to reload and cannot read.
    ASSERT_EQ(::utimensat(AT_FDCWD, Db().c_str(), nullptr, 0), 0);
    const auto start = std::chrono::steady_clock::now();
    WatchAt(h, 9, 0, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_TRUE(Contains(DbErrors(h), "Error Reading Automation DB"));
    EXPECT_EQ(h.view.Panels[1], "3 Total Events");

    other.Finish(true);
    WatchAt(h, 9, 0, 2);
    EXPECT_EQ(h.vars().EventTable[0].Title, "ten!");
    h.TickAt(9, 0, 10);
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("ten!"));
}

// The engine as an unprivileged user, against a read-only file or a folder it cannot write.
// Runs in a child process; the checks' verdict is its exit status.
enum class Unwritable { File, Folder };

void RunUnwritable(void* arg) {
    const Unwritable kind = *static_cast<Unwritable*>(arg);
    ChildChecks c;
    {
        EngineHarness h{kMonday};
        h.WriteDatabase({With(Event(1, 0, "09:00:01", "skip"), {{"Active", 2}}),
                         With(Event(2, 0, "09:00:02", "once"), {{"Active", 3}}),
                         Event(3, 0, "09:00:03", "after"), Event(4, 1, "08:00:00", "tuesday")});
        const std::string db = h.dir.File("QTXAutomation.mdb");
        h.Start();
        // Both logs exist before the folder is closed, so the failures can be recorded.
        h.engine->Log().WriteActivityLog("seed");
        h.engine->Log().ReportError("seed");
        if (kind == Unwritable::File)
            ::chmod(db.c_str(), 0444);
        else
            ::chmod(h.dir.Path().c_str(), 0555);
        // The fault is real: this user cannot write there.
        const std::string probe = kind == Unwritable::File ? db : h.dir.File("probe");
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT, 0644);
        if (!c.Check(fd < 0 && errno == EACCES, "the write is refused"))
            c.Exit();
        const std::string before = ReadWholeFile(db);
        h.MarkSwitcherUp();
        h.TickAt(9, 0, 1);
        h.TickAt(9, 0, 2);
        h.TickAt(9, 0, 3);
        const auto locs = DbErrors(h);
        c.Check(Contains(locs, "Error Updating Skip Event"), "skip failure reported");
        c.Check(Contains(locs, "Error Deleting One Time Event"), "delete failure reported");
        c.Check(ReadWholeFile(db) == before, "file unchanged");
        c.Check(h.vars().EventTable[0].Active == 2, "skip mark kept");
        c.Check(h.vars().EventCount == 4, "one-time event kept");
        c.Check(Titles(h.view.HistoryRows) ==
                    std::vector<std::string>{"skip - Not Executed", "once", "after"},
                "every event ran or was refused");
        h.engine->Log().WriteActivityLog("still logging");
        const auto activity = h.ActivityMessages();
        c.Check(!activity.empty() && activity.back() == "still logging", "activity log written");
        ::chmod(h.dir.Path().c_str(), 0755);
    }
    c.Exit();
}

TEST(UnprivilegedDatabase, ReadOnlyFileIsReadButNeverWritten) {
    Unwritable kind = Unwritable::File;
    EXPECT_EQ(RunAsNobody(RunUnwritable, &kind), 0);
}

TEST(UnprivilegedDatabase, FolderWithoutWritePermissionFailsTheMarkingsCleanly) {
    Unwritable kind = Unwritable::Folder;
    EXPECT_EQ(RunAsNobody(RunUnwritable, &kind), 0);
}

}  // namespace
}  // namespace qtx::test
