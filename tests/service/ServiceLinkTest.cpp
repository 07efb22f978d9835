// The engine under systemd: readiness, watchdog keep-alive and stopping notices from the real
// headless program, and the journal entries that mirror its error and refusal lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "fixtures/EngineHarness.h"
#include "fixtures/TempDir.h"
#include "service/ServiceLink.h"

namespace qtx::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Pair;

struct Recorded {
    std::vector<std::string> notices;
    std::vector<std::pair<int, std::string>> journal;
};

ServiceLink::Sinks RecordInto(Recorded& r) {
    return {[&r](const std::string& s) { r.notices.push_back(s); },
            [&r](int p, const std::string& t) { r.journal.emplace_back(p, t); }};
}

TEST(ServiceJournal, ErrorsAndRefusalsGoToTheJournalWithTheirPriorityAndTheirText) {
    // A Monday; the server port is closed, so the event is refused.
    EngineHarness h({2026, 12, 7, 9, 0, 0});
    h.WriteDatabase(
        {With(Event(1, 0, "09:00:01", "Caf\xe9 ident"), {{"scontrol", 1}, {"Salvo", 1}}),
         Event(2, 1, "09:00:00", "tuesday")});
    Recorded r;
    ServiceLink link(RecordInto(r), std::chrono::microseconds(0));
    h.Start();
    link.Attach(*h.engine);
    h.engine->Log().WriteActivityLog("Send Execute Salvo Number 1");  // an ordinary line
    // An ordinary line is ordinary whatever its words (a title may contain the refusal's).
    h.engine->Log().WriteActivityLog("Message Sent to \"Why not executed - a talk\"");
    h.TickAt(9, 0, 1);
    ASSERT_THAT(h.ActivityMessages(),
                Contains("Caf\xe9 ident not executed - Server not connected"));
    // The journal gets the same text in UTF-8; the ordinary activity line stays out of it.
    EXPECT_THAT(
        r.journal,
        ElementsAre(Pair(LOG_WARNING, "Caf\u00e9 ident not executed - Server not connected")));

    // The database vanishes and the reload fails: the error entry reaches the journal too.
    ::unlink(h.dir.File("QTXAutomation.mdb").c_str());
    h.engine->Log().ReportError("Error Loading Automation Database");
    ASSERT_FALSE(h.ErrorLocations().empty());
    ASSERT_EQ(r.journal.size(), 2u);
    EXPECT_EQ(r.journal[1].first, LOG_ERR);
    EXPECT_EQ(r.journal[1].second.rfind("Error Loading Automation Database: ", 0), 0u);
}

TEST(ServiceJournal, KeepAliveFollowsTheTickAndIsRateLimited) {
    EngineHarness h({2026, 12, 7, 9, 0, 0});
    h.WriteDatabase({Event(1, 1, "09:00:00", "tuesday")});
    Recorded r;
    int earlier = 0;
    ServiceLink link(RecordInto(r), std::chrono::hours(1));
    h.Start();
    h.engine->AfterTick = [&earlier] { ++earlier; };  // a hook set before is kept
    link.Attach(*h.engine);
    for (int s = 1; s <= 4; ++s)
        h.TickAt(9, 0, s);
    EXPECT_EQ(earlier, 4);
    // An hour's watchdog: one keep-alive at the first tick, none again within a quarter hour.
    EXPECT_THAT(r.notices, ElementsAre("WATCHDOG=1"));
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) {
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        path.copy(sa.sun_path, sizeof sa.sun_path - 1);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            ADD_FAILURE() << "cannot bind " << path;
    }
    ~NotifySocket() { ::close(fd_); }
    // The next notice, or "" after timeoutMs.
    std::string Next(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return "";
        char buf[512];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

  private:
    const int fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

TEST(ServiceProcess, HeadlessEngineTellsSystemdItIsReadyAliveAndStopping) {
    TempDir dir;
    const std::string program = dir.File("qtx-automation-headless");
    WriteWholeFile(program, ReadWholeFile(QTX_BINARY_DIR
                                          "/apps/qtx-automation-headless/qtx-automation-headless"));
    ::chmod(program.c_str(), 0755);
    NotifySocket notify(dir.File("notify"));

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1);
        ::setenv("WATCHDOG_USEC", "800000", 1);  // keep-alive due every 200 ms: every tick
        ::unsetenv("WATCHDOG_PID");
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    EXPECT_EQ(notify.Next(5000), "READY=1");
    int keepAlives = 0;
    for (std::string n; keepAlives < 3 && !(n = notify.Next(2000)).empty();)
        keepAlives += n == "WATCHDOG=1";
    EXPECT_EQ(keepAlives, 3);

    ::kill(pid, SIGTERM);
    std::string last;
    for (std::string n; last != "STOPPING=1" && !(n = notify.Next(3000)).empty();)
        last = n;
    EXPECT_EQ(last, "STOPPING=1");
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace qtx::test
