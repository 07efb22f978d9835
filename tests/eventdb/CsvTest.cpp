// The event tool's CSV format.
#include <gtest/gtest.h>

#include "eventdb/Csv.h"

namespace qtx::test {
namespace {

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

}  // namespace
}  // namespace qtx::test
