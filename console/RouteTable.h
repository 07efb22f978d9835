#pragma once
// The console's routes: for each method and path, the role it needs, the media type its body
// must have, the most body it takes, and the function that answers it. The checks run from this
// table in one place before any handler (ConsoleServer::Handle).
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "console/Accounts.h"
#include "console/HttpMessage.h"

namespace qtx::console {

using RouteHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

struct Route {
    std::string Method;
    // A '*' stands for one path segment, not empty; the handler finds it in matches[1].
    std::string Path;
    std::optional<Role> Needs;  // the least role; nullopt: answered without a session
    std::string Accepts;        // the media type its body must have; "" when it takes none
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
