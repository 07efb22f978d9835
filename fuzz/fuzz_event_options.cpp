// Feeds arbitrary option lists (one argument per line) to qtx-eventdb's event options. Nothing
// may crash; an event that passes the rules survives the trip to its rows and back unchanged
// (but for its date rules, which are stored beside the rows).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "eventdb/EventDbOptions.h"
#include "schedule/Rows.h"
#include "schedule/Rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        args.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    qtx::schedule::Event e;
    e.Number = 1;
    try {
        qtx::ApplyEventOptions(args, e, false);
    } catch (const qtx::OptionError&) {
        return 0;  // a clear refusal is a fine answer to bad input
    }
    if (!qtx::schedule::CheckEvent(e).empty())
        return 0;
    // Texts that the file's 8-bit form cannot hold come back changed; only plain ASCII must
    // come back exactly.
    auto ascii = [](const std::string& s) {
        for (unsigned char c : s)
            if (c >= 0x80)
                return false;
        return true;
    };
    if (!ascii(e.Title) ||
        (e.Do.Message && (!ascii(e.Do.Message->Text) || !ascii(e.Do.Message->Address))))
        return 0;
    const qtx::schedule::Event back = qtx::schedule::EventFromRows(qtx::schedule::EventToRows(e));
    e.Dates = {};  // date rules are stored in tables of their own, not in the event's rows
    if (back != e)
        std::abort();
    return 0;
}
