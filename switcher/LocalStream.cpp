#include "switcher/LocalStream.h"

#include <algorithm>
#include <cstring>

namespace qtx {

bool LocalEnd::Write(const char* data, size_t count) {
    if (closed_ || peer_ == nullptr || peer_->closed_)
        return false;
    std::string& in = peer_->in_;
    if (peer_->read_ == in.size()) {
        in.clear();
        peer_->read_ = 0;
    }
    in.append(data, count);
    return true;
}

size_t LocalEnd::Read(char* out, size_t max) {
    const size_t n = std::min(max, Waiting());
    if (n == 0)
        return 0;
    std::memcpy(out, in_.data() + read_, n);
    read_ += n;
    if (read_ == in_.size()) {
        in_.clear();
        read_ = 0;
    }
    return n;
}

bool LocalEnd::PeerClosed() const {
    return peer_ == nullptr || peer_->closed_;
}

void LocalEnd::Close() {
    closed_ = true;
    news_ = false;
    in_.clear();
    read_ = 0;
    OnReady = nullptr;
}

bool LocalEnd::Ready() const {
    return !closed_ && OnReady && (news_ || Waiting() > 0 || PeerClosed());
}

LocalStreams::Pair& LocalStreams::Open() {
    auto pair = std::make_unique<Pair>();
    pair->Connecting.peer_ = &pair->Accepting;
    pair->Accepting.peer_ = &pair->Connecting;
    pair->Connecting.news_ = true;
    pair->Accepting.news_ = true;
    pairs_.push_back(std::move(pair));
    return *pairs_.back();
}

bool LocalStreams::Deliver() {
    if (depth_ == 0)
        std::erase_if(pairs_, [](const std::unique_ptr<Pair>& p) {
            return p->Connecting.Closed() && p->Accepting.Closed();
        });
    // The outermost round reuses one list: a preview runs some hundred thousand rounds.
    std::vector<LocalEnd*> nested;
    std::vector<LocalEnd*>& ready = depth_ == 0 ? ready_ : nested;
    ready.clear();
    for (const std::unique_ptr<Pair>& p : pairs_)
        for (LocalEnd* end : {&p->Connecting, &p->Accepting})
            if (end->Ready())
                ready.push_back(end);
    ++depth_;
    for (LocalEnd* end : ready) {
        // An earlier OnReady of this round may have closed it or taken what was waiting.
        if (!end->Ready())
            continue;
        end->news_ = false;
        // A copy: the handler may close the end, which clears OnReady.
        const std::function<void()> handler = end->OnReady;
        handler();
    }
    --depth_;
    return !ready.empty();
}

}  // namespace qtx
