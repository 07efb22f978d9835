#include "console/ConsoleClock.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace qtx::console {

namespace {

// The host's clock with its tick counter moved on by the milliseconds in a file.
class OffsetClock : public SystemClock {
  public:
    explicit OffsetClock(std::string file) : file_(std::move(file)) {}
    uint32_t TickCount() override {
        int64_t offset = 0;
        std::ifstream in(file_);
        in >> offset;  // a missing or unreadable file moves nothing
        return SystemClock::TickCount() + static_cast<uint32_t>(offset);
    }

  private:
    std::string file_;
};

}  // namespace

std::unique_ptr<Clock> MakeConsoleClock() {
    const char* file = std::getenv("QTX_CONSOLE_TEST_CLOCK_FILE");
    if (file != nullptr && *file != '\0')
        return std::make_unique<OffsetClock>(file);
    return std::make_unique<SystemClock>();
}

}  // namespace qtx::console
