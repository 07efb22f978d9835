#include "messages/CaretText.h"

namespace qtx {

std::string DecodeCarets(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const auto next = i + 1 < n ? static_cast<unsigned char>(text[i + 1]) : 0u;
        if (text[i] == '^' && i + 1 < n && next >= 64 && next <= 95) {
            out += static_cast<char>(next - 64);
            ++i;  // the escaped character is consumed with its caret
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace qtx
