#pragma once
// JSON replies and request bodies for the API handlers.
#include <nlohmann/json.hpp>
#include <string>

#include "console/ApiError.h"
#include "console/HttpMessage.h"

namespace qtx::console {

void ReplyJson(HttpResponse& res, int status, const nlohmann::json& body);
// The same for a body already written as JSON text.
void ReplyJsonText(HttpResponse& res, int status, std::string text);
void ReplyError(HttpResponse& res, int status, const std::string& message);
// An ApiError as its reply: its status and message, and its field when it names one.
void ReplyApiError(HttpResponse& res, const ApiError& e);

// The request body as a JSON value; ApiError 400 with the parser's words when it is not JSON.
nlohmann::json BodyJson(const HttpRequest& req);

// Parses a whole decimal number within [min, max]; ApiError 400 naming what when it is not one.
long long ParseNumber(const std::string& text, long long min, long long max,
                      const std::string& what);

}  // namespace qtx::console
