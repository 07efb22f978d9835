// Schema upgrades of real files from every version.
#include <gtest/gtest.h>

#include "DiskWorkEnv.h"
#include "database/EventSchema.h"

namespace qtx::test {
namespace {

std::vector<std::string> Names(int version, const std::string& table) {
    std::vector<std::string> out;
    for (const ColumnSpec& c : SchemaColumns(table, version))
        out.push_back(c.Name);
    return out;
}

class UpgradeTest : public ::testing::TestWithParam<int> {};

TEST_P(UpgradeTest, OneCheckRaisesTheFileToSevenWithEveryColumn) {
    DiskWorkEnv env;
    const int from = GetParam();
    MakeEventDb(env.Db(), from);
    AddEvent(env.Db(), {{"Number", int64_t{1}}, {"Day", int64_t{0}}, {"Time", "01:00:00"}});
    if (from >= 6)
        RunSql(env.Db(), "UPDATE Automation SET Color = 255");
    env.disk.CheckDBVersion();
    EXPECT_EQ(env.ErrorLog(), "");
    EXPECT_EQ(QueryOne(env.Db(), "SELECT Version FROM Info"), "7");
    EXPECT_EQ(QueryOne(env.Db(), "SELECT StartMin FROM Info"), "0");
    for (const char* table : {"Server", "Info", "Automation"})
        EXPECT_EQ(ColumnNames(env.Db(), table), Names(7, table)) << table;
    EXPECT_EQ(QueryOne(env.Db(), "SELECT Color FROM Automation"), from >= 6 ? "255" : "16777215");
    // The loader reads everything the upgrade made.
    env.disk.LoadAutomationDB();
    EXPECT_EQ(env.vars.EventCount, 1);
}

INSTANTIATE_TEST_SUITE_P(FromEachVersion, UpgradeTest, ::testing::Values(1, 2, 3, 4, 5, 6));

TEST(Upgrade, AFileWithoutInfoGetsTheTableAndEndsAtSeven) {
    DiskWorkEnv env;
    MakeEventDb(env.Db(), 1);
    RunSql(env.Db(), "DROP TABLE Info");
    env.disk.CheckDBVersion();
    EXPECT_EQ(env.ErrorLog(), "");
    EXPECT_EQ(QueryOne(env.Db(), "SELECT count(*) FROM Info"), "1");
    EXPECT_EQ(QueryOne(env.Db(),
                       "SELECT Version || '/' || StartMin || '/' || "
                       "coalesce(Future1, Future5, 'null') FROM Info"),
              "7/0/null");
    EXPECT_EQ(ColumnNames(env.Db(), "Info"), Names(7, "Info"));
}

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

TEST(Upgrade, APreexistingColumnStopsTheStepAndAddsNothing) {
    DiskWorkEnv env;
    MakeEventDb(env.Db(), 1);
    RunSql(env.Db(), "ALTER TABLE Automation ADD COLUMN triggersource SMALLINT");
    const auto before = ColumnNames(env.Db(), "Automation");
    env.disk.CheckDBVersion();
    EXPECT_TRUE(env.Logged("Error Checking DB Version"));
    EXPECT_NE(env.ErrorLog().find("3191"), std::string::npos);
    EXPECT_EQ(ColumnNames(env.Db(), "Automation"), before);
    EXPECT_EQ(QueryOne(env.Db(), "SELECT Version FROM Info"), "1");
    // A column that exists half-way through a step: the step is undone as a whole.
    RunSql(env.Db(),
           "ALTER TABLE Automation DROP COLUMN triggersource; "
           "ALTER TABLE Automation ADD COLUMN Method TEXT");
    env.disk.CheckDBVersion();
    EXPECT_EQ(ColumnNames(env.Db(), "Automation").size(), before.size());
    EXPECT_EQ(QueryOne(env.Db(), "SELECT Version FROM Info"), "1");
}

TEST(Upgrade, UnreadableVersionsAndFilesAreReported) {
    DiskWorkEnv env;
    MakeEventDb(env.Db(), 3);
    RunSql(env.Db(), "UPDATE Info SET Version = 'three'");
    env.disk.CheckDBVersion();
    EXPECT_TRUE(env.Logged("Error Checking DB Version"));
    RunSql(env.Db(), "DELETE FROM Info");
    env.disk.CheckDBVersion();
    EXPECT_NE(env.ErrorLog().find("3021"), std::string::npos);

    DiskWorkEnv broken;
    WriteWholeFile(broken.Db(), "");
    broken.disk.CheckDBVersion();
    EXPECT_TRUE(broken.Logged("Invalid Automation DB"));
}

}  // namespace
}  // namespace qtx::test
