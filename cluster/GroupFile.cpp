// Reading the group file.
#include "cluster/GroupFile.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace qtx::cluster {

namespace {

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

GroupFile Fault(int line, const std::string& what) {
    return {std::nullopt, "line " + std::to_string(line) + ": " + what};
}

}  // namespace

bool IsGroupName(std::string_view name) {
    if (name.empty())
        return false;
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_'))
            return false;
    return true;
}

GroupFile ParseGroupFile(std::string_view text) {
    GroupConfig c;
    std::vector<std::string> seen;
    int lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return Fault(lineNo, "no '=' in '" + std::string(line) + "'");
        const std::string key(Trim(line.substr(0, eq)));
        const std::string value(Trim(line.substr(eq + 1)));
        for (const std::string& k : seen)
            if (k == key)
                return Fault(lineNo, "'" + key + "' given twice");
        seen.push_back(key);
        if (key == "group" || key == "node") {
            if (!IsGroupName(value))
                return Fault(lineNo,
                             "bad " + key + " name '" + value + "' (letters, digits, '-' and '_')");
            (key == "group" ? c.Group : c.Node) = value;
        } else if (key == "etcd") {
            std::string_view rest = value;
            while (true) {
                const size_t comma = rest.find(',');
                const std::string url(Trim(rest.substr(0, comma)));
                if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0)
                    return Fault(lineNo, "bad etcd URL '" + url + "' (http:// or https://)");
                c.Etcd.push_back(url);
                if (comma == std::string_view::npos)
                    break;
                rest = rest.substr(comma + 1);
            }
        } else if (key == "lease") {
            const bool digits = !value.empty() && value.size() <= 4 &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            const int n = digits ? std::stoi(value) : 0;
            if (!digits || n < kLeaseMin || n > kLeaseMax)
                return Fault(lineNo, "lease '" + value + "' outside " + std::to_string(kLeaseMin) +
                                         ".." + std::to_string(kLeaseMax) + " seconds");
            c.Lease = n;
        } else if (key == "tls-ca" || key == "tls-cert" || key == "tls-key") {
            if (value.empty())
                return Fault(lineNo, "'" + key + "' without a file");
            (key == "tls-ca" ? c.TlsCa : key == "tls-cert" ? c.TlsCert : c.TlsKey) = value;
        } else {
            return Fault(lineNo, "unknown key '" + key + "'");
        }
    }
    for (const char* k : {"group", "node", "etcd"})
        if (std::find(seen.begin(), seen.end(), k) == seen.end())
            return {std::nullopt, std::string("missing '") + k + "'"};
    if (c.TlsCert.empty() != c.TlsKey.empty())
        return {std::nullopt, "tls-cert and tls-key go together"};
    return {std::move(c), {}};
}

GroupFile ReadGroupFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {std::nullopt, "unreadable"};
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return {std::nullopt, "unreadable"};
    return ParseGroupFile(text);
}

}  // namespace qtx::cluster
