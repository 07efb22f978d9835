#pragma once
// A small HTTP client for the console's tests (libcurl): one connection kept per client, the
// answer's status, headers and body; a body received as it comes for streams.
#include <curl/curl.h>

#include <strings.h>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qtx::test {

struct HttpAnswer {
    int status = 0;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string get_header_value(const std::string& name) const {
        for (const auto& [k, v] : headers)
            if (k.size() == name.size() && ::strcasecmp(k.c_str(), name.c_str()) == 0)
                return v;
        return {};
    }
};

// Empty when the request got no answer (refused, reset, timed out). Reading an empty result
// throws (a test failure naming the cause) rather than reading whatever memory held before.
class HttpResult : public std::optional<HttpAnswer> {
  public:
    using std::optional<HttpAnswer>::optional;
    explicit HttpResult(std::string failure) : failure_(std::move(failure)) {}
    HttpAnswer* operator->() { return &Checked(); }
    const HttpAnswer* operator->() const { return &Checked(); }
    HttpAnswer& operator*() { return Checked(); }
    const HttpAnswer& operator*() const { return Checked(); }

  private:
    HttpAnswer& Checked() {
        Check();
        return value();
    }
    const HttpAnswer& Checked() const {
        Check();
        return value();
    }
    void Check() const {
        if (!has_value())
            throw std::runtime_error("no answer: " + failure_);
    }
    std::string failure_;
};

using HttpHeaders = std::multimap<std::string, std::string>;

class HttpClient {
  public:
    using Receiver = std::function<bool(const char*, size_t)>;

    HttpClient(const std::string& host, int port, bool https = false)
        : base_((https ? "https://" : "http://") + host + ":" + std::to_string(port)),
          curl_(curl_easy_init(), &curl_easy_cleanup) {}

    void set_read_timeout(long seconds, long) { timeout_ = seconds; }
    void enable_server_certificate_verification(bool on) { verify_ = on; }
    // Sends from this address (one of 127.0.0.0/8).
    void set_interface(const std::string& address) { interface_ = address; }
    // Ends a transfer in progress at its next data (or within a second).
    void stop() { *stop_ = true; }

    HttpResult Get(const std::string& path, const HttpHeaders& headers = {}) {
        return Do("GET", path, headers, nullptr, "", nullptr);
    }
    HttpResult Get(const std::string& path, const HttpHeaders& headers, Receiver receiver) {
        return Do("GET", path, headers, nullptr, "", std::move(receiver));
    }
    HttpResult Post(const std::string& path, const std::string& body, const std::string& type) {
        return Do("POST", path, {}, &body, type, nullptr);
    }
    HttpResult Post(const std::string& path, const HttpHeaders& headers, const std::string& body,
                    const std::string& type) {
        return Do("POST", path, headers, &body, type, nullptr);
    }
    // Any method; body sent as is when given (headers say how it is framed).
    HttpResult Send(const std::string& method, const std::string& path, const HttpHeaders& headers,
                    const std::string* body) {
        return Do(method, path, headers, body, "", nullptr);
    }

  private:
    struct Transfer {
        HttpAnswer answer;
        Receiver receiver;
        std::atomic<bool>* stop;
    };
    static size_t OnData(char* data, size_t, size_t n, void* cls) {
        auto* t = static_cast<Transfer*>(cls);
        if (t->receiver) {
            if (!t->receiver(data, n) || *t->stop)
                return 0;
        } else {
            t->answer.body.append(data, n);
        }
        return n;
    }
    static size_t OnHeader(char* data, size_t, size_t n, void* cls) {
        auto* t = static_cast<Transfer*>(cls);
        std::string line(data, n);
        if (line.rfind("HTTP/", 0) == 0) {
            t->answer.headers.clear();  // a 100 Continue before the answer
            return n;
        }
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string value = line.substr(colon + 1);
            size_t start = value.find_first_not_of(' ');
            size_t end = value.find_last_not_of("\r\n ");
            value = start == std::string::npos || end < start
                        ? ""
                        : value.substr(start, end - start + 1);
            t->answer.headers.emplace_back(line.substr(0, colon), value);
        }
        return n;
    }
    static int OnProgress(void* cls, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return *static_cast<Transfer*>(cls)->stop ? 1 : 0;
    }

    HttpResult Do(const std::string& method, const std::string& path, const HttpHeaders& headers,
                  const std::string* body, const std::string& type, Receiver receiver) {
        CURL* c = curl_.get();
        curl_easy_reset(c);
        Transfer t{{}, std::move(receiver), stop_.get()};
        std::string url = base_ + path;
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, timeout_);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnData);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnHeader);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &OnProgress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
        if (!verify_) {
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
        }
        if (!interface_.empty())
            curl_easy_setopt(c, CURLOPT_INTERFACE, interface_.c_str());
        if (method == "GET")
            curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
        else
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (body != nullptr) {
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, body->data());
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
        }
        curl_slist* list = nullptr;
        list = curl_slist_append(list, "Expect:");
        if (!type.empty())
            list = curl_slist_append(list, ("Content-Type: " + type).c_str());
        else if (body != nullptr && headers.count("Content-Type") == 0)
            list = curl_slist_append(list, "Content-Type:");
        for (const auto& [k, v] : headers)
            list = curl_slist_append(list, (k + (v.empty() ? ";" : ": " + v)).c_str());
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
        CURLcode rc = curl_easy_perform(c);
        curl_slist_free_all(list);
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        // An answer counts even when the upload was cut short by it.
        if (status == 0)
            return HttpResult(curl_easy_strerror(rc));
        t.answer.status = static_cast<int>(status);
        return t.answer;
    }

    std::string base_;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl_;
    long timeout_ = 30;
    bool verify_ = true;
    std::string interface_;
    std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace qtx::test
