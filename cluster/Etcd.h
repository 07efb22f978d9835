#pragma once
// A client of etcd's v3 JSON gateway (POST /v3/kv/range, /v3/kv/txn, /v3/lease/grant, ...),
// which etcd 3.4 serves on its client URLs. The gateway over plain HTTP with libcurl, which the
// engine already carries, rather than gRPC: no generated protocol code, no gRPC runtime in the
// engine, and each call is one short request whose timeout libcurl bounds. Keys and values
// travel base64-encoded; 64-bit numbers travel as JSON strings.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace qtx::cluster::etcd {

using Clock = std::chrono::steady_clock;

std::string Base64(std::string_view bytes);
std::string Unbase64(std::string_view text);  // what does not decode is dropped
// A 64-bit number of the gateway's answers (a string, or a plain number); 0 when absent.
int64_t Int(const nlohmann::json& object, const char* key);
// A member of an object, an item of an array, or null when the answer lacks it: etcd's answers
// are read without trusting their shape.
const nlohmann::json& Get(const nlohmann::json& j, const char* key);
const nlohmann::json& At(const nlohmann::json& j, size_t i);
// The first key after every key that starts with prefix (a range's end).
std::string PrefixEnd(std::string prefix);

enum class Fault {
    None,
    Unreachable,  // no member could be reached
    NoQuorum,     // members answered or accepted, but none could serve the call in time
    Refused,      // etcd answered the call with an error (Reply::Error)
    Stopped,      // the caller's stop was requested
    Tls,          // the TLS set-up does not fit (Reply::Error says how, in plain words)
};

struct Reply {
    Fault Failed = Fault::None;
    nlohmann::json Body;
    std::string Error;
    // An earlier try at another member went unanswered: it may have been applied there.
    bool Retried = false;
    explicit operator bool() const { return Failed == Fault::None; }
};

struct Tls {
    std::string Ca, Cert, Key;
};

// What a failed transfer says about the TLS set-up, in plain words: "" when it is not about it.
std::string TlsFault(CURLcode rc, std::string_view detail, const Tls& tls);

// One try's timeout against one member: a quarter of the lease, within 0.5 to 1.5 s, so that
// failing over across the members still fits inside the lease.
inline std::chrono::milliseconds PerTryTimeout(int leaseSeconds) {
    return std::chrono::milliseconds{std::clamp(leaseSeconds * 250, 500, 1500)};
}

class Client {
  public:
    // callTimeout bounds one attempt at one member.
    Client(std::vector<std::string> endpoints, Tls tls, std::chrono::milliseconds callTimeout);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // One call, tried at each member in turn from the last that answered, never past deadline.
    // A call that failed at a member for want of time or quorum may still have been applied
    // there: callers make their transactions safe to repeat.
    Reply Call(std::string_view path, const nlohmann::json& body, Clock::time_point deadline,
               std::stop_token stop = {});

  private:
    void SetTls(CURL* c) const;  // tls-ca, tls-cert, tls-key on a transfer
    struct EasyDeleter {
        void operator()(CURL* c) const { curl_easy_cleanup(c); }
    };
    struct ListDeleter {
        void operator()(curl_slist* l) const { curl_slist_free_all(l); }
    };
    std::vector<std::string> endpoints_;
    Tls tls_;
    std::chrono::milliseconds callTimeout_;
    std::unique_ptr<CURL, EasyDeleter> curl_;
    std::unique_ptr<curl_slist, ListDeleter> headers_;
    size_t current_ = 0;  // the member that answered last
};

}  // namespace qtx::cluster::etcd
