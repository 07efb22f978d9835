// Normalising a dotted IPv4 address the way operators have typed them into event databases.
// This reading stays lenient on purpose ("10.0.0.1 ", "010.0.0.300" are read, part by part, as
// the engine always has): it applies to addresses already stored, which files written by other
// tools hold in these forms and which the engine must go on reaching. What operators type now is
// checked strictly, by the one checker in common/Parse.h, before it is stored.
#include <cmath>
#include <cstdlib>

#include "database/DiskWork.h"

namespace qtx {

namespace {

// The value of the leading decimal number of a text (blanks anywhere ignored; a text that does
// not begin with a number is 0), rounded half to even and limited to 0 .. 255.
int AddressPart(const std::string& part) {
    std::string s;
    for (char c : part)
        if (c != ' ' && c != '\t' && c != '\n')
            s += c;
    size_t i = 0;
    std::string number;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        number += s[i++];
    bool digits = false;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        number += s[i++];
        digits = true;
    }
    if (i < s.size() && s[i] == '.') {
        number += s[i++];
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            number += s[i++];
            digits = true;
        }
    }
    if (!digits)
        return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        size_t k = i + 1;
        std::string exponent = "e";
        if (k < s.size() && (s[k] == '+' || s[k] == '-'))
            exponent += s[k++];
        bool expDigits = false;
        while (k < s.size() && s[k] >= '0' && s[k] <= '9') {
            exponent += s[k++];
            expDigits = true;
        }
        if (expDigits)
            number += exponent;
    }
    const double value = std::nearbyint(std::strtod(number.c_str(), nullptr));  // half to even
    if (!(value > 0))
        return 0;
    return value > 255 ? 255 : static_cast<int>(value);
}

}  // namespace

bool DiskWork::ValidateIPAddress(const std::string& addr) {
    const size_t d1 = addr.find('.');
    if (d1 == std::string::npos)
        return false;
    const size_t d2 = addr.find('.', d1 + 1);
    if (d2 == std::string::npos)
        return false;
    const size_t d3 = addr.find('.', d2 + 1);
    if (d3 == std::string::npos || d3 + 1 >= addr.size())
        return false;
    const std::string parts[4] = {addr.substr(0, d1), addr.substr(d1 + 1, d2 - d1 - 1),
                                  addr.substr(d2 + 1, d3 - d2 - 1), addr.substr(d3 + 1)};
    std::string out;
    for (int k = 0; k < 4; ++k) {
        if (k > 0)
            out += '.';
        out += std::to_string(AddressPart(parts[k]));
    }
    vars_.ValidIPAddr = out;
    return true;
}

}  // namespace qtx
