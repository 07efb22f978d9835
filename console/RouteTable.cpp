#include "console/RouteTable.h"

#include <cctype>

#include "common/Limits.h"

namespace qtx::console {

bool MediaTypes::Has(const std::string& type) const {
    for (const std::string& t : Types)
        if (t == type)
            return true;
    return false;
}

std::string MediaTypes::Words() const {
    std::string words;
    for (const std::string& t : Types)
        words += (words.empty() ? "" : " or ") + t;
    return words;
}

std::string RequestMediaType(const HttpRequest& req) {
    std::string type = req.get_header_value("Content-Type");
    type = type.substr(0, type.find(';'));
    size_t start = type.find_first_not_of(" \t"), end = type.find_last_not_of(" \t");
    type = start == std::string::npos ? "" : type.substr(start, end - start + 1);
    for (char& c : type)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

bool RouteTable::Matches(const std::string& pattern, const std::string& path, std::string& part) {
    size_t star = pattern.find('*');
    if (star == std::string::npos)
        return pattern == path;
    if (path.size() <= star || path.compare(0, star, pattern, 0, star) != 0)
        return false;
    std::string rest = path.substr(star);
    std::string tail = pattern.substr(star + 1);
    if (rest.size() <= tail.size() ||
        rest.compare(rest.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    part = rest.substr(0, rest.size() - tail.size());
    return part.find('/') == std::string::npos;
}

const Route* RouteTable::Find(const std::string& method, const std::string& path,
                              std::vector<std::string>& matches, bool& pathKnown) const {
    pathKnown = false;
    for (const Route& r : routes_) {
        std::string part;
        if (!Matches(r.Path, path, part))
            continue;
        pathKnown = true;
        if (r.Method != method)
            continue;
        matches = {path};
        if (r.Path.find('*') != std::string::npos)
            matches.push_back(part);
        return &r;
    }
    return nullptr;
}

size_t RouteTable::BodyLimit(const std::string& method, const std::string& path) const {
    std::vector<std::string> matches;
    bool known = false;
    const Route* r = Find(method, path, matches, known);
    return r ? r->BodyLimit : qtx::limits::ConsoleMaxIgnoredBody;
}

}  // namespace qtx::console
