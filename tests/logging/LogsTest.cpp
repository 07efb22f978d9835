#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/Fault.h"
#include "fixtures/EngineHarness.h"
#include "fixtures/TempDir.h"
#include "logging/LogHeader.h"
#include "logging/Logs.h"

namespace qtx {
namespace {

using test::ReadWholeFile;
using test::TempDir;

class LogsTest : public ::testing::Test {
  protected:
    LogsTest() : clock_(LocalDateTime{2026, 12, 5, 14, 3, 9, 0}), logs_(vars_, clock_) {
        vars_.AppDir = dir_.Path();
    }
    std::string Header(const std::vector<std::string>& lines) {
        std::string s;
        for (const auto& l : lines)
            s += l + "\r\n";
        return s;
    }
    std::vector<std::string> ErrorEntries() {
        return test::LogLinesAfterHeader(dir_.File("Errorlog.txt"));
    }

    TempDir dir_;
    Variables vars_;
    FakeClock clock_;
    Logs logs_;
};

TEST_F(LogsTest, HeadersHaveTheirFixedColumns) {
    const auto a = ActivityLogHeader();
    ASSERT_EQ(a.size(), 11u);
    EXPECT_EQ(a[0], std::string(13, ' ') + "V O R L A N D T");
    EXPECT_EQ(a[2].substr(0, 20), std::string(19, ' ') + a[2][19]);
    EXPECT_EQ(a[7], "QTX Automation Logfile");
    EXPECT_EQ(a[9], " DATE              TIME             MESSAGE DESCRIPTION");
    EXPECT_EQ(a[10], std::string(80, '-'));
    const auto e = ErrorLogHeader();
    EXPECT_EQ(e[7], "QTX Server Module Software Error Logfile");
    EXPECT_EQ(e[9], " DATE     TIME           LOCATION                      MESSAGE DESCRIPTION");
    EXPECT_EQ(e[9].size(), 74u);
    EXPECT_EQ(std::vector<std::string>(a.begin(), a.begin() + 7),
              std::vector<std::string>(e.begin(), e.begin() + 7));
}

TEST_F(LogsTest, ActivityLogIsCreatedThenAppendedByteForByte) {
    logs_.WriteActivityLog("Send Take - In:0001-->Out:0002");
    clock_.Advance(1000);
    logs_.WriteActivityLog("");
    logs_.WriteActivityLog("two\r\nlines");
    const std::string stamp1 = "Sat, Dec 05, 2026 - 14:03:09       ";
    const std::string stamp2 = "Sat, Dec 05, 2026 - 14:03:10       ";
    EXPECT_EQ(ReadWholeFile(dir_.File("Tally.Dat")),
              Header(ActivityLogHeader()) + stamp1 + "Send Take - In:0001-->Out:0002\r\n" + stamp2 +
                  "\r\n" + stamp2 + "two\\x0D\\x0Alines\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.File("Errorlog.txt")));
}

TEST_F(LogsTest, ErrorLineColumnsCutAndPad) {
    try {
        throw Fault(-2147, "Negative");
    } catch (...) {
        logs_.ReportError(std::string(35, 'L'));
        logs_.ReportError(std::string(40, 'M'));
        logs_.ReportError("");
    }
    logs_.ReportError("Error Executing Event");  // no fault in flight
    const auto lines = ErrorEntries();
    ASSERT_EQ(lines.size(), 4u);
    const std::string stamp = "12/5/2026 2:03:09 PM    ";
    EXPECT_EQ(lines[0], stamp + std::string(35, 'L') + " Error # -2147 - Negative");
    EXPECT_EQ(lines[1], stamp + std::string(35, 'M') + " Error # -2147 - Negative");
    EXPECT_EQ(lines[2], stamp + std::string(36, ' ') + "Error # -2147 - Negative");
    EXPECT_EQ(lines[3], stamp + "Error Executing Event" + std::string(15, ' ') + "Error # 0 - ");
    EXPECT_EQ(ReadWholeFile(dir_.File("Errorlog.txt")).substr(0, Header(ErrorLogHeader()).size()),
              Header(ErrorLogHeader()));
}

void WriteInReadOnlyFolder(void* arg) {
    auto* dir = static_cast<TempDir*>(arg);
    Variables vars;
    vars.AppDir = dir->Path();
    FakeClock clock;
    Logs logs(vars, clock);
    logs.WriteActivityLog("lost line");
}

TEST_F(LogsTest, UnwritableFolderReportsCreateThenWriteAndLosesTheLine) {
    // The error log stays writable: it exists and belongs to the unprivileged user.
    logs_.ReportError("seed");
    ::chown(dir_.File("Errorlog.txt").c_str(), 65534, 65534);
    ::chmod(dir_.Path().c_str(), 0555);
    ASSERT_NE(::access(dir_.Path().c_str(), W_OK), -1);  // root still can: the child cannot
    ASSERT_EQ(test::RunAsNobody(WriteInReadOnlyFolder, &dir_), 0);
    ::chmod(dir_.Path().c_str(), 0777);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("Tally.Dat")));
    const auto lines = ErrorEntries();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].substr(24, 36), "Error Creating Activity Log         ");
    EXPECT_EQ(lines[1].substr(60), "Error # 70 - Permission denied");
    EXPECT_EQ(lines[2].substr(24, 29), "Error Writing to Activity Log");
}

// A logged text is one line whatever it holds: every control character of Windows-1252 goes out
// as \xHH, printable bytes (the 8-bit letters and signs of 0x80-0x9F included) as they are, on
// both logs and to the mirror.
TEST_F(LogsTest, ControlCharactersOfALoggedTextAreWrittenVisiblyOnItsOwnLine) {
    struct Case {
        std::string given, written;
    };
    const std::vector<Case> cases = {
        {"forged\r\nSat, Dec 05, 2026 - 14:03:09       Send Take",
         "forged\\x0D\\x0ASat, Dec 05, 2026 - 14:03:09       Send Take"},
        {"lone\nLF and lone\rCR", "lone\\x0ALF and lone\\x0DCR"},
        {std::string("tab\tnul\0bell\x07"
                     "del\x7F",
                     17),
         "tab\\x09nul\\x00bell\\x07del\\x7F"},
        // Unassigned in Windows-1252: the C1 controls of their code (0x8D is a reverse line feed).
        {"\x81\x8D\x8F\x90\x9D", "\\x81\\x8D\\x8F\\x90\\x9D"},
        // Euro, ellipsis, single guillemet, trade mark, y diaeresis; a backslash stays.
        {"\x80 \x85 \x9B \x99 \x9F C:\\x0D", "\x80 \x85 \x9B \x99 \x9F C:\\x0D"},
    };
    std::vector<std::string> mirrored;
    logs_.Mirror = [&](Logs::LineKind, const std::string& text) { mirrored.push_back(text); };
    for (const Case& c : cases) {
        logs_.WriteActivityLog(c.given + " not executed - Invalid Relay");
        logs_.WriteErrorLog("Error # 53 - File not found: " + c.given,
                            "Error Sending Message Event");
    }
    const std::vector<std::string> activity = test::LogLinesAfterHeader(dir_.File("Tally.Dat"));
    const std::vector<std::string> errors = test::LogLinesAfterHeader(dir_.File("Errorlog.txt"));
    ASSERT_EQ(activity.size(), cases.size());
    ASSERT_EQ(errors.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(activity[i].substr(35), cases[i].written + " not executed - Invalid Relay");
        EXPECT_EQ(errors[i].substr(60), "Error # 53 - File not found: " + cases[i].written);
        EXPECT_EQ(mirrored[2 * i], cases[i].written + " not executed - Invalid Relay");
    }
}

}  // namespace
}  // namespace qtx
