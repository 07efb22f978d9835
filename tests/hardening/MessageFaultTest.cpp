// The whole engine sending message events to receivers that fail: an IP receiver that accepts
// and never reads, and a serial device that vanishes. The execution ends in bounded time, the
// failure stands in both logs, and the events after it run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>

#include "hardening/Hardening.h"

namespace qtx::test {
namespace {

using ::testing::ElementsAre;

// A listener with a small receive buffer that never calls accept(): the kernel completes the
// connection and soon takes no more.
class StalledReceiver {
  public:
    explicit StalledReceiver(int rcvbuf = 0)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (rcvbuf > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~StalledReceiver() { ::close(fd_); }
    int Port() const { return port_; }
    // Everything the next connection sent, up to its close.
    std::string Next() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 500) != 1)
            return "<none>";
        const int c = ::accept(fd_, nullptr, nullptr);
        std::string data;
        char buf[65536];
        for (ssize_t n; (n = ::read(c, buf, sizeof buf)) > 0;)
            data.append(buf, static_cast<size_t>(n));
        ::close(c);
        return data;
    }

  private:
    int fd_;
    int port_ = 0;
};

class Pty {
  public:
    Pty() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        ::grantpt(master_);
        ::unlockpt(master_);
        path_ = ::ptsname(master_);
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);  // keeps the line up between sends
    }
    ~Pty() { Vanish(); }
    const std::string& Path() const { return path_; }
    std::string Received() {
        std::string out;
        char buf[4096];
        pollfd p{master_, POLLIN, 0};
        for (ssize_t n; ::poll(&p, 1, 100) == 1 && (n = ::read(master_, buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
    // The device goes away as an unplugged adapter does: its node is removed.
    void Vanish() {
        if (master_ >= 0) {
            ::close(slave_);
            ::close(master_);
        }
        master_ = slave_ = -1;
    }

  private:
    int master_, slave_ = -1;
    std::string path_;
};

EventRow IpEvent(int number, const std::string& time, const std::string& title, int port,
                 const std::string& fileOrText, int mcontrol) {
    return With(Event(number, 0, time, title), {{"mcontrol", mcontrol},
                                                {"mtype", 1},
                                                {"Message", fileOrText},
                                                {"MIPAddress", "127.0.0.1"},
                                                {"MIPPort", port}});
}

EventRow SerialEvent(int number, const std::string& time, const std::string& title,
                     const std::string& text) {
    return With(
        Event(number, 0, time, title),
        {{"mcontrol", 1}, {"mtype", 2}, {"Message", text}, {"MCommPort", 0}, {"MBaudRate", 1}});
}

class MessageFault : public ::testing::Test {
  protected:
    MessageFault() { h.clock.SetRealSleep(true); }
    EngineHarness h{kMonday};
};

TEST_F(MessageFault, ReceiverThatNeverReadsHoldsTheEngineOnlyBrieflyAndLosesNoLaterEvent) {
    StalledReceiver stalled(4096);
    StalledReceiver good;
    const std::string big = h.dir.File("big.txt");
    WriteWholeFile(big, std::string(8 << 20, 'b'));
    h.WriteDatabase({IpEvent(1, "09:00:01", "big", stalled.Port(), big, 3),
                     Event(2, 0, "09:00:01", "chained"),
                     IpEvent(3, "09:00:02", "small", good.Port(), "after^M", 1),
                     Event(4, 1, "08:00:00", "tue")});
    h.Start();
    h.MarkSwitcherUp();
    const auto start = std::chrono::steady_clock::now();
    h.TickAt(9, 0, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("big", "chained"));
    EXPECT_EQ(h.ErrorLocations(), std::vector<std::string>{"Error Sending Message to IP"});

    h.TickAt(9, 0, 2);
    EXPECT_EQ(good.Next(), "after\r");
    EXPECT_THAT(h.ActivityMessages(), ElementsAre("big not executed - Unable to connect to IP",
                                                  "Message Sent to 127.0.0.1"));
}

TEST_F(MessageFault, VanishedSerialDeviceIsRefusedAndAReplacementIsUsedAtTheNextMessage) {
    auto pty = std::make_unique<Pty>();
    const std::string link = h.dir.File("COM1");
    ASSERT_EQ(::symlink(pty->Path().c_str(), link.c_str()), 0);
    h.WriteDatabase({SerialEvent(1, "09:00:01", "first", "ON AIR^M"),
                     SerialEvent(2, "09:00:02", "gone", "lost"), Event(3, 0, "09:00:02", "chained"),
                     SerialEvent(4, "09:00:03", "back", "OFF AIR^M"),
                     Event(5, 1, "08:00:00", "tue")});
    h.Start();
    h.MarkSwitcherUp();
    h.TickAt(9, 0, 1);
    EXPECT_EQ(pty->Received(), "ON AIR\r");

    const std::string oldPath = pty->Path();
    pty->Vanish();
    ASSERT_FALSE(std::filesystem::exists(oldPath));  // the fault is real: no device there
    const auto start = std::chrono::steady_clock::now();
    h.TickAt(9, 0, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_THAT(Titles(h.view.HistoryRows), ElementsAre("first", "gone", "chained"));
    EXPECT_EQ(h.ErrorLocations(), std::vector<std::string>{"Error Sending Message to Serial"});

    pty = std::make_unique<Pty>();
    std::filesystem::remove(link);
    ASSERT_EQ(::symlink(pty->Path().c_str(), link.c_str()), 0);
    h.TickAt(9, 0, 3);
    EXPECT_EQ(pty->Received(), "OFF AIR\r");
    EXPECT_THAT(h.ActivityMessages(), ElementsAre("Message Sent to comm:1",
                                                  "gone not executed - Unable to open Serial Port",
                                                  "Message Sent to comm:1"));
}

}  // namespace
}  // namespace qtx::test
