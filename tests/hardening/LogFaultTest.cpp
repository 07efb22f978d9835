// The whole engine with logs it cannot write: a folder without write permission, log files
// replaced by directories, a full disk (a file-size limit). The engine keeps running every
// event, each failed line is lost alone, and the logs recover as soon as the fault is gone.
#include <sys/resource.h>

#include <csignal>

#include "hardening/Hardening.h"
#include "logging/LogHeader.h"

namespace qtx::test {
namespace {

using ::testing::ElementsAre;

// Refused events (no server) write activity lines; the unreadable time is reported at the load.
std::vector<EventRow> Refusals() {
    return {Event(1, 0, "09:00:01", "a"), Event(2, 0, "09:00:01", "b"),
            Event(3, 0, "09:00:02", "c"), Event(4, 0, "nine", "bad"),
            Event(5, 1, "08:00:00", "tue")};
}

// Three watches in bounded time, every event handled whatever the logs do.
void ExpectEveryEventHandled(EngineHarness& h) {
    const auto start = std::chrono::steady_clock::now();
    for (int s = 1; s <= 3; ++s)
        WatchAt(h, 9, 0, s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_THAT(Titles(h.view.HistoryRows),
                ElementsAre("a - Not Executed", "b - Not Executed", "c - Not Executed"));
}

// Logs the engine cannot write: its folder without write permission, or both log files
// replaced by directories. Every event is handled, nothing is logged, and the logs start again,
// with their headers, as soon as the fault is gone.
TEST(LogFault, UnwritableLogsCostNoEventAndStartAgainWhenTheFaultIsGone) {
    for (const bool folder : {true, false}) {
        SCOPED_TRACE(folder ? "folder without write permission" : "logs replaced by directories");
        AsNobody([folder] {
            EngineHarness h{kMonday};
            h.WriteDatabase(Refusals());
            const std::string tally = h.dir.File("Tally.Dat"), errors = h.dir.File("Errorlog.txt");
            if (folder) {
                ::chmod(h.dir.Path().c_str(), 0555);
                const int fd = ::open(h.dir.File("probe").c_str(), O_WRONLY | O_CREAT, 0644);
                ASSERT_TRUE(fd < 0 && errno == EACCES) << "the folder refuses new files";
            } else {
                std::filesystem::create_directory(tally);
                std::filesystem::create_directory(errors);
            }
            h.Start();
            ExpectEveryEventHandled(h);
            EXPECT_FALSE(std::filesystem::is_regular_file(tally));
            EXPECT_FALSE(std::filesystem::is_regular_file(errors));

            if (folder)
                ::chmod(h.dir.Path().c_str(), 0755);
            else
                for (const std::string& log : {tally, errors})
                    std::filesystem::remove(log);
            h.engine->Log().ReportError("Error Determining Next Event");
            h.engine->Log().WriteActivityLog("back");
            EXPECT_THAT(h.ActivityMessages(), ElementsAre("back"));
            EXPECT_THAT(h.ErrorLocations(), ElementsAre("Error Determining Next Event"));
            EXPECT_EQ(ReadWholeFile(tally).rfind(ActivityLogHeader()[0] + "\r\n", 0), 0u);
        });
    }
}

// A full disk, made with a file-size limit (which binds root too) in a child process: the logs
// can take a few more bytes and then nothing. Partly written lines must not spoil later lines.
TEST(LogFault, FullDiskLosesWholeLinesOnlyAndTheLogsGoOnAfterwards) {
    AsNobody([] {
        ::signal(SIGXFSZ, SIG_IGN);  // the limit then fails the write with EFBIG
        EngineHarness h{kMonday};
        h.WriteDatabase(Refusals());
        h.Start();
        h.engine->Log().WriteActivityLog("before");
        for (int i = 0; i < 8; ++i)
            h.engine->Log().ReportError("seed " + std::to_string(i));
        const std::string tally = h.dir.File("Tally.Dat"), errors = h.dir.File("Errorlog.txt");
        // Room for 20 more bytes in the activity log, none in the error log.
        const rlim_t limit = std::filesystem::file_size(tally) + 20;
        ASSERT_GT(std::filesystem::file_size(errors), limit);
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        const rlimit full{limit, old.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &full);
        const int fd = ::open(errors.c_str(), O_WRONLY | O_APPEND);
        ASSERT_TRUE(::write(fd, "x", 1) < 0 && errno == EFBIG) << "the disk is full";
        ::close(fd);
        const std::string errorsBefore = ReadWholeFile(errors);
        ExpectEveryEventHandled(h);
        EXPECT_EQ(ReadWholeFile(errors), errorsBefore);

        ::setrlimit(RLIMIT_FSIZE, &old);
        h.engine->Log().WriteActivityLog("after");
        h.engine->Log().ReportError("Error Determining Next Event");
        // The lines lost while full are lost whole: a piece of one would spoil the next line.
        EXPECT_THAT(h.ActivityMessages(), ElementsAre("before", "after"));
        EXPECT_EQ(h.ErrorLocations().back(), "Error Determining Next Event");
    });
}

}  // namespace
}  // namespace qtx::test
