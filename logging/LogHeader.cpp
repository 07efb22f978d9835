#include "logging/LogHeader.h"

namespace qtx {
namespace {

// Text placed so that it starts in the given 1-based column.
std::string At(std::string line, size_t column, const std::string& text) {
    line.resize(column - 1, ' ');
    return line + text;
}

// Lines 1 to 7: the maker's name and address. The address is a placeholder of our own.
std::vector<std::string> MakerLines() {
    return {
        std::string(13, ' ') + "V O R L A N D T",
        "",
        std::string(19, ' ') + "100 Example Parkway, Suite 0",
        std::string(19, ' ') + "Nowhere City, XX 00000",
        std::string(19, ' ') + "(000) 555-0100 - www.example.invalid",
        "",
        "",
    };
}

}  // namespace

std::vector<std::string> ActivityLogHeader() {
    std::vector<std::string> lines = MakerLines();
    lines.push_back("QTX Automation Logfile");
    lines.push_back("");
    lines.push_back(At(At(At("", 2, "DATE"), 20, "TIME"), 37, "MESSAGE DESCRIPTION"));
    lines.push_back(std::string(80, '-'));
    return lines;
}

std::vector<std::string> ErrorLogHeader() {
    std::vector<std::string> lines = MakerLines();
    lines.push_back("QTX Server Module Software Error Logfile");
    lines.push_back("");
    lines.push_back(
        At(At(At(At("", 2, "DATE"), 11, "TIME"), 26, "LOCATION"), 56, "MESSAGE DESCRIPTION"));
    lines.push_back(std::string(80, '-'));
    return lines;
}

}  // namespace qtx
