#include "console/HttpMessage.h"

#include <strings.h>

namespace qtx::console {

namespace {

const std::string* Find(const HttpFields& fields, const std::string& name, bool caseless) {
    for (const auto& [k, v] : fields)
        if (caseless ? SameName(k, name) : k == name)
            return &v;
    return nullptr;
}

}  // namespace

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool HttpRequest::has_header(const std::string& name) const {
    return Find(headers, name, true) != nullptr;
}

std::string HttpRequest::get_header_value(const std::string& name) const {
    const std::string* v = Find(headers, name, true);
    return v ? *v : std::string();
}

bool HttpRequest::has_param(const std::string& name) const {
    return Find(params, name, false) != nullptr;
}

std::string HttpRequest::get_param_value(const std::string& name) const {
    const std::string* v = Find(params, name, false);
    return v ? *v : std::string();
}

void HttpResponse::set_header(const std::string& name, const std::string& value) {
    for (auto& [k, v] : headers)
        if (SameName(k, name)) {
            v = value;
            return;
        }
    headers.emplace_back(name, value);
}

std::string HttpResponse::get_header_value(const std::string& name) const {
    const std::string* v = Find(headers, name, true);
    return v ? *v : std::string();
}

void HttpResponse::set_content(std::string content, const std::string& type) {
    body = std::move(content);
    set_header("Content-Type", type);
}

void HttpResponse::set_stream(std::shared_ptr<HttpStream> source, const std::string& type) {
    stream = std::move(source);
    set_header("Content-Type", type);
}

}  // namespace qtx::console
