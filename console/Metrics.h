#pragma once
// GET /metrics: the engine's state in the Prometheus text format.
#include <string>

#include "console/EngineState.h"

namespace qtx::console {

// folder ends in "/"; its Errorlog.txt is counted.
std::string MetricsText(const EngineState::Counts& counts, const std::string& folder);

}  // namespace qtx::console
