#pragma once
// GET /api/status/stream as server-sent events: first the whole status, then each change as the
// engine reports it, and a keep-alive line when it has been quiet for a while. It never waits:
// the server asks it again when the engine's state has changed.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "console/AccountShares.h"
#include "console/EngineState.h"
#include "console/HttpMessage.h"

namespace qtx::console {

class StatusStream : public HttpStream {
  public:
    // open counts the streams; this one is counted already and is uncounted when it ends, as is
    // the account's share it holds.
    StatusStream(EngineState& engine, std::atomic<int>& open, AccountShares::Hold share)
        : engine_(engine), open_(open), share_(std::move(share)) {}
    ~StatusStream() override { open_.fetch_sub(1); }
    StatusStream(const StatusStream&) = delete;
    StatusStream& operator=(const StatusStream&) = delete;

    bool Next(std::string& out) override;

  private:
    EngineState& engine_;
    std::atomic<int>& open_;
    AccountShares::Hold share_;
    bool started_ = false;
    uint64_t seq_ = 0, gen_ = 0;
    std::chrono::steady_clock::time_point lastSent_ = std::chrono::steady_clock::now();
};

}  // namespace qtx::console
