#pragma once
// Delivery of alarms to their routes on a thread of its own, so no caller ever waits on a
// receiver. Submit() only queues (bounded); each route takes its alarms in order, one attempt
// at a time, and a route that fails or stalls holds up only itself. A failed alarm is tried
// again with growing pauses for RetryForMs, then dropped; drops are written to the error log
// at most once per route and hour. Those times run on the clock seam (its tick count), so tests
// move the clock instead of waiting. An attempt in flight when delivery stops is abandoned and
// not counted as sent. An e-mail route sends at most one message a minute per kind and holds the
// rest for one summary (MailLimit); an SNMP trap is sent at once, being one datagram.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alarms/Alarm.h"
#include "alarms/AlarmRoutes.h"
#include "alarms/Transfer.h"
#include "common/Clock.h"

namespace qtx::alarms {

struct DeliveryOptions {
    size_t QueueLimit = 10000;    // alarms waiting per route; beyond it new ones are dropped
    int64_t RetryForMs = 600000;  // a failing alarm is tried this long, then dropped
    int64_t FirstPauseMs = 1000;  // pause after the first failure, doubled after each
    int64_t LongestPauseMs = 60000;
    int64_t ErrorLogEveryMs = 3600000;  // at most one error-log entry per route this often
    int ConnectTimeoutMs = 5000;        // real time, per attempt
    int AttemptTimeoutMs = 10000;
};

// What a route did so far.
struct RouteStats {
    int64_t Sent = 0;      // answered as taken
    int64_t Failures = 0;  // attempts that failed
    int64_t Dropped = 0;   // given up or refused by a full queue
    size_t Waiting = 0;    // queued, in flight included
    std::string LastAnswer;
};

// The attempt for one alarm on one route (the webhook's, the e-mail's, ...).
std::unique_ptr<Transfer> MakeTransfer(const AlarmRoute& route, const Alarm& alarm,
                                       const DeliveryOptions& options);

// One attempt now, on the calling thread (for `qtx-eventdb alarm test`).
Answer SendNow(const AlarmRoute& route, const Alarm& alarm, const DeliveryOptions& options);

class AlarmDelivery {
  public:
    // errorLog(location, text) is called on the delivery thread for each error-log entry.
    using ErrorLog = std::function<void(const std::string& location, const std::string& text)>;

    AlarmDelivery(std::vector<AlarmRoute> routes, Clock& clock, ErrorLog errorLog,
                  DeliveryOptions options = {});
    ~AlarmDelivery();
    AlarmDelivery(const AlarmDelivery&) = delete;
    AlarmDelivery& operator=(const AlarmDelivery&) = delete;

    // Queues the alarm for every route that takes its kind; never blocks on a receiver.
    void Submit(const Alarm& alarm);
    // One entry per route, in the routes' order.
    std::vector<RouteStats> Stats() const;

  private:
    struct Route;
    void Run();
    // One round: start what is due, collect what finished; true when any attempt finished.
    bool Step(int64_t nowMs);
    void Drop(Route& r, int64_t nowMs, const std::string& why);
    // An attempt's answer: sent, or tried again after a pause, or dropped. Under mutex_.
    void Finish(Route& r, const Answer& answer, int64_t nowMs);
    // E-mail routes: the per-minute limit. Under mutex_.
    void Hold(Route& r, int64_t nowMs);
    int64_t NowMs();

    Clock& clock_;
    ErrorLog errorLog_;
    DeliveryOptions options_;
    std::vector<std::unique_ptr<Route>> routes_;
    mutable std::mutex mutex_;  // guards each route's queue and stats
    std::atomic<bool> stop_ = false;
    Multi multi_;
    uint32_t lastTick_ = 0;
    int64_t elapsedMs_ = 0;
    std::thread thread_;
};

}  // namespace qtx::alarms
