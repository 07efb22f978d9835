#pragma once
// Comma-separated values: fields separated by ",", optionally in double quotes (a quote inside
// is written twice), records ended by LF or CR LF. An empty field without quotes is Null; "" is
// an empty text.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qtx::csv {

using Field = std::optional<std::string>;
using Record = std::vector<Field>;

struct ParseError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Every record of text; ParseError (with the line number) for a quote that is not closed or a
// quote in the middle of an unquoted field.
std::vector<Record> Parse(const std::string& text);
// One record as a line ending in CR LF; fields with a comma, quote or line break are quoted.
std::string Format(const Record& record);

}  // namespace qtx::csv
