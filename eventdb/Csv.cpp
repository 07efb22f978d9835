#include "eventdb/Csv.h"

namespace qtx::csv {

std::vector<Record> Parse(const std::string& text, char separator, std::vector<int>* lines) {
    std::vector<Record> out;
    Record record;
    std::string field;
    bool quoted = false, inQuotes = false, afterQuote = false, any = false;
    int line = 1, recordStart = 1;
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
        if (c == separator) {
            endField();
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            if (c == '\r')
                ++i;
            endField();
            out.push_back(std::move(record));
            if (lines)
                lines->push_back(recordStart);
            record.clear();
            any = false;
            recordStart = ++line;
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
        if (lines)
            lines->push_back(recordStart);
    }
    return out;
}

std::string Format(const Record& record, char separator) {
    std::string line;
    for (size_t i = 0; i < record.size(); ++i) {
        if (i)
            line += separator;
        if (!record[i])
            continue;
        const std::string& f = *record[i];
        if (f.empty() || f.find_first_of("\"\r\n") != std::string::npos ||
            f.find(separator) != std::string::npos) {
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

std::vector<Record> ParseFile(const std::string& text, std::vector<int>* lines) {
    const bool bom = text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0;
    const std::string body = bom ? text.substr(3) : text;
    size_t commas = 0, semicolons = 0;
    bool inQuotes = false;
    for (char c : body) {
        if (c == '"')
            inQuotes = !inQuotes;
        else if (!inQuotes && (c == '\n' || c == '\r'))
            break;
        else if (!inQuotes && c == ',')
            ++commas;
        else if (!inQuotes && c == ';')
            ++semicolons;
    }
    return Parse(body, semicolons > commas ? ';' : ',', lines);
}

}  // namespace qtx::csv
