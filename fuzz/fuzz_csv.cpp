// Feeds arbitrary texts to the CSV parser of qtx-eventdb's import (no database involved).
// Nothing may crash; a text that parses formats back to records that parse to the same records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "eventdb/Csv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<qtx::csv::Record> records;
    try {
        records = qtx::csv::Parse(text);
    } catch (const qtx::csv::ParseError&) {
        return 0;  // a clear refusal is a fine answer to bad input
    }
    std::string again;
    for (const auto& r : records)
        again += qtx::csv::Format(r);
    std::vector<qtx::csv::Record> reparsed;
    try {
        reparsed = qtx::csv::Parse(again);
    } catch (const qtx::csv::ParseError&) {
        std::abort();  // what Format writes must parse
    }
    if (reparsed != records)
        std::abort();
    return 0;
}
