// The whole engine with logs it cannot write: a folder without write permission, log files
// replaced by directories, a full disk (a file-size limit). The engine keeps running every
// event, each failed line is lost alone, and the logs recover as soon as the fault is gone.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <filesystem>

#include "hardening/Hardening.h"
#include "logging/LogHeader.h"

namespace qtx::test {
namespace {

using ::testing::ElementsAre;

// Refused events (no server) write activity lines; the unreadable time makes the tick report.
std::vector<EventRow> Refusals() {
    return {Event(1, 0, "09:00:01", "a"), Event(2, 0, "09:00:01", "b"),
            Event(3, 0, "09:00:02", "c"), Event(4, 0, "nine", "bad"),
            Event(5, 1, "08:00:00", "tue")};
}

// Every entry line of a log begins with a whole time stamp; a line that does not was spoilt.
bool EveryLineIsWhole(const std::string& text, const std::string& stampStart) {
    size_t pos = 0, end;
    int n = 0;
    while ((end = text.find("\r\n", pos)) != std::string::npos) {
        const std::string line = text.substr(pos, end - pos);
        if (++n > 11 && line.compare(0, stampStart.size(), stampStart) != 0)
            return false;
        pos = end + 2;
    }
    return pos == text.size();
}

TEST(LogFault, LogFilesReplacedByDirectoriesCostNoEventAndRecoverWithHeaders) {
    EngineHarness h{kMonday};
    h.WriteDatabase(Refusals());
    std::filesystem::create_directory(h.dir.File("Tally.Dat"));
    std::filesystem::create_directory(h.dir.File("Errorlog.txt"));
    h.Start();
    const auto start = std::chrono::steady_clock::now();
    for (int s = 1; s <= 3; ++s)
        WatchAt(h, 9, 0, s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_THAT(Titles(h.view.HistoryRows),
                ElementsAre("a - Not Executed", "b - Not Executed", "c - Not Executed"));
    EXPECT_EQ(h.view.Panels[3], "09:00:03");

    std::filesystem::remove(h.dir.File("Tally.Dat"));
    std::filesystem::remove(h.dir.File("Errorlog.txt"));
    h.TickAt(9, 0, 4);  // the unreadable next time is reported again
    h.engine->Log().WriteActivityLog("back");
    EXPECT_THAT(h.ActivityMessages(), ElementsAre("back"));
    EXPECT_THAT(h.ErrorLocations(), ElementsAre("Error Determining Next Event"));
    std::string header;
    for (const std::string& line : ActivityLogHeader())
        header += line + "\r\n";
    EXPECT_EQ(ReadWholeFile(h.dir.File("Tally.Dat")).substr(0, header.size()), header);
}

// As the unprivileged user, in a program folder it cannot write: nothing can be logged.
void RunInUnwritableFolder(void*) {
    ChildChecks c;
    {
        EngineHarness h{kMonday};
        h.WriteDatabase(Refusals());
        ::chmod(h.dir.Path().c_str(), 0555);
        const int fd = ::open(h.dir.File("probe").c_str(), O_WRONLY | O_CREAT, 0644);
        if (!c.Check(fd < 0 && errno == EACCES, "the folder refuses new files"))
            c.Exit();
        h.Start();
        for (int s = 1; s <= 3; ++s)
            WatchAt(h, 9, 0, s);
        c.Check(Titles(h.view.HistoryRows) == std::vector<std::string>{"a - Not Executed",
                                                                       "b - Not Executed",
                                                                       "c - Not Executed"},
                "every event still handled");
        c.Check(!std::filesystem::exists(h.dir.File("Tally.Dat")), "no activity log");
        c.Check(!std::filesystem::exists(h.dir.File("Errorlog.txt")), "no error log");
        ::chmod(h.dir.Path().c_str(), 0755);
        h.engine->Log().WriteActivityLog("writable again");
        const auto lines = h.ActivityMessages();
        c.Check(lines == std::vector<std::string>{"writable again"}, "log starts with header");
    }
    c.Exit();
}

TEST(LogFault, FolderWithoutWritePermissionLosesTheLinesButNoEvent) {
    EXPECT_EQ(RunAsNobody(RunInUnwritableFolder, nullptr), 0);
}

// A full disk, made with a file-size limit in a child process: the logs can take a few more
// bytes and then nothing. Partly written lines must not spoil the lines written later.
void RunWithDiskFull(void*) {
    ChildChecks c;
    ::signal(SIGXFSZ, SIG_IGN);  // the limit then fails the write with EFBIG
    {
        EngineHarness h{kMonday};
        h.WriteDatabase(Refusals());
        h.Start();
        h.engine->Log().WriteActivityLog("before");
        for (int i = 0; i < 8; ++i)
            h.engine->Log().ReportError("seed " + std::to_string(i));
        const std::string tally = h.dir.File("Tally.Dat");
        const std::string errors = h.dir.File("Errorlog.txt");
        const auto size = [](const std::string& p) {
            return static_cast<rlim_t>(std::filesystem::file_size(p));
        };
        // Room for 20 more bytes in the activity log, none in the error log.
        const rlim_t limit = size(tally) + 20;
        if (!c.Check(size(errors) > limit, "error log is past the limit"))
            c.Exit();
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit full = old;
        full.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &full);
        {
            const int fd = ::open(errors.c_str(), O_WRONLY | O_APPEND);
            const bool refused = ::write(fd, "x", 1) < 0 && errno == EFBIG;
            ::close(fd);
            if (!c.Check(refused, "the disk is full"))
                c.Exit();
        }
        const std::string errorsBefore = ReadWholeFile(errors);
        const auto start = std::chrono::steady_clock::now();
        for (int s = 1; s <= 3; ++s)
            WatchAt(h, 9, 0, s);
        c.Check(std::chrono::steady_clock::now() - start < std::chrono::seconds(2),
                "failing logs do not hold the engine");
        c.Check(Titles(h.view.HistoryRows) == std::vector<std::string>{"a - Not Executed",
                                                                       "b - Not Executed",
                                                                       "c - Not Executed"},
                "every event still handled");
        c.Check(ReadWholeFile(errors) == errorsBefore, "error log untouched while full");

        ::setrlimit(RLIMIT_FSIZE, &old);
        h.engine->Log().WriteActivityLog("after");
        h.TickAt(9, 0, 4);  // reports the unreadable time again
        const auto lines = h.ActivityMessages();
        c.Check(!lines.empty() && lines.back() == "after", "the next line is whole");
        c.Check(lines.size() == 2, "lines lost while full are lost whole");
        c.Check(EveryLineIsWhole(ReadWholeFile(tally), "Mon, Dec 07, 2026 - "),
                "activity log lines whole");
        c.Check(EveryLineIsWhole(ReadWholeFile(errors), "12/7/2026 "), "error log lines whole");
        c.Check(h.ErrorLocations().back() == "Error Determining Next Event", "error log writes");
    }
    c.Exit();
}

TEST(LogFault, FullDiskLosesWholeLinesOnlyAndTheLogsGoOnAfterwards) {
    // Runs in a child so the file-size limit stays there; root is bound by it too.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        RunWithDiskFull(nullptr);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace qtx::test
