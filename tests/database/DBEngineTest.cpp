// The database layer against real SQLite files.
#include <gtest/gtest.h>

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

// One edit of the first row of T through the layer.
void EditFirstRow(DBEngine& engine, const std::string& path, const char* column, DbValue v) {
    Database db = engine.OpenDatabase(path);
    Recordset rs = db.OpenRecordset("T");
    rs.Edit();
    rs.SetValue(column, v);
    rs.Update();
}

class DBEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeEventDb(path);
        RunSql(path,
               "CREATE TABLE T (a SMALLINT, b INTEGER, c VARCHAR(5), d TINYINT, e TEXT, f REAL);"
               "INSERT INTO T (a) VALUES (1), (2), (3), (4);");
    }
    TempDir dir;
    std::string path = dir.File("t.db");
    DBEngine engine;
};

TEST_F(DBEngineTest, OpenNeverCreatesAFileAndRefusesAFolder) {
    EXPECT_EQ(FaultOf([&] { engine.OpenDatabase(dir.File("missing.db")); }),
              faults::DbFileNotFound);
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing.db")));
    std::filesystem::create_directory(dir.File("folder.db"));
    EXPECT_NE(FaultOf([&] { engine.OpenDatabase(dir.File("folder.db")); }), 0);
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
    const std::tuple<const char*, DbValue, int> refused[] = {
        {"a", int64_t{32768}, faults::DbNumericOverflow},
        {"b", int64_t{2147483648}, faults::DbNumericOverflow},
        {"d", int64_t{-1}, faults::DbNumericOverflow},
        {"c", "123456", faults::DbFieldTooSmall},
        {"a", "abc", faults::DbDataTypeMismatch}};
    for (const auto& [column, value, fault] : refused)
        EXPECT_EQ(FaultOf([&] { EditFirstRow(engine, path, column, value); }), fault) << column;
    EXPECT_EQ(QueryOne(path, "SELECT count(*) FROM T WHERE b IS NULL AND c IS NULL"), "4");

    EditFirstRow(engine, path, "a", int64_t{-32768});
    EditFirstRow(engine, path, "b", " 42");  // a numeric text into a number column is its number
    EditFirstRow(engine, path, "c", int64_t{12345});
    EditFirstRow(engine, path, "e", std::string(1000, 'y'));
    EXPECT_EQ(QueryOne(path, "SELECT a || '|' || b || '|' || typeof(b) || '|' || c FROM T LIMIT 1"),
              "-32768|42|integer|12345");
    Recordset rs = engine.OpenDatabase(path).OpenRecordset("T");
    EXPECT_EQ(FaultOf([&] { rs.SetValue("a", int64_t{1}); }), faults::DbUpdateWithoutEdit);
}

TEST_F(DBEngineTest, NullAndEightBitTextCrossUnchanged) {
    const std::string text = "caf\xE9 \x80 \x81\x8D\x8F\x90\x9D";
    {
        Recordset rs = engine.OpenDatabase(path).OpenRecordset("T");
        rs.AddNew();
        rs.SetValue("e", text);
        rs.SetValue("a", DbValue());
        rs.Update();
    }
    EXPECT_EQ(QueryOne(path, "SELECT e FROM T WHERE e IS NOT NULL"),
              "caf\xC3\xA9 \xE2\x82\xAC \xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
    Recordset rs = engine.OpenDatabase(path).OpenRecordset("T");
    rs.MoveLast();
    EXPECT_EQ(rs.Value("e").AsText(), text);
    EXPECT_EQ(FaultOf([&] { rs.Value("a").AsNumber(); }), faults::InvalidUseOfNull);
}

TEST_F(DBEngineTest, CursorWalksByRowidThroughEditsDeletesAndNewColumns) {
    RunSql(path, "UPDATE T SET rowid = 100 WHERE a = 1; UPDATE T SET rowid = 50 WHERE a = 4;");
    Database db = engine.OpenDatabase(path);
    Recordset rs = db.OpenRecordset("T");
    std::vector<int64_t> seen;
    for (; !rs.IsEOF(); rs.MoveNext()) {
        const int64_t a = rs.Value("a").AsNumber();
        seen.push_back(a);
        if (a == 2) {
            rs.Delete();
            continue;
        }
        rs.Edit();
        rs.SetValue("b", a * 10);
        rs.Update();
        EXPECT_EQ(rs.Value("b").AsNumber(), a * 10);
        // Another cursor may alter the table meanwhile; this one goes on.
        if (a == 3)
            db.TableDefs("T").AppendField(TableDef::CreateField("g", dbtype::Long));
    }
    EXPECT_EQ(seen, (std::vector<int64_t>{2, 3, 4, 1}));
    EXPECT_EQ(rs.RecordCount(), 3);
    EXPECT_EQ(QueryColumn(path, "SELECT b FROM T ORDER BY rowid"),
              (std::vector<std::string>{"30", "40", "10"}));
    EXPECT_EQ(FaultOf([&] { rs.MoveNext(); }), faults::DbNoCurrentRecord);
}

TEST_F(DBEngineTest, TransactionsStoreAllOrNothing) {
    for (const bool commit : {false, true}) {
        {
            Database db = engine.OpenDatabase(path);
            Recordset rs = db.OpenRecordset("T");
            db.BeginTrans();
            rs.Delete();
            rs.MoveNext();
            rs.Edit();
            rs.SetValue("a", int64_t{99});
            rs.Update();
            if (commit)
                db.CommitTrans();
        }  // closed without CommitTrans: nothing happened
        EXPECT_EQ(QueryOne(path, "SELECT group_concat(a) FROM T"), commit ? "99,3,4" : "1,2,3,4");
    }
    EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
}

// SQLite runs only the first statement of a text; the rest must be refused, not dropped.
TEST_F(DBEngineTest, ASecondStatementInOneCallIsRefusedBeforeAnythingRuns) {
    Database db = engine.OpenDatabase(path);
    for (const char* sql :
         {"DELETE FROM T WHERE a = 1; DELETE FROM T WHERE a = 2", "BEGIN; DELETE FROM T; COMMIT"}) {
        EXPECT_EQ(FaultOf([&] { db.Execute(sql); }), faults::DbEngineError) << sql;
        EXPECT_EQ(FaultOf([&] { db.QueryRaw(sql); }), faults::DbEngineError) << sql;
    }
    EXPECT_EQ(QueryOne(path, "SELECT group_concat(a) FROM T"), "1,2,3,4");
    // A trailing semicolon, blank or comment is not a statement.
    EXPECT_EQ(db.Execute("DELETE FROM T WHERE a = 4;  -- the last row\n"), 1);
}

TEST_F(DBEngineTest, TypesComeFromOrdinaryDeclarationsAndFromTheLayersOwnColumns) {
    RunSql(path,
           "CREATE TABLE X (a int, b Smallint, c varchar( 12 ), d TEXT, e LONG, f nvarchar(3), "
           "g REAL, h, i TINYINT, j BIGINT, k CHAR(1))");
    Database db = engine.OpenDatabase(path);
    TableDef def = db.TableDefs("x");
    def.AppendField(TableDef::CreateField("n3", dbtype::Integer));
    def.AppendField(TableDef::CreateField("n4", dbtype::Long));
    def.AppendField(TableDef::CreateField("t7", dbtype::Text, 7));
    std::string got;
    const TableDef reread = db.TableDefs("X");
    for (const FieldDef& f : reread.Fields())
        got += std::to_string(f.Type) + "/" + std::to_string(f.Size) + " ";
    EXPECT_EQ(got, "4/0 3/0 10/12 10/0 4/0 10/3 0/0 0/0 2/0 16/0 10/1 3/0 4/0 10/7 ");
}

}  // namespace
}  // namespace qtx::test
