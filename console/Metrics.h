#pragma once
// GET /metrics: the engine's state in the Prometheus text format.
#include <cstdint>
#include <string>

#include "console/EngineState.h"

namespace qtx::console {

// The console's own logins.
struct LoginCounts {
    uint64_t PasswordChecks = 0;
    uint64_t Throttled = 0;  // logins refused with 429
};

// folder ends in "/"; its Errorlog.txt is counted.
std::string MetricsText(const EngineState::Counts& counts, const std::string& folder,
                        const LoginCounts& logins);

}  // namespace qtx::console
