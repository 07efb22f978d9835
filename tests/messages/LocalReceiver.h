#pragma once
// A TCP receiver on 127.0.0.1 for IP messages, on its own thread: it accepts connections one
// after the other and either reads each to its end or accepts and never reads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qtx::test {

class LocalReceiver {
  public:
    enum class Mode { ReadAll, NeverRead };

    explicit LocalReceiver(Mode mode = Mode::ReadAll) : mode_(mode) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (mode == Mode::NeverRead) {
            int small = 4096;  // inherited by accepted connections: the stall comes soon
            ::setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listen_, 8) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~LocalReceiver() {
        stop_ = true;
        thread_.join();
        for (int fd : held_)
            ::close(fd);
        ::close(listen_);
    }
    LocalReceiver(const LocalReceiver&) = delete;
    LocalReceiver& operator=(const LocalReceiver&) = delete;

    int32_t Port() const { return port_; }
    int Accepted() const { return accepted_; }

    // The bytes of the next connection that the sender has ended; "<none>" after timeoutMs.
    std::string NextMessage(int timeoutMs = 3000) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!done_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return !messages_.empty(); }))
            return "<none>";
        std::string m = std::move(messages_.front());
        messages_.pop_front();
        return m;
    }

    // A port on 127.0.0.1 where nothing listens, so a connection is refused.
    static int32_t RefusingPort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(fd);
        return ntohs(a.sin_port);
    }

  private:
    bool Ready(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 20) == 1;
    }
    void Run() {
        while (!stop_) {
            if (!Ready(listen_))
                continue;
            const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            ++accepted_;
            if (mode_ == Mode::NeverRead) {
                held_.push_back(c);
                continue;
            }
            std::string data;
            char buf[65536];
            while (!stop_) {
                if (!Ready(c))
                    continue;
                const ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0)
                    break;
                data.append(buf, static_cast<size_t>(n));
            }
            ::close(c);
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back(std::move(data));
            done_.notify_all();
        }
    }

    Mode mode_;
    int listen_ = -1;
    int32_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::vector<int> held_;  // connections of a receiver that never reads
    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<std::string> messages_;
    std::thread thread_;
};

}  // namespace qtx::test
