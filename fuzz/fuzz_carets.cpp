// Feeds arbitrary texts to the caret decoder of message events. Nothing may crash or read out
// of bounds; every escape shortens the text by exactly one character; a text without carets
// comes back unchanged; and any text of control characters and plain characters, written with
// caret escapes, decodes back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "messages/CaretText.h"

namespace {

// Writes control characters 0 to 31 as "^" and the character of their code + 64. A caret of
// its own has no escape (it stands for itself only where no escape follows), so the round
// trip is made of texts without carets.
std::string Encode(const std::string& plain) {
    std::string out;
    for (char ch : plain) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 32) {
            out += '^';
            out += static_cast<char>(c + 64);
        } else if (ch != '^') {
            out += ch;
        }
    }
    return out;
}

std::string WithoutCarets(const std::string& s) {
    std::string out;
    for (char ch : s)
        if (ch != '^')
            out += ch;
    return out;
}

size_t Escapes(const std::string& s) {
    size_t n = 0;
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        const auto next = static_cast<unsigned char>(s[i + 1]);
        if (s[i] == '^' && next >= 64 && next <= 95) {
            ++n;
            ++i;
        }
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string decoded = qtx::DecodeCarets(text);
    if (decoded.size() != text.size() - Escapes(text))
        std::abort();
    if (text.find('^') == std::string::npos && decoded != text)
        std::abort();
    const std::string plain = WithoutCarets(text);
    if (qtx::DecodeCarets(Encode(plain)) != plain)
        std::abort();
    return 0;
}
