// The database layer against real SQLite files.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "database/DBEngine.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"

namespace qtx::test {
namespace {

int FaultOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Fault& e) {
        return e.Number;
    }
    return 0;
}

class DBEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir.File("t.db");
        MakeEventDb(path);
        RunSql(path,
               "CREATE TABLE T (a SMALLINT, b INTEGER, c VARCHAR(5), d TINYINT, e TEXT, f REAL);"
               "INSERT INTO T (a) VALUES (1), (2), (3), (4);");
    }
    TempDir dir;
    std::string path;
    DBEngine engine;
};

TEST_F(DBEngineTest, OpenNeverCreatesAndRefusesWhatIsNoDatabase) {
    EXPECT_EQ(FaultOf([&] { engine.OpenDatabase(dir.File("missing.db")); }),
              faults::DbFileNotFound);
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing.db")));
    WriteWholeFile(dir.File("empty.db"), "");
    EXPECT_EQ(FaultOf([&] { engine.OpenDatabase(dir.File("empty.db")); }), faults::DbCannotOpen);
    WriteWholeFile(dir.File("text.db"), std::string(4096, 'x'));
    EXPECT_EQ(FaultOf([&] { engine.OpenDatabase(dir.File("text.db")); }), faults::DbCannotOpen);
    std::filesystem::create_directory(dir.File("folder.db"));
    EXPECT_NE(FaultOf([&] { engine.OpenDatabase(dir.File("folder.db")); }), 0);
    // A truncated database: the header survives, the pages do not.
    std::string bytes = ReadWholeFile(path);
    WriteWholeFile(dir.File("cut.db"), bytes.substr(0, 1024));
    EXPECT_NE(FaultOf([&] {
                  Database db = engine.OpenDatabase(dir.File("cut.db"));
                  Recordset rs = db.OpenRecordset("Automation");
              }),
              0);
}

TEST_F(DBEngineTest, NamesMatchWithoutLetterCaseAndMissingOnesFault) {
    Database db = engine.OpenDatabase(path);
    Recordset rs = db.OpenRecordset("t");
    EXPECT_EQ(rs.Value("A").AsNumber(), 1);
    EXPECT_EQ(FaultOf([&] { rs.Value("zz"); }), faults::DbItemNotFound);
    EXPECT_EQ(FaultOf([&] { db.OpenRecordset("Nope"); }), faults::DbTableNotFound);
    TableDef def = db.TableDefs("T");
    EXPECT_EQ(FaultOf([&] { def.AppendField(TableDef::CreateField("C", dbtype::Text, 3)); }),
              faults::DbFieldExists);
}

TEST_F(DBEngineTest, WritesAreCheckedAgainstDeclaredTypes) {
    Database db = engine.OpenDatabase(path);
    Recordset rs = db.OpenRecordset("T");
    rs.Edit();
    EXPECT_EQ(FaultOf([&] { rs.SetValue("a", DbValue(int64_t{32768})); }),
              faults::DbNumericOverflow);
    EXPECT_EQ(FaultOf([&] { rs.SetValue("b", DbValue(int64_t{2147483648})); }),
              faults::DbNumericOverflow);
    EXPECT_EQ(FaultOf([&] { rs.SetValue("d", DbValue(int64_t{-1})); }), faults::DbNumericOverflow);
    EXPECT_EQ(FaultOf([&] { rs.SetValue("c", "123456"); }), faults::DbFieldTooSmall);
    EXPECT_EQ(FaultOf([&] { rs.SetValue("a", "abc"); }), faults::DbDataTypeMismatch);
    rs.SetValue("a", DbValue(int64_t{-32768}));
    rs.SetValue("b", " 42");  // a numeric text into a number column is its number
    rs.SetValue("c", DbValue(int64_t{12345}));
    rs.SetValue("e", std::string(1000, 'y'));
    rs.Update();
    EXPECT_EQ(QueryOne(path, "SELECT a || '|' || b || '|' || typeof(b) || '|' || c FROM T LIMIT 1"),
              "-32768|42|integer|12345");
    // Without Edit nothing may be set.
    EXPECT_EQ(FaultOf([&] { rs.SetValue("a", DbValue(int64_t{1})); }), faults::DbUpdateWithoutEdit);
}

TEST_F(DBEngineTest, NullAndEightBitTextCrossUnchanged) {
    const std::string text = "caf\xE9 \x80 \x81\x8D\x8F\x90\x9D";
    {
        Database db = engine.OpenDatabase(path);
        Recordset rs = db.OpenRecordset("T");
        rs.AddNew();
        rs.SetValue("e", text);
        rs.SetValue("a", DbValue());
        rs.Update();
    }
    EXPECT_EQ(QueryOne(path, "SELECT e FROM T WHERE e IS NOT NULL"),
              "caf\xC3\xA9 \xE2\x82\xAC \xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
    Database db = engine.OpenDatabase(path);
    Recordset rs = db.OpenRecordset("T");
    rs.MoveLast();
    EXPECT_EQ(rs.Value("e").AsText(), text);
    EXPECT_TRUE(rs.Value("a").IsNull());
    EXPECT_EQ(FaultOf([&] { rs.Value("a").AsNumber(); }), faults::InvalidUseOfNull);
}

TEST_F(DBEngineTest, CursorWalksByRowidThroughEditsDeletesAndNewColumns) {
    RunSql(path, "UPDATE T SET rowid = 100 WHERE a = 1; UPDATE T SET rowid = 50 WHERE a = 4;");
    Database db = engine.OpenDatabase(path);
    Recordset rs = db.OpenRecordset("T");
    std::vector<int64_t> seen;
    while (!rs.IsEOF()) {
        const int64_t a = rs.Value("a").AsNumber();
        seen.push_back(a);
        if (a == 2) {
            rs.Delete();
        } else {
            rs.Edit();
            rs.SetValue("b", DbValue(a * 10));
            rs.Update();
            EXPECT_EQ(rs.Value("b").AsNumber(), a * 10);
        }
        // Another cursor may alter the table meanwhile; this one goes on.
        if (a == 3)
            db.TableDefs("T").AppendField(TableDef::CreateField("g", dbtype::Long));
        rs.MoveNext();
    }
    EXPECT_EQ(seen, (std::vector<int64_t>{2, 3, 4, 1}));
    EXPECT_EQ(rs.RecordCount(), 3);
    EXPECT_EQ(QueryColumn(path, "SELECT b FROM T ORDER BY rowid"),
              (std::vector<std::string>{"30", "40", "10"}));
    EXPECT_EQ(FaultOf([&] { rs.MoveNext(); }), faults::DbNoCurrentRecord);
    RunSql(path, "DELETE FROM T");
    Recordset empty = db.OpenRecordset("T");
    EXPECT_TRUE(empty.IsEOF());
    EXPECT_EQ(FaultOf([&] { empty.MoveFirst(); }), faults::DbNoCurrentRecord);
}

TEST_F(DBEngineTest, TransactionsStoreAllOrNothing) {
    {
        Database db = engine.OpenDatabase(path);
        Recordset rs = db.OpenRecordset("T");
        db.BeginTrans();
        rs.Delete();
        rs.MoveNext();
        rs.Edit();
        rs.SetValue("a", DbValue(int64_t{99}));
        rs.Update();
        // Closed without CommitTrans: nothing happened.
    }
    EXPECT_EQ(QueryOne(path, "SELECT group_concat(a) FROM T"), "1,2,3,4");
    Database db = engine.OpenDatabase(path);
    Recordset rs = db.OpenRecordset("T");
    db.BeginTrans();
    rs.Delete();
    db.CommitTrans();
    EXPECT_EQ(QueryOne(path, "SELECT group_concat(a) FROM T"), "2,3,4");
    EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
}

TEST_F(DBEngineTest, FileLockedByAnotherProcessFaultsInsteadOfHanging) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        sqlite3* h = nullptr;
        sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(h, "BEGIN EXCLUSIVE; UPDATE T SET a = 7;", nullptr, nullptr, nullptr);
        (void)!write(ready[1], "x", 1);
        sleep(20);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    const auto start = std::chrono::steady_clock::now();
    const int fault = FaultOf([&] {
        Database db = engine.OpenDatabase(path);
        Recordset rs = db.OpenRecordset("T");
        rs.Edit();
        rs.SetValue("a", DbValue(int64_t{5}));
        rs.Update();
    });
    const auto waited = std::chrono::steady_clock::now() - start;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(fault, faults::DbLocked);
    EXPECT_LT(waited, std::chrono::seconds(5));
    close(ready[0]);
    close(ready[1]);
}

TEST_F(DBEngineTest, ReadOnlyFileFaultsOnWriteForAnUnprivilegedUser) {
    std::filesystem::permissions(dir.Path(), std::filesystem::perms::all);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    static std::string target;
    target = path;
    // Exit 1: the write went through (no fault); 2: it faulted as read-only.
    const int status = RunAsNobody(
        [](void*) {
            int code = 1;
            try {
                DBEngine e;
                Database db = e.OpenDatabase(target);
                Recordset rs = db.OpenRecordset("T");
                rs.Edit();
                rs.SetValue("a", DbValue(int64_t{5}));
                rs.Update();
            } catch (const Fault& f) {
                code = f.Number == faults::DbReadOnly ? 2 : 3;
            }
            _exit(code);
        },
        nullptr);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(QueryOne(path, "SELECT a FROM T LIMIT 1"), "1");
}

TEST_F(DBEngineTest, CompactionMakesAnOrdinaryCopyAndNeverOverwrites) {
    RunSql(path,
           "INSERT INTO T (e) SELECT zeroblob(1000) FROM T; DELETE FROM T WHERE e IS NOT NULL;");
    const std::string target = dir.File("c.db");
    engine.CompactDatabase(path, target);
    EXPECT_EQ(QueryOne(target, "SELECT group_concat(a) FROM T"), "1,2,3,4");
    EXPECT_EQ(QueryOne(target, "PRAGMA journal_mode"), "delete");
    EXPECT_EQ(FaultOf([&] { engine.CompactDatabase(path, target); }), faults::FileExists);
    EXPECT_EQ(FaultOf([&] { engine.CompactDatabase(dir.File("none.db"), dir.File("n2.db")); }),
              faults::DbFileNotFound);
}

TEST(DeclaredTypes, ComeFromOrdinaryDeclarations) {
    TempDir dir;
    const std::string path = dir.File("d.db");
    MakeEventDb(path);
    RunSql(path,
           "CREATE TABLE X (a int, b Smallint, c varchar( 12 ), d TEXT, e LONG, f nvarchar(3), "
           "g REAL, h, i TINYINT, j BIGINT, k CHAR(1))");
    DBEngine engine;
    Database db = engine.OpenDatabase(path);
    std::vector<std::pair<int, int>> got;
    for (const FieldDef& f : db.TableDefs("x").Fields())
        got.emplace_back(f.Type, f.Size);
    EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{4, 0},
                                                     {3, 0},
                                                     {10, 12},
                                                     {10, 0},
                                                     {4, 0},
                                                     {10, 3},
                                                     {0, 0},
                                                     {0, 0},
                                                     {2, 0},
                                                     {16, 0},
                                                     {10, 1}}));
    // Columns this layer creates read back as the codes they were created with.
    TableDef def = db.TableDefs("X");
    def.AppendField(TableDef::CreateField("n3", dbtype::Integer));
    def.AppendField(TableDef::CreateField("n4", dbtype::Long));
    def.AppendField(TableDef::CreateField("t7", dbtype::Text, 7));
    const auto fields = db.TableDefs("X").Fields();
    EXPECT_EQ(fields[fields.size() - 3].Type, dbtype::Integer);
    EXPECT_EQ(fields[fields.size() - 2].Type, dbtype::Long);
    EXPECT_EQ(fields.back().Size, 7);
}

}  // namespace
}  // namespace qtx::test
