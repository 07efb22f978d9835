#pragma once
// The console's HTTP server on libmicrohttpd: one event-loop thread holds every connection (none
// holds a thread of its own); requests whose head and body are whole and within their limits run
// on a small pool of workers while their connection waits, suspended; a streamed answer waits,
// suspended, until woken. A reaper cuts off connections whose head or body is overdue, and
// connections are bounded in total and per client address.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "console/ClientAddress.h"
#include "console/ConnectionTable.h"
#include "console/HttpMessage.h"
#include "console/WorkerPool.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace qtx::console {

struct HttpServerOptions {
    std::string Host = "127.0.0.1";
    int Port = 8080;              // 0 picks a free port
    std::string TlsCert, TlsKey;  // PEM texts; both empty for plain HTTP
};

class HttpServer {
  public:
    // The most body a request to method and path may carry; looked up when its head is read.
    using BodyLimit = std::function<size_t(const std::string& method, const std::string& path)>;
    // Answers a whole request; runs on a worker and must not throw.
    using Handler = std::function<void(HttpRequest&, HttpResponse&)>;
    // Fills in a refusal the server makes itself (413, 431, 503).
    using Refusal = std::function<void(HttpResponse&, int status, const std::string& message)>;

    HttpServer(HttpServerOptions options, const TrustedProxies& proxies, BodyLimit limit,
               Handler handler, Refusal refusal);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds, listens and starts serving; returns the port. Throws std::runtime_error when it
    // cannot (the address, or TLS files the library refuses).
    int Start();
    // Ends every stream, finishes the requests being handled and closes every connection.
    void Stop();
    // Lets every waiting stream look for something new to send; safe from any thread.
    void WakeStreams();

  private:
    struct RequestState;
    struct StreamState;

    friend struct HttpServerCallbacks;  // the library's callbacks, in HttpServer.cpp

    // Each false when the connection is to be closed without an answer.
    bool BeginRequest(MHD_Connection* c, RequestState& st, const char* url, const char* method);
    bool TakeBody(MHD_Connection* c, RequestState& st, const char* upload, size_t* uploadSize);
    bool Dispatch(MHD_Connection* c, const std::shared_ptr<RequestState>& st);
    bool Refuse(MHD_Connection* c, RequestState& st, int status, const std::string& message);
    bool Send(MHD_Connection* c, HttpResponse& res, bool head);
    // Writes a refusal on the connection's socket itself and shuts its sending side; false when
    // the socket cannot be had.
    bool WriteRefusal(MHD_Connection* c, const HttpResponse& res, bool head);
    void Reap();

    HttpServerOptions options_;
    const TrustedProxies& proxies_;
    BodyLimit limit_;
    Handler handler_;
    Refusal refusal_;
    ConnectionTable table_;
    WorkerPool workers_;
    int listenFd_ = -1;
    MHD_Daemon* daemon_ = nullptr;
    std::atomic<bool> stopping_{false};
    // Touched only on the event-loop thread.
    std::unordered_map<RequestState*, std::shared_ptr<RequestState>> requests_;
    std::mutex streamsMutex_;
    std::unordered_map<StreamState*, std::unique_ptr<StreamState>> streams_;
    std::mutex reaperMutex_;
    std::condition_variable reaperWake_;
    std::thread reaper_;
};

}  // namespace qtx::console
