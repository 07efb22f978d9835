#include "console/HttpServer.h"

#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <stdexcept>

#include "common/Limits.h"

namespace qtx::console {

namespace lim = qtx::limits;

struct HttpServer::RequestState {
    HttpRequest Req;
    HttpResponse Res;
    bool Head = false;       // a HEAD request: the answer without its body
    size_t Limit = 0;        // the most body the route takes
    bool Queued = false;     // an answer is queued
    bool Submitted = false;  // handed to a worker
    std::optional<std::pair<int, std::string>> Refusal;  // to be sent once the body has ended
    bool Written = false;     // a refusal went out on the socket itself: the library sends nothing
    bool BodyComing = false;  // a body follows the head unasked and has not ended
    std::mutex Mutex;         // Ready and Suspended, between the event loop and the worker
    bool Ready = false;
    bool Suspended = false;
};

struct HttpServer::StreamState {
    HttpServer* Server = nullptr;
    MHD_Connection* Connection = nullptr;
    std::shared_ptr<HttpStream> Source;
    std::mutex Mutex;
    std::string Pending;
    size_t Sent = 0;  // of Pending
    bool Ended = false;
    bool Suspended = false;
    bool WakePending = false;  // woken while not waiting: look again before waiting
};

namespace {

MHD_Result Collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
    static_cast<HttpFields*>(cls)->emplace_back(key ? key : "", value ? value : "");
    return MHD_YES;
}

std::string PeerOf(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info ? AddressText(info->client_addr) : std::string();
}

// A listening socket on host:port, not blocking; throws std::runtime_error.
int Listen(const std::string& host, int port, int& bound) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    std::string where = host + ":" + std::to_string(port);
    if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints,
                      &found) != 0)
        throw std::runtime_error("cannot listen on " + where + ": unknown address");
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            continue;
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 128) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0) {
            bound = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                                   : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
            return fd;
        }
        ::close(fd);
    }
    throw std::runtime_error("cannot listen on " + where);
}

}  // namespace

// The library's callbacks, with their exact types, each passing on to the server.
struct HttpServerCallbacks {
    static MHD_Result Accept(void* cls, const sockaddr* addr, socklen_t) {
        auto* self = static_cast<HttpServer*>(cls);
        return self->table_.MayAccept(AddressText(addr)) ? MHD_YES : MHD_NO;
    }

    static void Notify(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
        auto* self = static_cast<HttpServer*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* fd =
                MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            self->table_.Opened(c, fd ? fd->connect_fd : -1, PeerOf(c));
        } else {
            self->table_.Closed(c);
        }
    }

    static MHD_Result Access(void* cls, MHD_Connection* c, const char* url, const char* method,
                             const char*, const char* upload, size_t* uploadSize, void** reqCls) {
        auto* self = static_cast<HttpServer*>(cls);
        if (*reqCls == nullptr) {
            auto st = std::make_shared<HttpServer::RequestState>();
            *reqCls = st.get();
            self->requests_[st.get()] = st;
            self->table_.HeadRead(c);
            return self->BeginRequest(c, *st, url, method) ? MHD_YES : MHD_NO;
        }
        auto it = self->requests_.find(static_cast<HttpServer::RequestState*>(*reqCls));
        if (it == self->requests_.end())
            return MHD_NO;
        std::shared_ptr<HttpServer::RequestState> st = it->second;
        if (*uploadSize > 0)
            return self->TakeBody(c, *st, upload, uploadSize) ? MHD_YES : MHD_NO;
        if (st->Queued)
            return MHD_YES;
        if (st->Written)
            return MHD_NO;  // the refused body has ended: close (nothing is left unread)
        if (st->Refusal) {
            HttpResponse res;
            self->refusal_(res, st->Refusal->first, st->Refusal->second);
            st->Queued = true;
            return self->Send(c, res, st->Head) ? MHD_YES : MHD_NO;
        }
        if (!st->Submitted) {
            st->BodyComing = false;
            self->table_.BodyRead(c);
            return self->Dispatch(c, st) ? MHD_YES : MHD_NO;
        }
        st->Queued = true;
        return self->Send(c, st->Res, st->Head) ? MHD_YES : MHD_NO;
    }

    static void Completed(void* cls, MHD_Connection* c, void** reqCls, MHD_RequestTerminationCode) {
        auto* self = static_cast<HttpServer*>(cls);
        self->table_.Answered(c);
        if (*reqCls != nullptr)
            self->requests_.erase(static_cast<HttpServer::RequestState*>(*reqCls));
        *reqCls = nullptr;
    }

    static ssize_t StreamRead(void* cls, uint64_t, char* buf, size_t max) {
        auto* s = static_cast<HttpServer::StreamState*>(cls);
        std::lock_guard lock(s->Mutex);
        if (s->Server->stopping_)
            return MHD_CONTENT_READER_END_OF_STREAM;
        if (s->Sent >= s->Pending.size()) {
            s->Pending.clear();
            s->Sent = 0;
            if (!s->Ended) {
                try {
                    s->Ended = !s->Source->Next(s->Pending);
                } catch (const std::exception&) {
                    s->Ended = true;
                }
            }
            if (s->Pending.empty()) {
                if (s->Ended)
                    return MHD_CONTENT_READER_END_OF_STREAM;
                if (s->WakePending) {
                    s->WakePending = false;
                    return 0;  // called again at once
                }
                // Nothing to send: wait without the event loop until woken.
                MHD_suspend_connection(s->Connection);
                s->Suspended = true;
                return 0;
            }
        }
        size_t n = std::min(max, s->Pending.size() - s->Sent);
        std::copy_n(s->Pending.data() + s->Sent, n, buf);
        s->Sent += n;
        return static_cast<ssize_t>(n);
    }

    static void StreamFree(void* cls) {
        auto* s = static_cast<HttpServer::StreamState*>(cls);
        HttpServer* self = s->Server;
        std::lock_guard lock(self->streamsMutex_);
        self->streams_.erase(s);
    }
};

HttpServer::HttpServer(HttpServerOptions options, const TrustedProxies& proxies, BodyLimit limit,
                       Handler handler, Refusal refusal)
    : options_(std::move(options)),
      proxies_(proxies),
      limit_(std::move(limit)),
      handler_(std::move(handler)),
      refusal_(std::move(refusal)),
      table_(proxies_, lim::ConsoleMaxConnectionsPerAddress,
             std::chrono::seconds(lim::ConsoleHeadDeadlineSeconds),
             std::chrono::seconds(lim::ConsoleBodyDeadlineSeconds)),
      workers_(lim::ConsoleWorkers, lim::ConsoleQueuedRequests) {}

HttpServer::~HttpServer() {
    Stop();
}

int HttpServer::Start() {
    int port = 0;
    listenFd_ = Listen(options_.Host, options_.Port, port);
    bool tls = !options_.TlsCert.empty();
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    if (tls)
        flags |= MHD_USE_TLS;
    MHD_OptionItem common[] = {
        {MHD_OPTION_LISTEN_SOCKET, listenFd_, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, lim::ConsoleMaxConnections, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(lim::ConsoleConnectionMemory),
         nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, lim::ConsoleIdleSeconds, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpServerCallbacks::Completed),
         this},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&HttpServerCallbacks::Notify),
         this},
        {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0,
         const_cast<char*>(options_.TlsCert.c_str())},
        {tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0,
         const_cast<char*>(options_.TlsKey.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    daemon_ =
        MHD_start_daemon(flags, 0, &HttpServerCallbacks::Accept, this, &HttpServerCallbacks::Access,
                         this, MHD_OPTION_ARRAY, common, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        ::close(listenFd_);
        listenFd_ = -1;
        throw std::runtime_error(tls ? "the TLS certificate or key cannot be used"
                                     : "cannot serve on " + options_.Host + ":" +
                                           std::to_string(port));
    }
    listenFd_ = -1;  // the library closes it
    reaper_ = std::thread([this] { Reap(); });
    return port;
}

void HttpServer::Stop() {
    if (daemon_ == nullptr || stopping_.exchange(true))
        return;
    WakeStreams();    // each ends at its next read
    workers_.Stop();  // what is queued is answered 503; every waiting request resumes
    reaperWake_.notify_all();
    if (reaper_.joinable())
        reaper_.join();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

void HttpServer::WakeStreams() {
    std::lock_guard lock(streamsMutex_);
    for (auto& [key, s] : streams_) {
        std::lock_guard one(s->Mutex);
        if (s->Suspended) {
            s->Suspended = false;
            MHD_resume_connection(s->Connection);
        } else {
            s->WakePending = true;
        }
    }
}

void HttpServer::Reap() {
    std::unique_lock lock(reaperMutex_);
    auto lastWake = std::chrono::steady_clock::now();
    while (!stopping_) {
        reaperWake_.wait_for(lock, std::chrono::milliseconds(250),
                             [this] { return stopping_.load(); });
        auto now = std::chrono::steady_clock::now();
        table_.ShutOverdue(now);
        // Streams look once a second: for a keep-alive line, and to find a client that has gone.
        if (now - lastWake >= std::chrono::seconds(1)) {
            lastWake = now;
            WakeStreams();
        }
    }
}

bool HttpServer::BeginRequest(MHD_Connection* c, RequestState& st, const char* url,
                              const char* method) {
    HttpRequest& req = st.Req;
    req.method = method;
    if (req.method == "HEAD") {
        req.method = "GET";
        st.Head = true;
    }
    req.path = url;
    MHD_get_connection_values(c, MHD_HEADER_KIND, &Collect, &req.headers);
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, &Collect, &req.params);
    size_t bytes = 0;
    std::string forwardedFor;
    for (const auto& [k, v] : req.headers) {
        bytes += k.size() + v.size() + 4;  // "Name: value\r\n"
        if (SameName(k, "X-Forwarded-For"))
            forwardedFor += (forwardedFor.empty() ? "" : ",") + v;
    }
    req.peer_addr = PeerOf(c);
    req.via_proxy = proxies_.Trusted(req.peer_addr);
    req.remote_addr = proxies_.ClientOf(req.peer_addr, forwardedFor);
    st.Limit = limit_(req.method, req.path);
    std::string length = req.get_header_value("Content-Length");
    st.BodyComing =
        !SameName(req.get_header_value("Expect"), "100-continue") &&
        ((!length.empty() && length != "0") || !req.get_header_value("Transfer-Encoding").empty());
    if (req.headers.size() > lim::ConsoleMaxHeaders)
        return Refuse(c, st, 431,
                      "more than " + std::to_string(lim::ConsoleMaxHeaders) + " header lines");
    if (bytes > lim::ConsoleMaxHeaderBytes)
        return Refuse(c, st, 431,
                      "header lines longer than " + std::to_string(lim::ConsoleMaxHeaderBytes) +
                          " bytes together");
    unsigned long long declared = 0;
    if (!length.empty()) {
        auto [end, ec] = std::from_chars(length.data(), length.data() + length.size(), declared);
        if (ec == std::errc::result_out_of_range || (ec == std::errc() && declared > st.Limit))
            return Refuse(c, st, 413,
                          "request body larger than " + std::to_string(st.Limit) + " bytes");
    }
    return true;
}

bool HttpServer::TakeBody(MHD_Connection* c, RequestState& st, const char* upload,
                          size_t* uploadSize) {
    size_t n = *uploadSize;
    *uploadSize = 0;  // taken, or dropped
    if (st.Queued || st.Refusal || st.Written)
        return true;
    if (st.Req.body.size() + n > st.Limit) {
        std::string().swap(st.Req.body);
        return Refuse(c, st, 413,
                      "request body larger than " + std::to_string(st.Limit) + " bytes");
    }
    st.Req.body.append(upload, n);
    return true;
}

bool HttpServer::Dispatch(MHD_Connection* c, const std::shared_ptr<RequestState>& st) {
    if (stopping_)
        return Refuse(c, *st, 503, "the console is stopping");
    std::unique_lock lock(st->Mutex);
    st->Submitted = true;
    bool queued = workers_.Submit([this, st, c](bool stopping) {
        if (stopping)
            refusal_(st->Res, 503, "the console is stopping");
        else
            handler_(st->Req, st->Res);
        std::lock_guard done(st->Mutex);
        st->Ready = true;
        if (st->Suspended) {
            st->Suspended = false;
            MHD_resume_connection(c);
        }
    });
    if (!queued) {
        lock.unlock();
        return Refuse(c, *st, 503, "the console is busy; try again shortly");
    }
    // The worker resumes the connection once the answer is ready (it waits for this lock).
    MHD_suspend_connection(c);
    st->Suspended = true;
    return true;
}

bool HttpServer::Refuse(MHD_Connection* c, RequestState& st, int status,
                        const std::string& message) {
    HttpResponse res;
    refusal_(res, status, message);
    // The library takes an answer before the body, but then closes on the body still arriving,
    // which resets the connection and can destroy the answer at the client before it reads it.
    // So an answer goes through the library only when no body is on its way unasked.
    if (!st.BodyComing && Send(c, res, st.Head)) {
        st.Queued = true;
        return true;
    }
    // Otherwise the answer is written on the socket here, on the library's own thread while it is
    // only reading, and the sending side is shut so the library can never put a second answer
    // behind it. What still arrives is dropped (closing with it unread would send that reset)
    // until the body ends or its deadline cuts the connection off.
    if (WriteRefusal(c, res, st.Head)) {
        st.Written = true;
        return true;
    }
    st.Refusal = std::make_pair(status, message);  // sent once the body has ended
    return true;
}

namespace {

// The whole answer as it goes on the wire, closing the connection.
std::string WireForm(const HttpResponse& res, bool head) {
    const char* reason = MHD_get_reason_phrase_for(static_cast<unsigned>(res.status));
    std::string out =
        "HTTP/1.1 " + std::to_string(res.status) + " " + (reason ? reason : "") + "\r\n";
    for (const auto& [k, v] : res.headers)
        if (!SameName(k, "Content-Length") && !SameName(k, "Connection"))
            out += k + ": " + v + "\r\n";
    out += "Content-Length: " + std::to_string(res.body.size()) + "\r\nConnection: close\r\n\r\n";
    if (!head)
        out += res.body;
    return out;
}

// Waits, briefly, until fd takes more; false when it does not.
bool Writable(int fd) {
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, 100) > 0 && (p.revents & POLLOUT) != 0;
}

}  // namespace

bool HttpServer::WriteRefusal(MHD_Connection* c, const HttpResponse& res, bool head) {
    const MHD_ConnectionInfo* fdInfo =
        MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (fdInfo == nullptr || fdInfo->connect_fd < 0)
        return false;
    int fd = fdInfo->connect_fd;
    std::string wire = WireForm(res, head);
    // The socket's buffer is empty while a request is read (the previous answer has gone), so
    // this small answer goes at once; a client that does not read gets what fits in 100 ms.
    if (options_.TlsCert.empty()) {
        size_t sent = 0;
        while (sent < wire.size()) {
            ssize_t n = ::send(fd, wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Writable(fd))
                continue;
            else
                break;
        }
    } else {
        // Over TLS the answer is a record on the library's session: sent between its reads, on
        // its thread, then the session's close notice; the session still reads what follows.
        const MHD_ConnectionInfo* tls =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        if (tls == nullptr || tls->tls_session == nullptr)
            return false;
        auto session = static_cast<gnutls_session_t>(tls->tls_session);
        ssize_t n = gnutls_record_send(session, wire.data(), wire.size());
        while ((n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) && Writable(fd))
            n = gnutls_record_send(session, nullptr, 0);
        int bye = gnutls_bye(session, GNUTLS_SHUT_WR);
        while ((bye == GNUTLS_E_AGAIN || bye == GNUTLS_E_INTERRUPTED) && Writable(fd))
            bye = gnutls_bye(session, GNUTLS_SHUT_WR);
    }
    ::shutdown(fd, SHUT_WR);
    return true;
}

bool HttpServer::Send(MHD_Connection* c, HttpResponse& res, bool head) {
    MHD_Response* response = nullptr;
    if (res.stream && !head) {
        auto state = std::make_unique<StreamState>();
        state->Server = this;
        state->Connection = c;
        state->Source = res.stream;
        StreamState* raw = state.get();
        {
            std::lock_guard lock(streamsMutex_);
            streams_[raw] = std::move(state);
        }
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024,
                                                     &HttpServerCallbacks::StreamRead, raw,
                                                     &HttpServerCallbacks::StreamFree);
    } else {
        response = MHD_create_response_from_buffer(res.body.size(), res.body.data(),
                                                   MHD_RESPMEM_MUST_COPY);
    }
    if (response == nullptr)
        return false;
    for (const auto& [k, v] : res.headers)
        MHD_add_response_header(response, k.c_str(), v.c_str());
    MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(res.status), response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

}  // namespace qtx::console
