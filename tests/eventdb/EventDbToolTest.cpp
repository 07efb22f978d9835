// The event database tool and its CSV format.
#include <gtest/gtest.h>

#include <sstream>

#include "eventdb/Csv.h"
#include "eventdb/EventDbTool.h"
#include "fixtures/EventDb.h"
#include "fixtures/TempDir.h"

namespace qtx::test {
namespace {

int Tool(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr) {
    std::ostringstream o, e;
    const int rc = RunEventDbTool(args, o, e);
    if (out)
        *out = o.str();
    if (err)
        *err = e.str();
    return rc;
}

TEST(Csv, ParsesQuotesNullsAndLineEndsAndRoundTrips) {
    const auto r = csv::Parse("a,\"b,\"\"c\"\"\",,\"\"\r\n\"x\ny\",2\n3");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], (csv::Record{"a", "b,\"c\"", std::nullopt, ""}));
    EXPECT_EQ(r[1], (csv::Record{"x\ny", "2"}));
    EXPECT_EQ(r[2], (csv::Record{"3"}));
    for (const auto& rec : r)
        EXPECT_EQ(csv::Parse(csv::Format(rec))[0], rec);
    for (const char* bad : {"\"open", "a\"b", "\"a\"b"})
        EXPECT_THROW(csv::Parse(bad), csv::ParseError) << bad;
}

TEST(Csv, SpreadsheetFilesTakeTheirSeparatorFromTheHeader) {
    std::vector<int> lines;
    const auto r = csv::ParseFile("\xEF\xBB\xBF\"a;b\";c;d\r\n1;\"x\ny\";3\n4;5;6", &lines);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], (csv::Record{"a;b", "c", "d"}));
    EXPECT_EQ(r[1], (csv::Record{"1", "x\ny", "3"}));
    EXPECT_EQ(lines, (std::vector<int>{1, 2, 4}));
    // Commas win a tie, and a semicolon inside quotes does not count.
    EXPECT_EQ(csv::ParseFile("\"x;y;z\",b\n1,2\n")[1], (csv::Record{"1", "2"}));
    EXPECT_EQ(csv::Format({"a;b", "c"}, ';'), "\"a;b\";c\r\n");
}

TEST(EventDbTool, CreatesAnyVersionListsInEngineOrderAndRoundTripsCsv) {
    TempDir dir;
    ASSERT_EQ(Tool({"create", dir.File("v3.mdb"), "3"}), 0);
    EXPECT_EQ(QueryOne(dir.File("v3.mdb"), "SELECT Version || Type.Type FROM Info, Type"),
              "3Automation");
    const std::string f = dir.File("v7.mdb");
    ASSERT_EQ(Tool({"create", f}), 0);
    ASSERT_EQ(Tool({"add", f, "Number=1", "Day=3", "Time=08:00:00", "Title=Caf\xC3\xA9"}), 0);
    ASSERT_EQ(Tool({"add", f, "Number=2", "Day=0", "Time=07:30:00", "Title="}), 0);
    std::string out;
    ASSERT_EQ(Tool({"list", f}, &out), 0);
    EXPECT_EQ(out,
              "2  mon  07:30:00  active  \"None\"  no action\n"
              "1  thu  08:00:00  active  \"Caf\xC3\xA9\"  no action\n");
    ASSERT_EQ(Tool({"export", f, dir.File("e.csv")}), 0);
    ASSERT_EQ(Tool({"create", dir.File("copy.mdb")}), 0);
    ASSERT_EQ(Tool({"import", dir.File("copy.mdb"), dir.File("e.csv")}), 0);
    EXPECT_EQ(QueryColumn(dir.File("copy.mdb"), "SELECT quote(Title) FROM Automation"),
              (std::vector<std::string>{"'Caf\xC3\xA9'", "NULL"}));
    ASSERT_EQ(Tool({"set", f, "IPAddr=127.0.0.2", "StartMin=-1", "ConfirmWithin=250"}), 0);
    ASSERT_EQ(Tool({"set", f, "confirmwithin=300", "LinkAlarmAfter=5"}), 0);
    ASSERT_EQ(Tool({"show", f}, &out), 0);
    for (const char* line :
         {"IPAddr=127.0.0.2\n", "StartMin=-1\n", "ConfirmWithin=300\n", "LinkAlarmAfter=5\n"})
        EXPECT_NE(out.find(line), out.npos) << out;
    ASSERT_EQ(Tool({"remove", f, "1"}), 0);
    EXPECT_EQ(QueryOne(f, "SELECT count(*) FROM Automation"), "1");
}

TEST(EventDbTool, BadInputLeavesTheFileAsItWas) {
    TempDir dir;
    const std::string f = dir.File("a.mdb");
    ASSERT_EQ(Tool({"create", f}), 0);
    ASSERT_EQ(Tool({"add", f, "Number=1", "Day=0"}), 0);
    const std::string before = ReadWholeFile(f);
    WriteWholeFile(dir.File("bad.csv"), "Number,Day\n2,1\n3,x\n");
    WriteWholeFile(dir.File("short.csv"), "Number,Day\n2,1\n3\n");
    WriteWholeFile(dir.File("cols.csv"), "Number,Nope\n2,1\n");
    std::string err;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"import", f, dir.File("bad.csv")},
             {"import", f, dir.File("short.csv")},
             {"import", f, dir.File("cols.csv")},
             {"add", f, "Number=2", "Day=99999"},
             {"add", f, "Number=2", "Title=" + std::string(300, 'x')},
             {"set", f, "IPPort=80", "Bogus=1"},
             {"set", f, "ConfirmWithin=80", "Bogus=1"},
             {"remove", f, "7"}}) {
        EXPECT_EQ(Tool(args, nullptr, &err), 1) << args[0];
        EXPECT_EQ(err.rfind("qtx-eventdb: ", 0), 0u) << err;
        EXPECT_EQ(ReadWholeFile(f), before) << args[0];
    }
    EXPECT_EQ(Tool({"create", f}), 1);  // never overwrites
    EXPECT_EQ(Tool({"create", dir.File("n.mdb"), "8"}), 2);
    EXPECT_EQ(Tool({"frobnicate", f}), 2);
    EXPECT_EQ(Tool({"list", dir.File("missing.mdb")}), 1);
    std::string help;
    EXPECT_EQ(Tool({"--help"}, &help), 0);
    EXPECT_NE(help.find("import FILE CSV"), std::string::npos);
}

}  // namespace
}  // namespace qtx::test
