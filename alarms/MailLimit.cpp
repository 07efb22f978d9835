#include "alarms/MailLimit.h"

namespace qtx::alarms {

bool MailLimit::Admit(const Alarm& a, int64_t nowMs) {
    PerKind& k = kinds_[a.Kind];
    if (k.LastMs < 0 || (k.Held.Count == 0 && nowMs - k.LastMs >= everyMs_)) {
        k.LastMs = nowMs;
        return true;
    }
    // Within the minute, or a summary is pending: held, so the order stays as it came.
    k.Held.Kind = a.Kind;
    ++k.Held.Count;
    if (k.Held.Listed.size() < ListLimit)
        k.Held.Listed.push_back(a);
    return false;
}

std::vector<MailSummaryOf> MailLimit::Due(int64_t nowMs) {
    std::vector<MailSummaryOf> due;
    for (auto& [kind, k] : kinds_) {
        if (k.Held.Count == 0 || nowMs - k.LastMs < everyMs_)
            continue;
        due.push_back(std::move(k.Held));
        k.Held = {};
        k.LastMs = nowMs;
    }
    return due;
}

int64_t MailLimit::Held() const {
    int64_t n = 0;
    for (const auto& [kind, k] : kinds_)
        n += k.Held.Count;
    return n;
}

}  // namespace qtx::alarms
