// The engine's own disk work under pressure: an outside commit racing a marking, a task-view
// refresh during a reload at the end of a day, FIFOs in place of the logs and the copy, and a
// file-size limit. (What a marking costs in a full table is measured in bench/.)
#include <signal.h>
#include <sys/resource.h>

#include <thread>

#include "common/FileSystem.h"
#include "common/Format.h"
#include "database/DiskWork.h"
#include "fixtures/WallClock.h"
#include "hardening/Hardening.h"
#include "logging/LogHeader.h"

namespace qtx::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Adds `rows` filler events on `day` at 03:00:00 (long past in these tests), numbered from 1000.
void AddFiller(EngineHarness& h, int rows, int day) {
    h.Sql("WITH RECURSIVE r(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM r WHERE n < " +
          std::to_string(rows - 1) +
          ") INSERT INTO Automation (Number, Day, Time, Title, Active, Message, MIPAddress) "
          "SELECT 1000 + n / 4, " +
          std::to_string(day) +
          ", '03:00:00', 'filler ' || n, 1, 'a message of some length', '127.0.0.1' FROM r");
}

// The real clock moved by whole seconds, so the engine's tick keeps its phase in the second.
class ShiftedClock : public SystemClock {
  public:
    explicit ShiftedClock(const LocalDateTime& start) {
        const int64_t real = ToEpochMs(SystemClock::Now());
        shiftMs_ = (ToEpochMs(start) - real) / 1000 * 1000;
    }
    LocalDateTime Now() override { return FromEpochMs(ToEpochMs(SystemClock::Now()) + shiftMs_); }
    void WaitWhileSecondIs(TimeOfDay t) override {
        for (int i = 0; i < 1500 && Now().SecondsOfDay() == t; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

  private:
    int64_t shiftMs_ = 0;
};

// Another program commits an added event while the engine is writing a skip (it held the
// write lock when the marking began): the engine must not take the file's new time for its own.
TEST(DiskWorkFault, OutsideCommitDuringAMarkingIsStillLoaded) {
    for (const int active : {2, 3}) {
        SCOPED_TRACE(active == 2 ? "skip" : "one-time");
        EngineHarness h{kMonday};
        StartWith(h, {With(Event(1, 0, "09:00:01", "marked"), {{"Active", active}}),
                      Event(2, 0, "09:00:05", "later")});
        WatchAt(h, 9, 0, 0);
        LockHolder other(h.Db(),
                         "BEGIN IMMEDIATE; INSERT INTO Automation (Number, Day, Time, Title, "
                         "Active) VALUES (50, 0, '09:00:03', 'added', 1)");
        ASSERT_TRUE(other.Holding());
        std::thread commit([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            other.Finish(true);
        });
        h.TickAt(9, 0, 1);  // the marking waits for the lock, then writes after the commit
        commit.join();
        WatchAt(h, 9, 0, 2);
        h.TickAt(9, 0, 3);
        h.TickAt(9, 0, 5);
        EXPECT_THAT(Titles(h.view.HistoryRows), Contains("added"));
        EXPECT_THAT(Titles(h.view.HistoryRows), Contains("later"));
    }
}

// An outside edit at Tuesday 23:59:57 with 8,000 rows and a task-view folder: the reload and
// the copy it refreshes must not hold the tick, so Wednesday's first events run in their seconds.
TEST(DiskWorkFault, ReloadWithATaskViewCopyJustBeforeMidnightLosesNoEvent) {
    EngineHarness h{kMonday};
    const std::string view = h.dir.File("viewer");
    std::filesystem::create_directory(view);
    h.WriteDatabase({Event(1, 2, "00:00:00", "wed 0"), Event(2, 2, "00:00:01", "wed 1"),
                     Event(3, 2, "00:00:02", "wed 2")});
    h.Sql("UPDATE Server SET TaskViewDB = '" + view + "'");
    AddFiller(h, 8000 - 3, 1);

    ShiftedClock clock(LocalDateTime{2026, 12, 8, 23, 59, 55, 0});  // a Tuesday
    Engine engine(clock, h.realLoop, h.view, h.dir.Path());
    engine.Form_Load();
    auto until = [&](int day, int secondOfDay) {
        h.realLoop.RunUntil(
            [&] {
                const LocalDateTime t = clock.Now();
                return t.Day > day || (t.Day == day && t.SecondsOfDay() >= secondOfDay);
            },
            10000);
    };
    until(8, 86397);
    h.Sql("UPDATE Automation SET Title = 'edited' WHERE Number = 1000");  // an outside edit
    until(9, 3);
    std::vector<std::string> ran;
    for (const auto& row : h.view.HistoryRows)
        ran.push_back(row.Title.substr(0, 5));
    EXPECT_THAT(ran, ElementsAre("wed 0", "wed 1", "wed 2"));

    engine.Disk().FinishDiskWork();
    EXPECT_EQ(QueryOne(view + "/QTXAutomation.mdb",
                       "SELECT count(*) FROM Automation WHERE Title = 'edited'"),
              "4");  // the four rows of the edited event
    engine.Form_Terminate();
}

// FIFOs in place of the activity log, the error log and the task-view copy, with and without a
// reader: nothing blocks, nothing is written into them, and the faults are reported where the
// error log can take them.
TEST(DiskWorkFault, FifosInPlaceOfTheLogsAndTheCopyBlockNothing) {
    for (const bool errorLogToo : {false, true}) {
        SCOPED_TRACE(errorLogToo ? "error log a FIFO too" : "activity log and copy");
        EngineHarness h{kMonday};
        const std::string view = h.dir.File("viewer"), tally = h.dir.File("Tally.Dat"),
                          errors = h.dir.File("Errorlog.txt");
        std::filesystem::create_directory(view);
        h.WriteDatabase({Event(1, 0, "09:00:01", "a"), Event(2, 0, "09:00:02", "b"),
                         Event(3, 1, "08:00:00", "tue")});
        h.Sql("UPDATE Server SET TaskViewDB = '" + view + "'");
        ASSERT_EQ(::mkfifo(tally.c_str(), 0644), 0);
        ASSERT_EQ(::mkfifo((view + "/QTXAutomation.mdb").c_str(), 0644), 0);
        if (errorLogToo) {
            ASSERT_EQ(::mkfifo(errors.c_str(), 0644), 0);
        }
        // A reader on the activity log's FIFO: its open for writing would then succeed.
        const int reader = ::open(tally.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);

        const auto start = std::chrono::steady_clock::now();
        h.Start();
        h.engine->Disk().FinishDiskWork();
        h.TickAt(9, 0, 1);
        h.TickAt(9, 0, 2);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_THAT(Titles(h.view.HistoryRows),
                    ElementsAre("a - Not Executed", "b - Not Executed"));
        char buf[64];
        EXPECT_LE(::read(reader, buf, sizeof buf), 0) << "nothing is written into a FIFO";
        ::close(reader);
        if (!errorLogToo) {
            const std::vector<std::string> errs = h.ErrorLocations();
            EXPECT_THAT(errs, Contains("Error Copying Database"));
            EXPECT_THAT(errs, Contains("Error Writing to Activity Log"));
            EXPECT_THAT(ReadWholeFile(errors), HasSubstr("Error # 75"));
        }
        EXPECT_FALSE(std::filesystem::is_regular_file(tally));
        EXPECT_FALSE(std::filesystem::is_regular_file(errors) && errorLogToo);
    }
}

// The headless engine under a file-size limit (ulimit -f) that its activity log reaches: the
// writes beyond it fail and are reported instead of killing the engine with SIGXFSZ.
TEST(DiskWorkFault, FileSizeLimitFailsWritesWithoutKillingTheEngine) {
    const std::string binary =
        std::string(QTX_BINARY_DIR) + "/apps/qtx-automation-headless/qtx-automation-headless";
    ASSERT_TRUE(std::filesystem::exists(binary)) << "build qtx-automation-headless first";
    SystemClock clock;
    const LocalDateTime now = clock.Now();
    const int first = now.SecondsOfDay() + 2;
    if (first + 8 >= 86400)
        GTEST_SKIP() << "too close to midnight";

    EngineHarness h{now};
    std::vector<EventRow> rows;
    for (int i = 0; i < 6; ++i)  // refused every second (no server): one activity line each
        rows.push_back(Event(i + 1, now.MondayIndex(), FormatHhMmSs(first + i), "refused event"));
    h.WriteDatabase(rows);
    const std::string program = h.dir.File("qtx-automation-headless");
    std::filesystem::copy_file(binary, program);
    const std::string tally = h.dir.File("Tally.Dat");
    // Room for the header and two lines of the six.
    size_t header = 0;
    for (const std::string& line : ActivityLogHeader())
        header += line.size() + 2;
    const rlim_t Limit = header + 200;

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open("/dev/null", O_WRONLY);
        ::dup2(out, 1);
        const rlimit limit{Limit, Limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds((first + 7 - now.SecondsOfDay()) * 1000));
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the engine is still running";
    ::kill(pid, SIGTERM);
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "");
    EXPECT_LE(std::filesystem::file_size(tally), Limit);
    const std::vector<std::string> lines = LogLinesAfterHeader(tally);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines.front(), HasSubstr("refused event not executed"));
}

}  // namespace
}  // namespace qtx::test
