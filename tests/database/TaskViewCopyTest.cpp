// The task viewer's copy of the events: first copy, refresh, compaction and their faults.
#include <gtest/gtest.h>

#include "DiskWorkEnv.h"

namespace qtx::test {
namespace {

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
    DiskWorkEnv env;
    std::string viewDir, copy;
};

TEST_F(TaskViewTest, FirstLoadCopiesTheFileAndLaterLoadsRebuildTheRows) {
    env.disk.LoadAutomationDB();
    EXPECT_EQ(ReadWholeFile(copy), ReadWholeFile(env.Db()));
    RunSql(env.Db(),
           "DELETE FROM Automation WHERE Number = 1; UPDATE Automation SET Title = 'Changed', "
           "Days = x'00ff'; UPDATE Server SET IPPort = 9");
    AddFullEvent(env.Db(), 3, 2, "03:00:00", "Third");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(env.ErrorLog(), "");
    EXPECT_EQ(QueryColumn(copy, "SELECT Title || '/' || hex(Days) FROM Automation ORDER BY rowid"),
              (std::vector<std::string>{"Changed/00FF", "Third/78"}));
    EXPECT_EQ(QueryOne(copy, "SELECT IPPort FROM Server"), "1250");  // settings not carried
    EXPECT_FALSE(std::filesystem::exists(env.dir.File("TempCompact.mdb")));
    // A temporary file left by an earlier failed compaction does not block this one.
    WriteWholeFile(env.dir.File("TempCompact.mdb"), "left over");
    RunSql(env.Db(), "UPDATE Automation SET Title = 'Again'");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(QueryOne(copy, "SELECT group_concat(Title) FROM Automation"), "Again,Again");
    EXPECT_EQ(env.ErrorLog(), "");
}

TEST_F(TaskViewTest, AFailingRefreshLeavesThePreviousCopyWhole) {
    env.disk.LoadAutomationDB();
    RunSql(copy, "ALTER TABLE Automation DROP COLUMN Color");
    RunSql(env.Db(), "UPDATE Automation SET Title = 'New'");
    env.disk.LoadAutomationDB();
    EXPECT_TRUE(env.Logged("Error Copying Database"));
    EXPECT_EQ(QueryOne(copy, "SELECT group_concat(Title) FROM Automation"), "First,Second");
    // A value too large for the copy's column fails the same way.
    RunSql(copy, "ALTER TABLE Automation ADD COLUMN Color SMALLINT");
    env.disk.LoadAutomationDB();
    EXPECT_EQ(QueryOne(copy, "SELECT group_concat(Title) FROM Automation"), "First,Second");
}

TEST_F(TaskViewTest, NoFolderNoCopyAndTheProgramFolderIsNeverEmptied) {
    RunSql(env.Db(), "UPDATE Server SET TaskViewDB = ''");
    env.disk.LoadAutomationDB();
    EXPECT_FALSE(std::filesystem::exists(copy));
    std::string appDir = env.dir.Path();
    appDir.pop_back();
    RunSql(env.Db(), "UPDATE Server SET TaskViewDB = '" + appDir + "'");
    env.disk.LoadAutomationDB();
    env.disk.LoadAutomationDB();
    EXPECT_EQ(QueryOne(env.Db(), "SELECT count(*) FROM Automation"), "2");
    EXPECT_EQ(env.ErrorLog(), "");
}

TEST_F(TaskViewTest, AFolderWithoutWritePermissionIsReported) {
    std::filesystem::permissions(env.dir.Path(), std::filesystem::perms::all);
    std::filesystem::permissions(env.Db(), std::filesystem::perms::all);
    std::filesystem::permissions(
        viewDir, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                     std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
    static DiskWorkEnv* e;
    e = &env;
    // Exit 0: the fault really happened and was reported; the copy was never written.
    const int status = RunAsNobody(
        [](void*) {
            e->vars.TaskViewDir = "";
            e->disk.LoadAutomationDB();
            _exit(e->Logged("Error Copying Database") ? 0 : 1);
        },
        nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(std::filesystem::exists(copy));
}

}  // namespace
}  // namespace qtx::test
