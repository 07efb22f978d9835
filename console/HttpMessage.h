#pragma once
// A request as the handlers see it and the answer they fill in. The member names follow the form
// the handlers were first written against, so their bodies read the same.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console/Sessions.h"

namespace qtx::console {

using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;  // "GET", "POST", ...; HEAD is served as GET
    std::string path;    // decoded, without the query
    std::string body;
    HttpFields headers;  // in the order received
    HttpFields params;   // the query's, decoded
    // The client's address: the connection's, or, when the connection comes from a trusted
    // proxy, the last address of its X-Forwarded-For. Computed once when the head is read.
    std::string remote_addr;
    std::string peer_addr;             // the connection's own address
    bool via_proxy = false;            // the connection comes from a trusted proxy
    std::vector<std::string> matches;  // [0] the path, [1] the route's parameter
    std::optional<Session> session;    // set when the route needs one, before its handler

    bool has_header(const std::string& name) const;
    // The first value of a header (names compare without case); "" when absent.
    std::string get_header_value(const std::string& name) const;
    bool has_param(const std::string& name) const;
    std::string get_param_value(const std::string& name) const;
};

// A body sent as it comes (server-sent events). Next is called on the server's thread and must
// not block: it appends what there is to out and returns false once the stream has ended. When
// it adds nothing the connection waits, without a thread, until the server is woken.
class HttpStream {
  public:
    virtual ~HttpStream() = default;
    virtual bool Next(std::string& out) = 0;
};

struct HttpResponse {
    int status = 200;
    HttpFields headers;
    std::string body;
    std::shared_ptr<HttpStream> stream;  // when set, the body comes from it

    // Sets a header, replacing one of the same name.
    void set_header(const std::string& name, const std::string& value);
    std::string get_header_value(const std::string& name) const;
    void set_content(std::string content, const std::string& type);
    void set_stream(std::shared_ptr<HttpStream> source, const std::string& type);
};

// Header names compare without regard to case.
bool SameName(const std::string& a, const std::string& b);

}  // namespace qtx::console
