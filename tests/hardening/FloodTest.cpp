// A switcher peer that floods the link: bytes that never make a message, or a busy switcher's
// stream of take reports. The real engine with the real clock and its own 500 ms tick: every
// event's frame still arrives in its second, the receive buffer stays bounded and gives its
// memory back, and take reports are applied as they arrive.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "common/Format.h"
#include "fixtures/Loopback.h"
#include "fixtures/WallClock.h"
#include "hardening/Hardening.h"
#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"
#include "switcher/ReceiveFraming.h"
#include "switcher/TcpComm.h"

namespace qtx::test {
namespace {

int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A map of 16 outputs, none routed.
std::string EmptyMap() {
    std::string m = frames::SingleByte(frames::Map);
    m.push_back(0);
    AppendWord(m, 16);
    AppendWord(m, 0);
    for (int o = 0; o < 16; ++o) {
        AppendWord(m, 0);
        m.push_back(0);
    }
    return frames::Finish(m);
}

std::string TakeReport(int source, int destination) {
    std::string m = frames::SingleByte(frames::Crosspoint);
    AppendWord(m, frames::CmdTake);
    AppendWord(m, source);
    AppendWord(m, destination);
    return frames::Finish(m);
}

// The peer, on a thread of its own: announces itself, answers the map request, then writes
// what flood() gives as fast as the engine takes it, and stamps each salvo frame it receives.
class FloodingPeer {
  public:
    explicit FloodingPeer(std::function<std::string(int64_t)> flood) : flood_(std::move(flood)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        port_ = BindLoopback(listen_);
        ::listen(listen_, 4);
        thread_ = std::thread([this] { Run(); });
    }
    ~FloodingPeer() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }
    int Port() const { return port_; }
    void SetFlooding(bool on) { flooding_ = on; }
    // Salvo number -> arrival times (ms since the epoch).
    std::map<int, std::vector<int64_t>> Salvos() {
        std::lock_guard<std::mutex> lock(mutex_);
        return salvos_;
    }

  private:
    void Run() {
        pollfd l{listen_, POLLIN, 0};
        while (!stop_ && ::poll(&l, 1, 50) <= 0) {
        }
        if (stop_)
            return;
        const int fd = ::accept(listen_, nullptr, nullptr);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        std::string out = frames::SingleByte(frames::Online), in;
        while (!stop_) {
            if (out.empty() && flooding_)
                out = flood_(WallMs());
            pollfd p{fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
            ::poll(&p, 1, 5);
            if (p.revents & POLLOUT) {
                const ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
                if (n > 0)
                    out.erase(0, static_cast<size_t>(n));
            }
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0)
                in.append(buf, static_cast<size_t>(n));
            for (size_t end; (end = in.find('\xFF')) != std::string::npos;) {
                const std::string f = in.substr(0, end + 1);
                in.erase(0, end + 1);
                if (static_cast<uint8_t>(f[0]) == frames::Salvo) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    salvos_[WordAt(f, 2) + 1].push_back(WallMs());
                } else if (static_cast<uint8_t>(f[0]) == frames::Info) {
                    out = EmptyMap() + out;
                }
            }
            // Single-byte polls from the engine are answered so the link stays up.
            for (size_t i; (i = in.find('\xF5')) != std::string::npos;) {
                in.erase(i, 1);
                out = frames::SingleByte(frames::Online) + out;
            }
        }
        ::close(fd);
    }

    std::function<std::string(int64_t)> flood_;
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false}, flooding_{true};
    std::mutex mutex_;
    std::map<int, std::vector<int64_t>> salvos_;
};

struct FloodRun {
    std::map<int, std::vector<int64_t>> salvos;  // salvo -> arrivals
    std::vector<int64_t> secondMs;               // each salvo's scheduled second
    size_t largestBuffer = 0;
    size_t capacityAfter = 0;
};

// Salvo events 1..count, one a second from about two seconds ahead, with a conditional event
// (salvo count + 1, in the last second) that runs only while source 5 feeds output 3.
FloodRun RunEngineAgainst(FloodingPeer& peer, int count) {
    SystemClock clock;
    const LocalDateTime now = clock.Now();
    const int first = now.SecondsOfDay() + 2;
    EngineHarness h{now};
    std::vector<EventRow> rows;
    FloodRun run;
    for (int i = 0; i < count; ++i) {
        rows.push_back(With(Event(i + 1, now.MondayIndex(), FormatHhMmSs(first + i), "e"),
                            {{"scontrol", 1}, {"Salvo", i + 1}}));
        run.secondMs.push_back(LocalSecondToEpochMs(now, first + i));
    }
    rows.push_back(
        With(Event(count + 1, now.MondayIndex(), FormatHhMmSs(first + count - 1), "cond"),
             {{"Condition", 1},
              {"ReqSource", 5},
              {"ReqDest", 3},
              {"scontrol", 1},
              {"Salvo", count + 1}}));
    rows.push_back(Event(count + 2, (now.MondayIndex() + 1) % 7, "12:00:00", "tomorrow"));
    h.WriteDatabase(rows, "127.0.0.1", peer.Port());
    Engine engine(clock, h.realLoop, h.view, h.dir.Path());
    engine.AfterTick = [&] {
        run.largestBuffer = std::max(run.largestBuffer, engine.Vars().RecvBuffer[0].size());
    };
    engine.Form_Load();
    h.realLoop.RunUntil([&] { return clock.Now().SecondsOfDay() >= first + count; },
                        (count + 4) * 1000);
    peer.SetFlooding(false);
    h.realLoop.RunFor(1000);
    run.capacityAfter = engine.Vars().RecvBuffer[0].capacity();
    engine.Form_Terminate();
    run.salvos = peer.Salvos();
    return run;
}

void ExpectEveryEventOnceInItsSecond(const FloodRun& run, int count) {
    for (int i = 1; i <= count; ++i) {
        SCOPED_TRACE("salvo " + std::to_string(i));
        ASSERT_EQ(run.salvos.count(i), 1u);
        ASSERT_EQ(run.salvos.at(i).size(), 1u);
        const int64_t late = run.salvos.at(i)[0] - run.secondMs[static_cast<size_t>(i - 1)];
        EXPECT_GE(late, 0);
        EXPECT_LT(late, 300);  // generous for loaded CI machines and sanitizer builds
    }
}

TEST(Flood, BytesThatNeverMakeAMessageLeaveEventsOnTimeAndTheBufferBounded) {
    struct Case {
        const char* name;
        std::function<std::string(int64_t)> flood;
    };
    const std::vector<Case> cases = {
        {"data bytes without a code byte", [](int64_t) { return std::string(65536, '\x01'); }},
        {"no-action bytes each followed by data",
         [](int64_t) {
             std::string s;
             while (s.size() < 65536)
                 s += std::string("\xF3") + std::string(200, '\x02');
             return s;
         }},
        {"an unknown frame that never ends",
         [](int64_t) {
             static bool started = false;
             std::string s = started ? "" : "\xE0";
             started = true;
             return s + std::string(65536, '\x03');
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FloodingPeer peer(c.flood);
        const FloodRun run = RunEngineAgainst(peer, 4);
        ExpectEveryEventOnceInItsSecond(run, 4);
        EXPECT_LE(run.largestBuffer, kLongestFrame + TcpComm::kReadPerTurn);
        EXPECT_LT(run.capacityAfter, 1u << 20);  // the memory of the burst is given back
    }
}

TEST(Flood, ABusySwitchersTakeReportsAreAppliedAsTheyArrive) {
    // Twenty take reports every 50 ms, the last of each burst routing source 5 to output 3:
    // the conditional event finds it on. One message per read event or tick fell seconds behind.
    FloodingPeer peer([](int64_t) {
        std::string burst;
        for (int k = 0; k < 20; ++k)
            burst += TakeReport(k == 19 ? 4 : 10 + k % 4, 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return burst;
    });
    const FloodRun run = RunEngineAgainst(peer, 4);
    ExpectEveryEventOnceInItsSecond(run, 4);
    EXPECT_EQ(run.salvos.count(5), 1u) << "the conditional event was refused";
}

}  // namespace
}  // namespace qtx::test
