#pragma once
// The console's routes: for each method and path, the role it needs, the media type its body
// must have, the most body it takes, and the function that answers it. The checks run from this
// table in one place before any handler (ConsoleServer::Handle).
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "console/Accounts.h"
#include "console/HttpMessage.h"

namespace qtx::console {

using RouteHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

// The media types a route's body may have: none (the route takes no body), one, or several.
struct MediaTypes {
    MediaTypes() = default;
    MediaTypes(const char* one) : MediaTypes(std::string(one)) {}
    MediaTypes(const std::string& one) {
        if (!one.empty())
            Types.push_back(one);
    }
    MediaTypes(std::initializer_list<std::string> types) : Types(types) {}

    bool empty() const { return Types.empty(); }
    bool Has(const std::string& type) const;
    // "application/json" or "text/csv or application/json", for a refusal.
    std::string Words() const;

    std::vector<std::string> Types;
};

// The media type of a request's body, without its parameters, in lower case.
std::string RequestMediaType(const HttpRequest& req);

struct Route {
    std::string Method;
    // A '*' stands for one path segment, not empty; the handler finds it in matches[1].
    std::string Path;
    std::optional<Role> Needs;  // the least role; nullopt: answered without a session
    MediaTypes Accepts;         // the media types its body may have; none when it takes none
    size_t BodyLimit = 0;
    RouteHandler Handle;
};

class RouteTable {
  public:
    explicit RouteTable(std::vector<Route> routes) : routes_(std::move(routes)) {}

    // The route for method and path, with matches filled in; nullptr when there is none
    // (pathKnown then tells whether the path has a route for another method).
    const Route* Find(const std::string& method, const std::string& path,
                      std::vector<std::string>& matches, bool& pathKnown) const;
    // The body limit of the route for method and path; for a path without one, the small limit
    // of a request without a body.
    size_t BodyLimit(const std::string& method, const std::string& path) const;

  private:
    static bool Matches(const std::string& pattern, const std::string& path, std::string& part);
    std::vector<Route> routes_;
};

}  // namespace qtx::console
