#include "common/Checked.h"

namespace qtx {

int32_t TextToLong(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= n || text[i] < '0' || text[i] > '9')
        RaiseTypeMismatch();
    int64_t value = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        if (value > (int64_t{1} << 32))
            RaiseOverflow();
        ++i;
    }
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i != n)
        RaiseTypeMismatch();
    return ToInt32(negative ? -value : value);
}

}  // namespace qtx
