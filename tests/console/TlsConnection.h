#pragma once
// A TLS connection to the console on 127.0.0.1, for what a well-behaved client never sends over
// TLS: an endless chunked body. The server's certificate is not checked.
#include <openssl/ssl.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "console/RawConnection.h"

namespace qtx::test {

class TlsConnection {
  public:
    explicit TlsConnection(int port, const std::string& from = "127.0.0.1")
        : raw_(port, from),
          ctx_(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free),
          ssl_(nullptr, &SSL_free) {
        if (!ctx_)
            throw std::runtime_error("no TLS context");
        ssl_.reset(SSL_new(ctx_.get()));
        if (!ssl_ || SSL_set_fd(ssl_.get(), raw_.Fd()) != 1 || SSL_connect(ssl_.get()) != 1)
            throw std::runtime_error("no TLS handshake");
    }

    // False once the peer has closed or reset.
    bool Send(const std::string& data) {
        return SSL_write(ssl_.get(), data.data(), static_cast<int>(data.size())) ==
               static_cast<int>(data.size());
    }
    // Whether something (or the end) can be read within ms.
    bool Readable(int ms) { return SSL_pending(ssl_.get()) > 0 || raw_.Readable(ms); }
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
            int n = SSL_read(ssl_.get(), buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

  private:
    RawConnection raw_;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx_;
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl_;
};

}  // namespace qtx::test
