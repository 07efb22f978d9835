// The loader and its helpers against real event databases: settings and events, address
// validation, schema upgrades from every version, and the task viewer's copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "common/Clock.h"
#include "common/Variables.h"
#include "database/DBEngine.h"
#include "database/DiskWork.h"
#include "database/EventSchema.h"
#include "fixtures/DiskWorkEnv.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"
#include "logging/Logs.h"
#include "ui/RecordingMainWindow.h"

namespace qtx::test {
namespace {

class LoadTest : public ::testing::Test {
  protected:
    void SetUp() override { MakeEventDb(env.Db()); }
    void Event(int number, int day, const char* time) {
        AddEvent(env.Db(), {{"Number", number}, {"Day", day}, {"Time", time}});
    }
    std::vector<std::string> Order() const {
        std::vector<std::string> out;
        for (const auto& e : env.vars.EventTable)
            out.push_back(std::to_string(e.Day) + " " + e.Time);
        return out;
    }
    DiskWorkEnv env;
};

// The fields a load settles from Null or out-of-range values, in one line.
std::string Settled(const AutomationEvent& e) {
    std::ostringstream s;
    s << e.Day << " " << e.DayName << " " << e.Time << " " << e.Title << " [" << e.FileName << "|"
      << e.Message << "|" << e.Method << "] " << e.MIPAddress << " color " << e.Color << " gain "
      << e.Gain << " active " << e.Active << " controls " << e.xcontrol << e.scontrol << e.vcontrol
      << e.Condition << e.tControl << " source " << e.SourceChan;
    return s.str();
}

TEST_F(LoadTest, OrdersByDayThenTimeTextAndCountsRows) {
    RunSql(env.Db(),
           "INSERT INTO Automation (Number, Day, Time) VALUES (1, 3, '08:00:00'), "
           "(2, 0, '23:00:00'), (3, 0, '07:30:00'), (4, 8, '10:00:00'), (5, 7, '10:00:00'), "
           "(6, 7, '9:00:00')");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(Order(), (std::vector<std::string>{"0 07:30:00", "0 23:00:00", "3 08:00:00",
                                                 "7 10:00:00", "7 9:00:00", "8 10:00:00"}));
    EXPECT_EQ(env.view.Panels[1], "6 Total Events");
    EXPECT_EQ(env.vars.EventCount, 6);
    const auto& t = env.vars.EventTable;
    EXPECT_EQ(t[0].DayName + " " + t[5].DayName + " " + std::to_string(t[5].DayIndex),
              "Monday None 7");
    EXPECT_EQ(env.ErrorLog(), "");
}

TEST_F(LoadTest, NullsAndValuesAboveLimitsAreReplaced) {
    Event(1, 2, "01:00:00");
    RunSql(env.Db(),
           "UPDATE Automation SET Active = 4, Gain = 2025, xcontrol = 4, scontrol = 2, "
           "vcontrol = 3, Condition = 3, tControl = 3, SourceChan = -5");
    AddEvent(env.Db(), {{"Number", 2}, {"Day", -3}, {"Gain", 2024}});
    env.disk.LoadAutomationDB();
    ASSERT_EQ(env.vars.EventCount, 2);
    // Day -3 sorts first.
    EXPECT_EQ(Settled(env.vars.EventTable[0]),
              "-3 None 24:00:00 None [ | | ] 0.0.0.0 color 16777215 gain 2024 active 0 "
              "controls 00000 source 0");
    EXPECT_EQ(Settled(env.vars.EventTable[1]),
              "2 Wedensday 01:00:00 None [ | | ] 0.0.0.0 color 16777215 gain 1024 active 0 "
              "controls 00000 source -5");
}

TEST_F(LoadTest, ServerSettingsAreSettledKeptWhenUnreadableAndAChangeDisconnectsOnce) {
    const auto settings = [&] {
        const Variables& v = env.vars;
        return v.ServerIPAddr + ":" + std::to_string(v.ServerIPPort) + " slave " + v.SlaveIPAddr +
               ":" + std::to_string(v.SlaveIPPort) + (v.SlaveEnabled ? " on" : " off") +
               (v.StartMinimized ? " minimized" : "") + ", " + std::to_string(env.disconnects);
    };
    RunSql(env.Db(),
           "UPDATE Server SET IPPort = -1, IPAddr = '192.168.001.010', SlaveIPPort = NULL, "
           "SlaveIPAddr = NULL, TaskViewDB = NULL; UPDATE Info SET StartMin = -1;");
    Event(1, 0, "01:00:00");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(settings(), "192.168.1.10:1250 slave 0.0.0.0:1 off minimized, 1");
    env.disk.LoadAutomationDB();  // nothing changed: no disconnection
    EXPECT_EQ(settings(), "192.168.1.10:1250 slave 0.0.0.0:1 off minimized, 1");
    RunSql(env.Db(),
           "UPDATE Server SET IPAddr = '192.168.1', SlaveIPPort = ' 77', "
           "SlaveIPAddr = '10.0.0.300'");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(settings(), "0.0.0.0:1250 slave 10.0.0.255:77 on minimized, 2");
    // A later setting that cannot be read keeps its value; the events still load.
    RunSql(env.Db(), "UPDATE Server SET SlaveIPPort = 'many'");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(settings(), "0.0.0.0:1250 slave 10.0.0.255:77 on minimized, 2");
    EXPECT_EQ(env.vars.EventCount, 1);
    EXPECT_EQ(env.ErrorLog(), "");
}

TEST_F(LoadTest, EmptyRefusedAndMissingFilesChangeOnlyTheCount) {
    env.vars.ServerIPAddr = "1.2.3.4";
    env.vars.EventCount = 5;
    env.disk.LoadAutomationDB();  // the table is empty
    EXPECT_EQ(env.vars.EventCount, 0);
    EXPECT_EQ(env.view.Panels[1], "0 Total Events");
    EXPECT_EQ(env.disconnects, 0);

    RunSql(env.Db(), "UPDATE Type SET Type = 'automation'");
    env.vars.EventCount = 5;
    env.disk.LoadAutomationDB();
    ASSERT_EQ(env.view.MessageBoxes.size(), 1u);
    const auto& box = env.view.MessageBoxes[0];
    EXPECT_EQ(box.Text + "/" + box.Title, "Invalid Database File/File Error");
    EXPECT_EQ(box.Kind, MessageBoxKind::Critical);
    EXPECT_EQ(env.vars.EventCount, 0);

    std::filesystem::remove(env.Db());
    env.vars.ServerIPAddr = "1.2.3.4";
    env.view.Panels[1] = "";
    env.disk.LoadAutomationDB();
    EXPECT_EQ(env.view.Panels[1], "0 Total Events");
    EXPECT_EQ(env.vars.ServerIPAddr, "1.2.3.4");
    EXPECT_EQ(env.ErrorLog(), "");
}

TEST_F(LoadTest, AFaultWhileFillingKeepsThePreviousTableWhole) {
    Event(1, 0, "01:00:00");
    Event(2, 1, "02:00:00");
    env.disk.LoadAutomationDB();
    ASSERT_EQ(env.vars.EventCount, 2);
    for (const auto& bad : {"UPDATE Automation SET MFrame = 256 WHERE Number = 2",
                            "UPDATE Automation SET MFrame = 0, Number = NULL WHERE Number = 2",
                            "UPDATE Automation SET Number = 2, SourceChan = 40000 "
                            "WHERE Number IS NULL"}) {
        RunSql(env.Db(), "INSERT INTO Automation (Number, Day, Time) VALUES (3, 0, '00:30:00')");
        RunSql(env.Db(), bad);
        env.disk.LoadAutomationDB();
        EXPECT_EQ(env.vars.EventCount, 2) << bad;
        EXPECT_EQ(env.view.Panels[1], "2 Total Events");
        EXPECT_EQ(Order(), (std::vector<std::string>{"0 01:00:00", "1 02:00:00"}));
        RunSql(env.Db(), "DELETE FROM Automation WHERE Number = 3");
    }
    EXPECT_TRUE(env.Logged("Error Reading Automation DB"));
    EXPECT_TRUE(env.Logged("Overflow"));
}

TEST(ValidateIPAddress, NormalisesDottedAddresses) {
    DiskWorkEnv env;
    // Pairs of an address and its normal form; rounding is half to even.
    const char* good[] = {"192.168.001.010", "192.168.1.10", "10.0.0.300", "10.0.0.255",
                          "1.2.3.4.5",       "1.2.3.4",      "a.b.c.d",    "0.0.0.0",
                          "1.2.3.2.5",       "1.2.3.2",      "1.2.3.3.5",  "1.2.3.4",
                          " 1 0.-4..7x",     "10.0.0.7",     "1.2.3.1e2",  "1.2.3.100",
                          "1.2.3.9e99",      "1.2.3.255",    "1.2.3.0.5",  "1.2.3.0"};
    for (size_t i = 0; i < std::size(good); i += 2) {
        EXPECT_TRUE(env.disk.ValidateIPAddress(good[i])) << good[i];
        EXPECT_EQ(env.vars.ValidIPAddr, good[i + 1]) << good[i];
    }
    env.vars.ValidIPAddr = "kept";
    for (const char* bad : {"10.0.0.", "10.0.0", "", "1234", "..."}) {
        EXPECT_FALSE(env.disk.ValidateIPAddress(bad)) << bad;
        EXPECT_EQ(env.vars.ValidIPAddr, "kept");
    }
}

// Schema upgrades.

std::vector<std::string> Names(int version, const std::string& table) {
    std::vector<std::string> out;
    for (const ColumnSpec& c : SchemaColumns(table, version))
        out.push_back(c.Name);
    return out;
}

class UpgradeTest : public ::testing::TestWithParam<int> {};

// From each version 1 .. 6, and (0) from a version-1 file that lost its Info table.
TEST_P(UpgradeTest, OneCheckRaisesTheFileToSevenWithEveryColumn) {
    DiskWorkEnv env;
    const int from = GetParam();
    MakeEventDb(env.Db(), std::max(from, 1));
    if (from == 0)
        RunSql(env.Db(), "DROP TABLE Info");
    AddEvent(env.Db(), {{"Number", 1}, {"Day", 0}, {"Time", "01:00:00"}});
    if (from >= 6)
        RunSql(env.Db(), "UPDATE Automation SET Color = 255");
    env.disk.CheckDBVersion();
    EXPECT_EQ(env.ErrorLog(), "");
    EXPECT_EQ(QueryOne(env.Db(), "SELECT count(*) || '/' || Version || '/' || StartMin FROM Info"),
              "1/7/0");
    for (const char* table : {"Server", "Info", "Automation"})
        EXPECT_EQ(ColumnNames(env.Db(), table), Names(7, table)) << table;
    EXPECT_EQ(QueryOne(env.Db(), "SELECT Color FROM Automation"), from >= 6 ? "255" : "16777215");
    // The loader reads everything the upgrade made.
    env.disk.LoadAutomationDB();
    EXPECT_EQ(env.vars.EventCount, 1);
}

INSTANTIATE_TEST_SUITE_P(FromEachVersion, UpgradeTest, ::testing::Values(0, 1, 2, 3, 4, 5, 6));

TEST(Upgrade, VersionsOutsideOneToSixAreLeftUnchanged) {
    for (const char* version : {"0", "-2", "7", "9"}) {
        DiskWorkEnv env;
        MakeEventDb(env.Db(), 1);
        RunSql(env.Db(), std::string("UPDATE Info SET Version = '") + version + "'");
        const std::string before = ReadWholeFile(env.Db());
        env.disk.CheckDBVersion();
        EXPECT_EQ(ReadWholeFile(env.Db()), before) << version;
        EXPECT_EQ(env.ErrorLog(), "");
    }
}

// A column that exists already, at the start of a step or half-way through it: the step is
// undone as a whole and the version stays.
TEST(Upgrade, APreexistingColumnStopsTheStepAndAddsNothing) {
    for (const char* column : {"triggersource SMALLINT", "Method TEXT"}) {
        SCOPED_TRACE(column);
        DiskWorkEnv env;
        MakeEventDb(env.Db(), 1);
        const auto before = ColumnNames(env.Db(), "Automation");
        RunSql(env.Db(), std::string("ALTER TABLE Automation ADD COLUMN ") + column);
        env.disk.CheckDBVersion();
        EXPECT_TRUE(env.Logged("Error Checking DB Version"));
        EXPECT_TRUE(env.Logged("Error # 3191"));
        EXPECT_EQ(ColumnNames(env.Db(), "Automation").size(), before.size() + 1);
        EXPECT_EQ(QueryOne(env.Db(), "SELECT Version FROM Info"), "1");
    }
}

TEST(Upgrade, UnreadableOrMissingVersionsAreReported) {
    DiskWorkEnv env;
    MakeEventDb(env.Db(), 3);
    RunSql(env.Db(), "UPDATE Info SET Version = 'three'");
    env.disk.CheckDBVersion();
    EXPECT_TRUE(env.Logged("Error Checking DB Version"));
    RunSql(env.Db(), "DELETE FROM Info");
    env.disk.CheckDBVersion();
    EXPECT_TRUE(env.Logged("Error # 3021"));
}

// The task viewer's copy of the events: first copy, refresh, compaction and their faults (a copy
// that cannot be opened where it lies is the disk-work fault tests' FIFO).

class TaskViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeEventDb(env.Db());
        AddFullEvent(env.Db(), 1, 0, "01:00:00", "First");
        AddFullEvent(env.Db(), 2, 1, "02:00:00", "Second");
        viewDir = env.dir.File("viewer");
        std::filesystem::create_directory(viewDir);
        RunSql(env.Db(), "UPDATE Server SET TaskViewDB = '" + viewDir + "'");
        copy = viewDir + "/QTXAutomation.mdb";
    }
    // A load, and the refresh of the copy it starts on the task-view thread.
    void Load() {
        env.disk.LoadAutomationDB();
        env.disk.FinishDiskWork();
    }
    DiskWorkEnv env;
    std::string viewDir, copy;
};

TEST_F(TaskViewTest, FirstLoadCopiesTheFileAndLaterLoadsRebuildTheRows) {
    Load();
    EXPECT_EQ(ReadWholeFile(copy), ReadWholeFile(env.Db()));
    RunSql(env.Db(),
           "DELETE FROM Automation WHERE Number = 1; UPDATE Automation SET Title = 'Changed', "
           "Days = x'00ff'; UPDATE Server SET IPPort = 9");
    AddFullEvent(env.Db(), 3, 2, "03:00:00", "Third");
    Load();
    EXPECT_EQ(env.ErrorLog(), "");
    EXPECT_EQ(QueryColumn(copy, "SELECT Title || '/' || hex(Days) FROM Automation ORDER BY rowid"),
              (std::vector<std::string>{"Changed/00FF", "Third/78"}));
    EXPECT_EQ(QueryOne(copy, "SELECT IPPort FROM Server"), "1250");  // settings not carried
    EXPECT_EQ(QueryOne(copy, "PRAGMA journal_mode"), "delete");      // an ordinary file
    EXPECT_FALSE(std::filesystem::exists(env.dir.File("TempCompact.mdb")));
    // A temporary file left by an earlier failed compaction does not block this one.
    WriteWholeFile(env.dir.File("TempCompact.mdb"), "left over");
    RunSql(env.Db(), "UPDATE Automation SET Title = 'Again'");
    Load();
    EXPECT_EQ(QueryOne(copy, "SELECT group_concat(Title) FROM Automation"), "Again,Again");
    EXPECT_EQ(env.ErrorLog(), "");
}

// Reloads faster than the refreshes: they never run two at once, the newest rows win, and the
// copy comes out compact with its own indexes and settings.
TEST_F(TaskViewTest, RefreshesRequestedWhileOneRunsEndWithTheNewestRowsCompact) {
    Load();
    RunSql(copy, "CREATE INDEX ByTitle ON Automation (Title); PRAGMA user_version = 5");
    RunSql(env.Db(), "UPDATE Automation SET Future1 = 'not carried'");
    for (int i = 0; i < 5; ++i) {
        RunSql(env.Db(), "UPDATE Automation SET Title = 'v" + std::to_string(i) + "'");
        env.disk.LoadAutomationDB();
    }
    env.disk.FinishDiskWork();
    EXPECT_EQ(env.ErrorLog(), "");
    EXPECT_EQ(QueryOne(copy, "SELECT group_concat(Title) FROM Automation"), "v4,v4");
    EXPECT_EQ(QueryOne(copy, "SELECT count(*) FROM sqlite_schema WHERE name = 'ByTitle'"), "1");
    EXPECT_EQ(QueryOne(copy, "PRAGMA user_version"), "5");
    EXPECT_EQ(QueryOne(copy, "SELECT count(Future1) FROM Automation"), "0");
    EXPECT_EQ(QueryOne(copy, "PRAGMA freelist_count"), "0");
    EXPECT_EQ(QueryOne(copy, "PRAGMA integrity_check"), "ok");
}

// An engine that stops while a refresh runs: the refresh is stopped or finished, never left
// half done, and nothing is left behind.
TEST_F(TaskViewTest, StoppingDuringARefreshLeavesTheCopyWholeAndNoTemporaryFile) {
    Load();
    RunSql(env.Db(),
           "WITH RECURSIVE r(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM r WHERE n < 19999) "
           "INSERT INTO Automation (Number, Day, Time, Title) SELECT 100 + n / 4, 3, "
           "'10:00:00', 'row ' || n FROM r");
    for (int delayMs : {0, 20}) {
        auto disk = std::make_unique<DiskWork>(env.vars, env.logs, env.view, env.engine);
        disk->LoadAutomationDB();
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        disk.reset();
        EXPECT_EQ(QueryOne(copy, "PRAGMA integrity_check"), "ok");
        const std::string rows = QueryOne(copy, "SELECT count(*) FROM Automation");
        EXPECT_TRUE(rows == "2" || rows == "20002") << rows;
        EXPECT_FALSE(std::filesystem::exists(env.dir.File("TempCompact.mdb")));
    }
}

TEST_F(TaskViewTest, AFailingRefreshLeavesThePreviousCopyWhole) {
    Load();
    RunSql(copy, "ALTER TABLE Automation DROP COLUMN Color");
    RunSql(env.Db(), "UPDATE Automation SET Title = 'New'");
    Load();
    EXPECT_TRUE(env.Logged("Error Copying Database"));
    EXPECT_EQ(QueryOne(copy, "SELECT group_concat(Title) FROM Automation"), "First,Second");
    // A value too large for the copy's column fails the same way.
    RunSql(copy, "ALTER TABLE Automation ADD COLUMN Color SMALLINT");
    Load();
    EXPECT_EQ(QueryOne(copy, "SELECT group_concat(Title) FROM Automation"), "First,Second");
}

TEST_F(TaskViewTest, NoFolderNoCopyAndTheProgramFolderIsNeverEmptied) {
    RunSql(env.Db(), "UPDATE Server SET TaskViewDB = ''");
    Load();
    EXPECT_FALSE(std::filesystem::exists(copy));
    std::string appDir = env.dir.Path();
    appDir.pop_back();
    RunSql(env.Db(), "UPDATE Server SET TaskViewDB = '" + appDir + "'");
    Load();
    Load();
    EXPECT_EQ(QueryOne(env.Db(), "SELECT count(*) FROM Automation"), "2");
    EXPECT_EQ(env.ErrorLog(), "");
}

}  // namespace
}  // namespace qtx::test
