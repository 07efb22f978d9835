#pragma once
// The switcher simulator on a thread of its own, stamping each frame as it arrives; Stop() ends
// it and gives those frames.
#include <future>
#include <thread>
#include <vector>

#include "common/PollEventLoop.h"
#include "switcher/sim/SwitcherSim.h"

namespace qtx::bench {

// 64 by 64, ignoring every take (its map still answers): for the confirmation benchmarks.
inline sim::SimOptions IgnoringTakes() {
    sim::SimOptions o;
    o.Inputs = 64;
    o.Outputs = 64;
    o.Faults.IgnoreCrosspoints = true;
    return o;
}

class SimThread {
  public:
    explicit SimThread(sim::SimOptions o = {}) {
        std::promise<std::pair<int, size_t>> ready;
        thread_ = std::thread([&] {
            sim::SwitcherSim s(loop_, o);
            size_t mapBytes = 0;
            for (const std::string& m : s.MapMessages())
                mapBytes += m.size();
            ready.set_value({s.Listen(), mapBytes});
            loop_.Run();
            frames_ = s.Frames();
        });
        std::tie(port_, mapBytes_) = ready.get_future().get();
    }
    SimThread(const SimThread&) = delete;
    SimThread& operator=(const SimThread&) = delete;
    ~SimThread() {
        if (thread_.joinable())
            Stop();
    }
    int Port() const { return port_; }
    // The bytes of a whole map answer (with takes ignored the map never changes).
    size_t MapBytes() const { return mapBytes_; }
    std::vector<sim::ReceivedFrame> Stop() {
        loop_.Stop();
        thread_.join();
        return frames_;
    }

  private:
    PollEventLoop loop_;
    std::thread thread_;
    int port_ = 0;
    size_t mapBytes_ = 0;
    std::vector<sim::ReceivedFrame> frames_;
};

}  // namespace qtx::bench
