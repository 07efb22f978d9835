#pragma once
// Runs work in a thread of its own at the lowest processor priority (the idle scheduling class,
// else the highest nice value), so that long work of the console, such as a preview, never takes
// the processor from the engine. The caller waits for it; what the work throws is thrown here.
#include <functional>

namespace qtx::console {

void RunAtLowPriority(const std::function<void()>& work);

}  // namespace qtx::console
