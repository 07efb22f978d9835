#include "alarms/CleanText.h"

namespace qtx::alarms {

namespace {

// The length of the UTF-8 sequence at s[i], or 0 when it is not one.
size_t SequenceAt(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = 0;
    unsigned min = 0;
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
        min = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        min = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    unsigned cp = c & (0x7f >> n);
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i + k) & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return n;
}

}  // namespace

std::string CleanText(const std::string& text, size_t maxBytes) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t n = SequenceAt(text, i);
        std::string piece;
        if (n == 0)
            piece = "\xef\xbf\xbd";
        else if (n == 1)
            piece = static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7f
                        ? " "
                        : text.substr(i, 1);
        else
            piece = text.substr(i, n);
        if (out.size() + piece.size() > maxBytes)
            break;
        out += piece;
        i += n == 0 ? 1 : n;
    }
    return out;
}

}  // namespace qtx::alarms
