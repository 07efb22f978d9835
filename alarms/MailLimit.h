#pragma once
// At most one e-mail a minute per alarm kind: an alarm that comes within its kind's minute is
// held, and when the minute is over one summary carries all that were held (the first ones
// listed, every one counted). Times are the delivery thread's clock-seam milliseconds.
#include <cstdint>
#include <map>
#include <vector>

#include "alarms/Alarm.h"

namespace qtx::alarms {

struct MailSummaryOf {
    AlarmKind Kind = AlarmKind::Test;
    int64_t Count = 0;          // every alarm held
    std::vector<Alarm> Listed;  // the first of them, at most ListLimit
};

class MailLimit {
  public:
    static constexpr size_t ListLimit = 100;

    explicit MailLimit(int64_t everyMs = 60000) : everyMs_(everyMs) {}
    // true: the alarm goes out now in a message of its own (its kind's minute starts); false:
    // it is held for its kind's summary.
    bool Admit(const Alarm& a, int64_t nowMs);
    // The summaries whose minute is over; each starts its kind's next minute.
    std::vector<MailSummaryOf> Due(int64_t nowMs);
    int64_t Held() const;

  private:
    struct PerKind {
        int64_t LastMs = -1;
        MailSummaryOf Held;
    };
    int64_t everyMs_;
    std::map<AlarmKind, PerKind> kinds_;
};

}  // namespace qtx::alarms
