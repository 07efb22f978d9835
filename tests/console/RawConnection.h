#pragma once
// A TCP connection (plain, or TLS without checking the server's certificate) to the console on
// 127.0.0.1 from a chosen loopback address, for what a well-behaved client never sends: slow
// heads, endless chunked bodies, header floods; and one plain request read to its end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

namespace qtx::test {

class RawConnection {
  public:
    // from: a source address in 127.0.0.0/8.
    explicit RawConnection(int port, const std::string& from = "127.0.0.1", bool tls = false)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in local{AF_INET, 0, {}, {}},
            to{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
        ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            throw std::runtime_error("cannot connect from " + from);
        // A send the server no longer takes fails after a while rather than waiting for ever.
        timeval wait{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        if (!tls)
            return;
        ctx_.reset(SSL_CTX_new(TLS_client_method()));
        ssl_.reset(ctx_ ? SSL_new(ctx_.get()) : nullptr);
        if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1 || SSL_connect(ssl_.get()) != 1)
            throw std::runtime_error("no TLS handshake");
    }
    ~RawConnection() {
        ssl_.reset();
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // False once the peer has closed or reset.
    bool Send(const std::string& data) {
        const ssize_t n = ssl_ ? SSL_write(ssl_.get(), data.data(), static_cast<int>(data.size()))
                               : ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        return n == static_cast<ssize_t>(data.size());
    }
    // Whether something (or the end) can be read within ms.
    bool Readable(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return (ssl_ && SSL_pending(ssl_.get()) > 0) || ::poll(&p, 1, ms) > 0;
    }
    // What arrives within ms (until the peer closes or nothing more comes).
    std::string Receive(int ms) {
        std::string got;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char buffer[8192];
        for (auto now = std::chrono::steady_clock::now(); now < until;
             now = std::chrono::steady_clock::now()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
            if (!Readable(std::max(static_cast<int>(left), 1)))
                break;
            const ssize_t n = ssl_ ? SSL_read(ssl_.get(), buffer, sizeof buffer)
                                   : ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    // True when the peer has closed (or reset) the connection within ms.
    bool ClosedWithin(int ms) {
        Receive(ms);
        return closed_;
    }

  private:
    int fd_;
    bool closed_ = false;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx_{nullptr, &SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl_{nullptr, &SSL_free};
};

}  // namespace qtx::test
