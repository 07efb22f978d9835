#include "database/Csv.h"

namespace qtx::csv {

std::vector<Record> Parse(const std::string& text) {
    std::vector<Record> out;
    Record record;
    std::string field;
    bool quoted = false, inQuotes = false, afterQuote = false, any = false;
    int line = 1;
    auto fail = [&](const char* what) {
        throw ParseError("line " + std::to_string(line) + ": " + what);
    };
    auto endField = [&] {
        if (quoted || !field.empty())
            record.emplace_back(field);
        else
            record.emplace_back(std::nullopt);
        field.clear();
        quoted = afterQuote = false;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuotes) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    inQuotes = false;
                    afterQuote = true;
                }
            } else {
                if (c == '\n')
                    ++line;
                field += c;
            }
            continue;
        }
        any = true;
        if (c == ',') {
            endField();
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            if (c == '\r')
                ++i;
            endField();
            out.push_back(std::move(record));
            record.clear();
            any = false;
            ++line;
        } else if (c == '"') {
            if (quoted || !field.empty())
                fail("quote inside an unquoted field");
            quoted = inQuotes = true;
        } else {
            if (afterQuote)
                fail("text after a closing quote");
            field += c;
        }
    }
    if (inQuotes)
        fail("quote not closed");
    if (any || quoted || !record.empty()) {
        endField();
        out.push_back(std::move(record));
    }
    return out;
}

std::string Format(const Record& record) {
    std::string line;
    for (size_t i = 0; i < record.size(); ++i) {
        if (i)
            line += ',';
        if (!record[i])
            continue;
        const std::string& f = *record[i];
        if (f.empty() || f.find_first_of(",\"\r\n") != std::string::npos) {
            line += '"';
            for (char c : f) {
                if (c == '"')
                    line += '"';
                line += c;
            }
            line += '"';
        } else {
            line += f;
        }
    }
    return line + "\r\n";
}

}  // namespace qtx::csv
