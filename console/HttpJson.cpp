#include "console/HttpJson.h"

#include "common/Parse.h"

#include <charconv>

namespace qtx::console {

using nlohmann::json;

void ReplyJson(HttpResponse& res, int status, const json& body) {
    res.status = status;
    // Never compressed: brotli at its default quality costs seconds on a large list, far more
    // than sending it.
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                    "application/json; charset=utf-8");
}

void ReplyJsonText(HttpResponse& res, int status, std::string text) {
    res.status = status;
    res.set_content(std::move(text), "application/json; charset=utf-8");
}

void ReplyError(HttpResponse& res, int status, const std::string& message) {
    ReplyJson(res, status, json{{"error", message}});
}

json BodyJson(const HttpRequest& req) {
    try {
        return json::parse(req.body);
    } catch (const json::parse_error& e) {
        throw ApiError(400, std::string("malformed JSON: ") + e.what());
    }
}

long long ParseNumber(const std::string& text, long long min, long long max,
                      const std::string& what) {
    const std::optional<long long> parsed = ParseWholeNumber(text);
    if (!parsed)
        throw ApiError(400, what + " \"" + text + "\" is not a whole number");
    const long long value = *parsed;
    if (value < min || value > max)
        throw ApiError(400, what + " " + text + " is out of range (" + std::to_string(min) +
                                " to " + std::to_string(max) + ")");
    return value;
}

void ReplyApiError(HttpResponse& res, const ApiError& e) {
    if (e.Field.empty())
        ReplyError(res, e.Status, e.what());
    else
        ReplyJson(res, e.Status,
                  json{{"error", e.what()},
                       {"errors", json::array({{{"field", e.Field}, {"message", e.what()}}})}});
}

}  // namespace qtx::console
