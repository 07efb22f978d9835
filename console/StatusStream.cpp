#include "console/StatusStream.h"

#include "common/Limits.h"

namespace qtx::console {

bool StatusStream::Next(std::string& out) {
    if (engine_.Stopping())
        return false;
    std::optional<EngineState::Update> u =
        engine_.WaitAfter(seq_, gen_, std::chrono::milliseconds(0));
    if (engine_.Stopping())
        return false;
    if (!started_ && (!u || !u->Full)) {
        // The first event is always the whole status.
        u = engine_.WaitAfter(~0ull, 0, std::chrono::milliseconds(0));
    }
    started_ = true;
    auto now = std::chrono::steady_clock::now();
    if (!u) {
        if (now - lastSent_ >= std::chrono::seconds(qtx::limits::ConsoleStreamKeepAliveSeconds)) {
            out = ": keep-alive\n\n";
            lastSent_ = now;
        }
        return true;
    }
    seq_ = u->Seq;
    gen_ = u->Generation;
    if (u->Full)
        out = "event: status\ndata: " + u->Status + "\n\n";
    for (const std::string& c : u->Changes)
        out += "event: change\ndata: " + c + "\n\n";
    lastSent_ = now;
    return true;
}

}  // namespace qtx::console
