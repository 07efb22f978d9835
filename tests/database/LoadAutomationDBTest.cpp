// Loading settings and events from real event databases.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "DiskWorkEnv.h"

namespace qtx::test {
namespace {

class LoadTest : public ::testing::Test {
  protected:
    void SetUp() override { MakeEventDb(env.Db()); }
    void Event(int number, int day, const std::string& time, ColumnValues extra = {}) {
        ColumnValues v = {{"Number", int64_t{number}}, {"Day", int64_t{day}}, {"Time", time}};
        v.insert(v.end(), extra.begin(), extra.end());
        AddEvent(env.Db(), v);
    }
    std::vector<std::string> Order() const {
        std::vector<std::string> out;
        for (const auto& e : env.vars.EventTable)
            out.push_back(std::to_string(e.Day) + " " + e.Time);
        return out;
    }
    DiskWorkEnv env;
};

TEST_F(LoadTest, OrdersByDayThenTimeTextAndCountsRows) {
    Event(1, 3, "08:00:00");
    Event(2, 0, "23:00:00");
    Event(3, 0, "07:30:00");
    Event(4, 8, "10:00:00");
    Event(5, 7, "10:00:00");
    Event(6, 7, "9:00:00");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(Order(), (std::vector<std::string>{"0 07:30:00", "0 23:00:00", "3 08:00:00",
                                                 "7 10:00:00", "7 9:00:00", "8 10:00:00"}));
    EXPECT_EQ(env.vars.EventCount, 6);
    EXPECT_EQ(env.view.Panels[1], "6 Total Events");
    const AutomationEvent& eight = env.vars.EventTable.back();
    EXPECT_EQ(eight.DayName, "None");
    EXPECT_EQ(eight.DayIndex, 7);
    EXPECT_EQ(env.vars.EventTable[0].DayName, "Monday");
    EXPECT_EQ(env.ErrorLog(), "");
}

TEST_F(LoadTest, NullsAndValuesAboveLimitsAreReplaced) {
    Event(1, 2, "01:00:00",
          {{"Active", int64_t{4}},
           {"Gain", int64_t{2025}},
           {"xcontrol", int64_t{4}},
           {"scontrol", int64_t{2}},
           {"vcontrol", int64_t{3}},
           {"Condition", int64_t{3}},
           {"tControl", int64_t{3}},
           {"SourceChan", int64_t{-5}}});
    AddEvent(env.Db(), {{"Number", int64_t{2}}, {"Day", int64_t{-3}}, {"Gain", int64_t{2024}}});
    env.disk.LoadAutomationDB();
    ASSERT_EQ(env.vars.EventCount, 2);
    const AutomationEvent& neg = env.vars.EventTable[0];  // Day -3 sorts first
    EXPECT_EQ(neg.Day, -3);
    EXPECT_EQ(neg.DayName, "None");
    EXPECT_EQ(neg.Time, "24:00:00");
    EXPECT_EQ(neg.Title, "None");
    EXPECT_EQ(neg.FileName, " ");
    EXPECT_EQ(neg.Message, " ");
    EXPECT_EQ(neg.Method, " ");
    EXPECT_EQ(neg.MIPAddress, "0.0.0.0");
    EXPECT_EQ(neg.Color, 16777215);
    EXPECT_EQ(neg.Gain, 2024);
    const AutomationEvent& e = env.vars.EventTable[1];
    EXPECT_EQ(e.DayName, "Wedensday");
    EXPECT_EQ(e.Active, 0);
    EXPECT_EQ(e.Gain, 1024);
    EXPECT_EQ(e.xcontrol, 0);
    EXPECT_EQ(e.scontrol, 0);
    EXPECT_EQ(e.vcontrol, 0);
    EXPECT_EQ(e.Condition, 0);
    EXPECT_EQ(e.tControl, 0);
    EXPECT_EQ(e.SourceChan, -5);
}

TEST_F(LoadTest, ServerSettingsAreSettledAndAChangeDisconnectsOnce) {
    RunSql(env.Db(),
           "UPDATE Server SET IPPort = -1, IPAddr = '192.168.001.010', SlaveIPPort = NULL, "
           "SlaveIPAddr = NULL, TaskViewDB = NULL; UPDATE Info SET StartMin = -1;");
    Event(1, 0, "01:00:00");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(env.vars.ServerIPPort, 1250);
    EXPECT_EQ(env.vars.ServerIPAddr, "192.168.1.10");
    EXPECT_EQ(env.vars.SlaveIPPort, 1);
    EXPECT_EQ(env.vars.SlaveIPAddr, "0.0.0.0");
    EXPECT_FALSE(env.vars.SlaveEnabled);
    EXPECT_TRUE(env.vars.StartMinimized);
    EXPECT_EQ(env.disconnects, 1);
    env.disk.LoadAutomationDB();
    EXPECT_EQ(env.disconnects, 1);
    RunSql(env.Db(),
           "UPDATE Server SET IPAddr = '192.168.1', SlaveIPPort = ' 77', "
           "SlaveIPAddr = '10.0.0.300'");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(env.vars.ServerIPAddr, "0.0.0.0");
    EXPECT_EQ(env.vars.SlaveIPPort, 77);
    EXPECT_EQ(env.vars.SlaveIPAddr, "10.0.0.255");
    EXPECT_TRUE(env.vars.SlaveEnabled);
    EXPECT_EQ(env.disconnects, 2);
}

TEST_F(LoadTest, LaterSettingsThatCannotBeReadKeepTheirValues) {
    RunSql(env.Db(), "UPDATE Server SET SlaveIPPort = 'many'");
    env.vars.SlaveIPPort = 4000;
    env.vars.TaskViewDir = "";
    Event(1, 0, "01:00:00");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(env.vars.SlaveIPPort, 4000);
    EXPECT_EQ(env.vars.EventCount, 1);
    EXPECT_EQ(env.ErrorLog(), "");
}

TEST_F(LoadTest, MissingEmptyAndRefusedFilesChangeOnlyTheCount) {
    env.vars.ServerIPAddr = "1.2.3.4";
    env.vars.EventCount = 5;
    env.disk.LoadAutomationDB();  // the table is empty
    EXPECT_EQ(env.vars.EventCount, 0);
    EXPECT_EQ(env.view.Panels[1], "0 Total Events");
    EXPECT_EQ(env.disconnects, 0);
    EXPECT_FALSE(env.vars.DBFileTime.empty());

    RunSql(env.Db(), "UPDATE Type SET Type = 'automation'");
    env.vars.EventCount = 5;
    env.disk.LoadAutomationDB();
    ASSERT_EQ(env.view.MessageBoxes.size(), 1u);
    EXPECT_EQ(env.view.MessageBoxes[0].Text, "Invalid Database File");
    EXPECT_EQ(env.view.MessageBoxes[0].Title, "File Error");
    EXPECT_EQ(env.view.MessageBoxes[0].Kind, MessageBoxKind::Critical);
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
    EXPECT_NE(env.ErrorLog().find("Overflow"), std::string::npos);
}

TEST_F(LoadTest, UnreadableFilesAreReportedAndTheReadTimeStillTaken) {
    WriteWholeFile(env.Db(), "this is not a database at all, just text");
    env.disk.LoadAutomationDB();
    EXPECT_TRUE(env.Logged("Invalid Automation DB"));
    EXPECT_TRUE(env.Logged("Error Reading Automation DB"));
    EXPECT_FALSE(env.vars.DBFileTime.empty());
}

TEST_F(LoadTest, ALockedFileFaultsWithinSeconds) {
    Event(1, 0, "01:00:00");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        sqlite3* h = nullptr;
        sqlite3_open_v2(env.Db().c_str(), &h, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(h, "BEGIN EXCLUSIVE; UPDATE Automation SET Day = 1;", nullptr, nullptr,
                     nullptr);
        (void)!write(ready[1], "x", 1);
        sleep(30);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    const auto start = std::chrono::steady_clock::now();
    env.disk.LoadAutomationDB();
    const auto waited = std::chrono::steady_clock::now() - start;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_LT(waited, std::chrono::seconds(8));
    EXPECT_TRUE(env.Logged("Error Reading Automation DB"));
    EXPECT_NE(env.ErrorLog().find("3218"), std::string::npos);
}

}  // namespace
}  // namespace qtx::test
