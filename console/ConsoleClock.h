#pragma once
// The console's clock seam. It is the host's clock, except when the environment variable
// QTX_CONSOLE_TEST_CLOCK_FILE names a file: then its tick counter runs ahead of the host's by the
// number of milliseconds written in that file, read at every reading. Only tests set it, to move
// the console's time on (the per-minute login throttle) without waiting.
#include <memory>

#include "common/Clock.h"

namespace qtx::console {

std::unique_ptr<Clock> MakeConsoleClock();

}  // namespace qtx::console
