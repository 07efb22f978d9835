#pragma once
// The message module in a temporary program folder with real logs, a poll loop, unconnected
// switcher links and the clock double sleeping for real; plus a TCP listener on 127.0.0.1 and
// pseudo-terminals standing in for serial ports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "common/PollEventLoop.h"
#include "fixtures/TempDir.h"
#include "messages/MessageEvents.h"
#include "switcher/TcpComm.h"
#include "ui/RecordingMainWindow.h"

namespace qtx::test {

// Listens without a thread: the kernel completes the connection and buffers what is sent, and
// NextMessage reads it once the sender has closed. rcvbuf > 0 makes a receiver that soon stops
// taking data (it never accepts).
class Listener {
  public:
    explicit Listener(int rcvbuf = 0) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (rcvbuf > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd_); }
    int32_t Port() const { return port_; }
    // The bytes of the next connection, to its end; "<none>" when nobody connected.
    std::string NextMessage() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 200) != 1)
            return "<none>";
        const int c = ::accept(fd_, nullptr, nullptr);
        std::string data;
        char buf[65536];
        for (ssize_t n; (n = ::read(c, buf, sizeof buf)) > 0;)
            data.append(buf, static_cast<size_t>(n));
        ::close(c);
        return data;
    }
    static int32_t RefusingPort() { return Listener().Port(); }  // closed again at once

  private:
    int fd_;
    int32_t port_ = 0;
};

class PseudoTerminal {
  public:
    PseudoTerminal() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        ::grantpt(master_);
        ::unlockpt(master_);
        path_ = ::ptsname(master_);
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);  // keeps the line's settings readable
    }
    ~PseudoTerminal() {
        ::close(slave_);
        ::close(master_);
    }
    int Slave() const { return slave_; }
    void LinkAs(const std::string& link) const {
        ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
    }
    // What arrived on the line until nothing more came for quietMs.
    std::string Received(int quietMs = 100) const {
        std::string out;
        char buf[4096];
        pollfd p{master_, POLLIN, 0};
        for (ssize_t n; ::poll(&p, 1, quietMs) == 1 && (n = ::read(master_, buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }

  private:
    int master_, slave_;
    std::string path_;
};

class MessageFixture : public ::testing::Test {
  protected:
    MessageFixture() {
        vars.AppDir = dir.Path();
        clock.SetRealSleep(true);
    }
    // Makes a fresh event the only and current one.
    AutomationEvent& Current(const std::string& title, int16_t mtype, const std::string& text) {
        vars.EventTable.assign(1, AutomationEvent{});
        vars.EventCount = 1;
        vars.NextEventIndex = 0;
        AutomationEvent& ev = vars.EventTable[0];
        ev.Title = title;
        ev.mtype = mtype;
        ev.mcontrol = 1;
        ev.Message = text;
        ev.MIPAddress = "127.0.0.1";
        return ev;
    }
    // Log entries after the header: activity messages, error (location, fault text).
    std::vector<std::string> Activity() const {
        std::vector<std::string> out;
        for (const std::string& line : Entries("Tally.Dat"))
            out.push_back(line.substr(35));
        return out;
    }
    std::vector<std::pair<std::string, std::string>> Errors() const {
        std::vector<std::pair<std::string, std::string>> out;
        for (const std::string& line : Entries("Errorlog.txt")) {
            const std::string location = line.substr(24, 36);
            out.emplace_back(location.substr(0, location.find_last_not_of(' ') + 1),
                             line.substr(60));
        }
        return out;
    }

    TempDir dir;
    Variables vars;
    FakeClock clock{LocalDateTime{2026, 12, 7, 9, 0, 0}};
    PollEventLoop loop;
    Logs logs{vars, clock};
    RecordingMainWindow view;
    TcpComm tcp{vars, logs, view, loop};
    MessageEvents messages{vars, logs, clock, loop, tcp};

  private:
    std::vector<std::string> Entries(const std::string& name) const {
        const std::string text = ReadWholeFile(dir.File(name));
        std::vector<std::string> lines;
        for (size_t pos = 0, end; (end = text.find("\r\n", pos)) != std::string::npos;
             pos = end + 2)
            lines.push_back(text.substr(pos, end - pos));
        lines.erase(lines.begin(), lines.begin() + std::min<size_t>(11, lines.size()));  // header
        return lines;
    }
};

}  // namespace qtx::test
