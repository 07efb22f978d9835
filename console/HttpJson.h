#pragma once
// JSON replies and request bodies for the API handlers, and the wrapper that turns a refusal
// (ApiError) or an unexpected fault into a reply instead of letting it escape the server thread.
#include <httplib.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "console/ApiError.h"

namespace qtx::console {

void ReplyJson(httplib::Response& res, int status, const nlohmann::json& body);
void ReplyError(httplib::Response& res, int status, const std::string& message);

// The request body as a JSON value; ApiError 400 with the parser's words when it is not JSON.
nlohmann::json BodyJson(const httplib::Request& req);

// Parses a whole decimal number within [min, max]; ApiError 400 naming what when it is not one.
long long ParseNumber(const std::string& text, long long min, long long max,
                      const std::string& what);

using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
// Runs handler; an ApiError becomes its status and message, anything else a 500.
Handler Guarded(Handler handler);

}  // namespace qtx::console
