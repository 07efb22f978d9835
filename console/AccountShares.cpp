#include "console/AccountShares.h"

namespace qtx::console {

std::optional<AccountShares::Hold> AccountShares::TryTake(const std::string& user) {
    {
        std::lock_guard lock(mutex_);
        int& held = held_[user];
        if (held >= perAccount_) {
            if (held == 0)
                held_.erase(user);
            return std::nullopt;
        }
        ++held;
    }
    Hold hold;
    hold.token_ = std::shared_ptr<void>(nullptr, [this, user](void*) { Give(user); });
    return hold;
}

void AccountShares::Give(const std::string& user) {
    std::lock_guard lock(mutex_);
    auto it = held_.find(user);
    if (it != held_.end() && --it->second <= 0)
        held_.erase(it);
}

}  // namespace qtx::console
