#include "messages/BaudTable.h"

namespace qtx {

std::string BaudText(int16_t code) {
    static const char* const kTexts[] = {"2400",  "9600",  "14400",  "19200",
                                         "28800", "57600", "115200", "128000"};
    if (code < 0 || code > 7)
        return "57600";
    return kTexts[code];
}

}  // namespace qtx
