// The console's reading of an event from request bytes: any input is refused with ApiError or
// read; an event that was read comes back the same from its own JSON form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "console/ApiError.h"
#include "console/EventJson.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nlohmann::json j = nlohmann::json::parse(data, data + size, nullptr, false);
    if (j.is_discarded())
        return 0;
    qtx::schedule::Event e;
    try {
        e = qtx::console::EventFromJson(j, false);
    } catch (const qtx::console::ApiError&) {
        return 0;
    }
    qtx::schedule::CheckEvent(e);
    qtx::schedule::Event again = qtx::console::EventFromJson(qtx::console::EventToJson(e), false);
    if (!(again == e))
        std::abort();
    return 0;
}
