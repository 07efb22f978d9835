#include "common/Parse.h"

#include <charconv>

namespace qtx {

std::optional<long long> ParseWholeNumber(std::string_view text) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
        if (first == last || *first == '-')
            return std::nullopt;  // "+" alone, "+-1"
    }
    long long value = 0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last)
        return std::nullopt;
    return value;
}

bool IsDottedAddress(std::string_view text) {
    int parts = 0;
    size_t pos = 0;
    while (true) {
        const size_t end = text.find('.', pos);
        const std::string_view part =
            text.substr(pos, end == std::string_view::npos ? end : end - pos);
        if (part.empty() || part.size() > 3)
            return false;
        int value = 0;
        for (char c : part) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255)
            return false;
        ++parts;
        if (end == std::string_view::npos)
            break;
        pos = end + 1;
    }
    return parts == 4;
}

bool IsTimeOfDay(std::string_view t) {
    if (t.size() != 8 || t[2] != ':' || t[5] != ':')
        return false;
    for (int i : {0, 1, 3, 4, 6, 7})
        if (t[i] < '0' || t[i] > '9')
            return false;
    const int h = (t[0] - '0') * 10 + (t[1] - '0');
    const int m = (t[3] - '0') * 10 + (t[4] - '0');
    const int s = (t[6] - '0') * 10 + (t[7] - '0');
    return h <= 23 && m <= 59 && s <= 59;
}

}  // namespace qtx
