#pragma once
// A plain TCP connection to the console from a chosen loopback address, for what a well-behaved
// client never sends: slow heads, endless chunked bodies, header floods.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>

namespace qtx::test {

class RawConnection {
  public:
    // from: a source address in 127.0.0.0/8.
    RawConnection(int port, const std::string& from = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            throw std::runtime_error("cannot connect from " + from);
    }
    ~RawConnection() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // False once the peer has closed or reset.
    bool Send(const std::string& data) {
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(data.size());
    }
    // Whether something (or the end) can be read within ms.
    bool Readable(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }
    // What arrives within ms (until the peer closes or nothing more comes).
    std::string Receive(int ms) {
        std::string got;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char buffer[4096];
        while (std::chrono::steady_clock::now() < until) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            until - std::chrono::steady_clock::now())
                                            .count());
            if (!Readable(std::max(left, 1)))
                break;
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    int Fd() const { return fd_; }
    // True when the peer has closed (or reset) the connection within ms.
    bool ClosedWithin(int ms) {
        Receive(ms);
        return closed_;
    }

  private:
    int fd_ = -1;
    bool closed_ = false;
};

// The most memory the process has held (VmHWM), in KiB.
inline long PeakMemoryKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

}  // namespace qtx::test
