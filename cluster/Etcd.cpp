// The etcd client: one POST per call, failing over across the group file's members.
#include "cluster/Etcd.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace qtx::cluster::etcd {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

size_t Collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

int Progress(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<std::stop_token*>(stop)->stop_requested() ? 1 : 0;
}

}  // namespace

std::string Base64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            n |= static_cast<uint8_t>(bytes[i + 2]);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    }
    return out;
}

std::string Unbase64(std::string_view text) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (const char c : text) {
        const char* at = std::find(kAlphabet, kAlphabet + 64, c);
        if (at == kAlphabet + 64)
            continue;
        acc = (acc << 6) | static_cast<uint32_t>(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xff);
        }
    }
    return out;
}

const nlohmann::json& Get(const nlohmann::json& j, const char* key) {
    static const nlohmann::json none;
    if (!j.is_object())
        return none;
    const auto it = j.find(key);
    return it == j.end() ? none : *it;
}

const nlohmann::json& At(const nlohmann::json& j, size_t i) {
    static const nlohmann::json none;
    return j.is_array() && i < j.size() ? j[i] : none;
}

int64_t Int(const nlohmann::json& object, const char* key) {
    if (!object.is_object())
        return 0;
    const auto it = object.find(key);
    if (it == object.end())
        return 0;
    if (it->is_number_integer())
        return it->get<int64_t>();
    if (it->is_string()) {
        try {
            return std::stoll(it->get<std::string>());
        } catch (const std::exception&) {
            return 0;
        }
    }
    return 0;
}

std::string PrefixEnd(std::string prefix) {
    while (!prefix.empty()) {
        if (static_cast<uint8_t>(prefix.back()) < 0xff) {
            prefix.back() = static_cast<char>(prefix.back() + 1);
            return prefix;
        }
        prefix.pop_back();
    }
    return std::string(1, '\0');  // every key
}

std::string TlsFault(CURLcode rc, std::string_view detail, const Tls& tls) {
    auto unreadable = [](const std::string& f) {
        return !f.empty() && ::access(f.c_str(), R_OK) != 0;
    };
    switch (rc) {
        case CURLE_SSL_CACERT_BADFILE:
            return "tls-ca cannot be read";
        case CURLE_PEER_FAILED_VERIFICATION:
            return "the etcd server's certificate is not trusted by tls-ca";
        case CURLE_SSL_CERTPROBLEM:
            if (unreadable(tls.Cert))
                return "tls-cert cannot be read";
            if (unreadable(tls.Key))
                return "tls-key cannot be read";
            if (detail.find("private key") != std::string_view::npos)
                return "tls-key does not match tls-cert";
            return "tls-cert is not a usable certificate";
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            // The server's alert during or just after the handshake (TLS 1.3 sends it after):
            // unknown CA, bad certificate, certificate required.
            if (detail.find("alert") != std::string_view::npos)
                return tls.Cert.empty() ? "etcd asks for a client certificate (tls-cert, tls-key)"
                                        : "etcd refused the client certificate";
            if (rc == CURLE_SSL_CONNECT_ERROR)
                return "the TLS handshake with etcd failed";
            return "";
        default:
            return "";
    }
}

Client::Client(std::vector<std::string> endpoints, Tls tls, std::chrono::milliseconds callTimeout)
    : endpoints_(std::move(endpoints)), tls_(std::move(tls)), callTimeout_(callTimeout) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    curl_.reset(curl_easy_init());
    for (const char* h : {"Content-Type: application/json", "Expect:"})
        if (curl_slist* grown = curl_slist_append(headers_.get(), h)) {
            headers_.release();
            headers_.reset(grown);
        }
}

Client::~Client() = default;

void Client::SetTls(CURL* c) const {
    if (!tls_.Ca.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, tls_.Ca.c_str());
    if (!tls_.Cert.empty())
        curl_easy_setopt(c, CURLOPT_SSLCERT, tls_.Cert.c_str());
    if (!tls_.Key.empty())
        curl_easy_setopt(c, CURLOPT_SSLKEY, tls_.Key.c_str());
}

Reply Client::Call(std::string_view path, const nlohmann::json& body, Clock::time_point deadline,
                   std::stop_token stop) {
    Reply reply{Fault::Unreachable, {}, {}};
    if (!curl_ || endpoints_.empty())
        return reply;
    const std::string payload = body.dump();
    bool unanswered = false;
    CURL* c = curl_.get();
    for (size_t tried = 0; tried < endpoints_.size(); ++tried) {
        const size_t at = (current_ + tried) % endpoints_.size();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            if (reply.Failed == Fault::Unreachable && tried > 0)
                reply.Failed = Fault::NoQuorum;  // out of time with members left untried
            break;
        }
        if (stop.stop_requested())
            return {Fault::Stopped, {}, {}};
        const long timeout = static_cast<long>(std::min(left, callTimeout_).count());
        const std::string url = endpoints_[at] + std::string(path);
        std::string got;
        curl_easy_reset(c);
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, payload.c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(payload.size()));
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers_.get());
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &got);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeout);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeout, 300L));
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &stop);
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        SetTls(c);
        char detail[CURL_ERROR_SIZE] = "";
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
        CURLcode rc = curl_easy_perform(c);
        if (rc == CURLE_ABORTED_BY_CALLBACK)
            return {Fault::Stopped, {}, {}};
        if (rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST) {
            continue;  // nobody there: the next member
        }
        if ((rc == CURLE_SEND_ERROR || rc == CURLE_RECV_ERROR) && url.rfind("https:", 0) == 0 &&
            std::string_view(detail).find("alert") == std::string_view::npos) {
            // TLS 1.3 delivers the server's refusal of a client certificate after the
            // handshake, where it can read as a dropped connection. A TLS 1.2 handshake
            // alone gets it during the handshake, where it is plain.
            curl_easy_reset(c);
            curl_easy_setopt(c, CURLOPT_URL, url.c_str());
            curl_easy_setopt(c, CURLOPT_CONNECT_ONLY, 1L);
            curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeout, 300L));
            curl_easy_setopt(c, CURLOPT_SSLVERSION, CURL_SSLVERSION_MAX_TLSv1_2);
            SetTls(c);
            char probed[CURL_ERROR_SIZE] = "";
            curl_easy_setopt(c, CURLOPT_ERRORBUFFER, probed);
            if (curl_easy_perform(c) == CURLE_SSL_CONNECT_ERROR &&
                std::string_view(probed).find("alert") != std::string_view::npos) {
                rc = CURLE_SSL_CONNECT_ERROR;
                std::copy(probed, probed + CURL_ERROR_SIZE, detail);
            }
            curl_easy_reset(c);  // the probe's connection is not kept for the next call
        }
        if (std::string tls = rc == CURLE_OK ? "" : TlsFault(rc, detail, tls_); !tls.empty()) {
            reply = {Fault::Tls, {}, std::move(tls)};
            continue;  // the set-up, not this member: said as it is unless another answers
        }
        if (rc != CURLE_OK) {
            reply = {Fault::NoQuorum, {}, curl_easy_strerror(rc)};
            unanswered = true;
            continue;  // accepted but did not answer in time: the next member
        }
        nlohmann::json parsed = nlohmann::json::parse(got, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object()) {
            reply = {Fault::NoQuorum, {}, "not a gateway answer"};
            continue;
        }
        if (parsed.contains("error")) {
            const std::string message =
                parsed["error"].is_string() ? parsed["error"].get<std::string>() : "error";
            // Unavailable (14) and DeadlineExceeded (4): this member cannot serve it now.
            const int64_t code = Int(parsed, "code");
            if (code == 14 || code == 4 || message.find("leader") != std::string::npos ||
                message.find("timed out") != std::string::npos) {
                reply = {Fault::NoQuorum, {}, message};
                unanswered = true;  // "request timed out" may still be applied
                continue;
            }
            current_ = at;
            return {Fault::Refused, std::move(parsed), message, unanswered};
        }
        current_ = at;
        return {Fault::None, std::move(parsed), {}, unanswered};
    }
    return reply;
}

}  // namespace qtx::cluster::etcd
