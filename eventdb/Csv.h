#pragma once
// Comma-separated values: fields separated by "," (or ";", as spreadsheets write it in much of
// Europe), optionally in double quotes (a quote inside is written twice), records ended by LF or
// CR LF. An empty field without quotes is Null; "" is an empty text.
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
// lines, when given, receives the line on which each record starts (from 1).
std::vector<Record> Parse(const std::string& text, char separator = ',',
                          std::vector<int>* lines = nullptr);
// One record as a line ending in CR LF; fields with the separator, a quote or a line break are
// quoted, and so is an empty text.
std::string Format(const Record& record, char separator = ',');

// A whole file as spreadsheets write it: a UTF-8 byte-order mark is dropped, and the separator
// is the one of "," and ";" that occurs more often outside quotes in the first line (the header).
std::vector<Record> ParseFile(const std::string& text, std::vector<int>* lines = nullptr);

}  // namespace qtx::csv
