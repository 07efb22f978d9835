#include "alarms/Delivery.h"

#include <algorithm>
#include <deque>

#include "alarms/Email.h"
#include "alarms/MailLimit.h"
#include "alarms/SnmpTrap.h"
#include "alarms/Webhook.h"

namespace qtx::alarms {

namespace {

constexpr const char* kDropLocation = "Alarm Not Delivered";

}  // namespace

struct AlarmDelivery::Route {
    struct Item {
        Alarm What;
        int64_t FirstMs = -1;  // first attempt (-1: none yet)
        int64_t NextMs = 0;    // the next attempt is due then
        int Failures = 0;
        bool Admitted = false;                 // e-mail: past the per-minute limit
        std::optional<MailSummaryOf> Summary;  // e-mail: a summary of held alarms, not What
    };
    AlarmRoute Config;
    std::deque<Item> Queue;  // the front one is the one in flight or due
    std::unique_ptr<Transfer> InFlight;
    RouteStats Stats;
    int64_t LastLogMs = -1;     // the last error-log entry
    int64_t UnloggedDrops = 0;  // drops since then
    std::string LastWhy;
    MailLimit Limit;  // e-mail routes
};

std::unique_ptr<Transfer> MakeTransfer(const AlarmRoute& route, const Alarm& alarm,
                                       const DeliveryOptions& options) {
    switch (route.Type) {
        case RouteType::Webhook:
            return WebhookTransfer(route, AlarmJson(alarm), options.ConnectTimeoutMs,
                                   options.AttemptTimeoutMs);
        case RouteType::Email:
            return EmailTransfer(route, MailMessage(route, alarm), options.ConnectTimeoutMs,
                                 options.AttemptTimeoutMs);
        case RouteType::Snmp:
            return SnmpTransfer(route, alarm);
    }
    return nullptr;
}

Answer SendNow(const AlarmRoute& route, const Alarm& alarm, const DeliveryOptions& options) {
    std::unique_ptr<Transfer> t = MakeTransfer(route, alarm, options);
    if (!t)
        return {false, "this program cannot send to a " + RouteTypeName(route.Type) + " route"};
    if (auto answer = t->Immediate())
        return *answer;
    return t->Outcome(curl_easy_perform(t->Handle.get()));
}

AlarmDelivery::AlarmDelivery(std::vector<AlarmRoute> routes, Clock& clock, ErrorLog errorLog,
                             DeliveryOptions options)
    : clock_(clock), errorLog_(std::move(errorLog)), options_(options), multi_(NewMulti()) {
    for (AlarmRoute& r : routes) {
        auto route = std::make_unique<Route>();
        route->Config = std::move(r);
        routes_.push_back(std::move(route));
    }
    lastTick_ = clock_.TickCount();
    thread_ = std::thread([this] { Run(); });
}

AlarmDelivery::~AlarmDelivery() {
    stop_ = true;
    curl_multi_wakeup(multi_.get());
    thread_.join();
    for (auto& r : routes_)
        if (r->InFlight)
            curl_multi_remove_handle(multi_.get(), r->InFlight->Handle.get());
}

void AlarmDelivery::Submit(const Alarm& alarm) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& r : routes_) {
            if (!r->Config.Accepts(alarm.Kind))
                continue;
            if (r->Queue.size() >= options_.QueueLimit) {
                ++r->Stats.Dropped;
                ++r->UnloggedDrops;
                r->LastWhy = "the queue is full";
                continue;
            }
            Route::Item item;
            item.What = alarm;
            r->Queue.push_back(std::move(item));
        }
    }
    curl_multi_wakeup(multi_.get());
}

std::vector<RouteStats> AlarmDelivery::Stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<RouteStats> out;
    for (const auto& r : routes_) {
        RouteStats s = r->Stats;
        s.Waiting = r->Queue.size() + static_cast<size_t>(r->Limit.Held());
        out.push_back(s);
    }
    return out;
}

int64_t AlarmDelivery::NowMs() {
    // The tick count wraps at 2^32; its steps add up to a time that does not.
    const uint32_t tick = clock_.TickCount();
    elapsedMs_ += static_cast<uint32_t>(tick - lastTick_);
    lastTick_ = tick;
    return elapsedMs_;
}

void AlarmDelivery::Drop(Route& r, int64_t nowMs, const std::string& why) {
    r.Queue.pop_front();
    ++r.Stats.Dropped;
    ++r.UnloggedDrops;
    r.LastWhy = why;
    (void)nowMs;
}

void AlarmDelivery::Finish(Route& r, const Answer& answer, int64_t nowMs) {
    r.Stats.LastAnswer = answer.Text;
    if (answer.Delivered) {
        ++r.Stats.Sent;
        r.Queue.pop_front();
        return;
    }
    ++r.Stats.Failures;
    Route::Item& item = r.Queue.front();
    ++item.Failures;
    if (nowMs - item.FirstMs >= options_.RetryForMs) {
        Drop(r, nowMs, answer.Text);
        return;
    }
    const int shift = std::min(item.Failures - 1, 30);
    item.NextMs = nowMs + std::min(options_.FirstPauseMs << shift, options_.LongestPauseMs);
}

void AlarmDelivery::Hold(Route& r, int64_t nowMs) {
    // Summaries whose minute is over join the queue; an alarm that reaches the front within
    // its kind's minute is held for the next summary.
    for (MailSummaryOf& held : r.Limit.Due(nowMs)) {
        Route::Item summary;
        summary.What = held.Listed.back();
        summary.Summary = std::move(held);
        summary.Admitted = true;
        r.Queue.push_back(std::move(summary));
    }
    if (r.InFlight)
        return;
    while (!r.Queue.empty() && !r.Queue.front().Admitted) {
        if (r.Limit.Admit(r.Queue.front().What, nowMs)) {
            r.Queue.front().Admitted = true;
            break;
        }
        r.Queue.pop_front();
    }
}

bool AlarmDelivery::Step(int64_t nowMs) {
    bool finished = false;
    std::vector<std::pair<std::string, std::string>> entries;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& rp : routes_) {
            Route& r = *rp;
            if (r.Config.Type == RouteType::Email)
                Hold(r, nowMs);
            if (r.InFlight || r.Queue.empty())
                continue;
            Route::Item& item = r.Queue.front();
            if (item.NextMs > nowMs)
                continue;
            try {
                if (item.Summary)
                    r.InFlight =
                        EmailTransfer(r.Config, MailSummary(r.Config, *item.Summary),
                                      options_.ConnectTimeoutMs, options_.AttemptTimeoutMs);
                else
                    r.InFlight = MakeTransfer(r.Config, item.What, options_);
            } catch (const std::exception& e) {
                r.InFlight.reset();
                r.Stats.LastAnswer = e.what();
            }
            if (!r.InFlight) {
                Drop(r, nowMs,
                     "this program cannot send to a " + RouteTypeName(r.Config.Type) + " route");
                continue;
            }
            if (item.FirstMs < 0)
                item.FirstMs = nowMs;
            if (auto answer = r.InFlight->Immediate()) {
                r.InFlight.reset();
                Finish(r, *answer, nowMs);
                finished = true;
                continue;
            }
            curl_easy_setopt(r.InFlight->Handle.get(), CURLOPT_PRIVATE, rp.get());
            curl_multi_add_handle(multi_.get(), r.InFlight->Handle.get());
        }
    }
    int running = 0;
    curl_multi_perform(multi_.get(), &running);
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi_.get(), &left)) {
        if (m->msg != CURLMSG_DONE)
            continue;
        finished = true;
        Route* rp = nullptr;
        curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&rp));
        const CURLcode code = m->data.result;
        curl_multi_remove_handle(multi_.get(), m->easy_handle);
        if (rp == nullptr || !rp->InFlight)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        Route& r = *rp;
        const Answer answer = r.InFlight->Outcome(code);
        r.InFlight.reset();
        Finish(r, answer, nowMs);
    }
    {
        // Drops reach the error log at most once per route and hour, each entry with its count.
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& rp : routes_) {
            Route& r = *rp;
            if (r.UnloggedDrops == 0 ||
                (r.LastLogMs >= 0 && nowMs - r.LastLogMs < options_.ErrorLogEveryMs))
                continue;
            entries.emplace_back(kDropLocation, std::to_string(r.UnloggedDrops) + " alarm" +
                                                    (r.UnloggedDrops == 1 ? "" : "s") +
                                                    " dropped for " + RouteTypeName(r.Config.Type) +
                                                    " route " + std::to_string(r.Config.Id) + " (" +
                                                    r.Config.Target + "): " + r.LastWhy);
            r.LastLogMs = nowMs;
            r.UnloggedDrops = 0;
        }
    }
    for (const auto& [location, text] : entries)
        if (errorLog_)
            errorLog_(location, text);
    return finished;
}

void AlarmDelivery::Run() {
    while (!stop_) {
        bool finished = false;
        try {
            finished = Step(NowMs());
        } catch (const std::exception& e) {
            if (errorLog_)
                errorLog_("Alarm Delivery", e.what());
        }
        // Straight on when an attempt finished (the next may be due); otherwise wakes for
        // network activity, a Submit, or within 50 ms to look at the clock again.
        if (!finished)
            curl_multi_poll(multi_.get(), nullptr, 0, 50, nullptr);
    }
}

}  // namespace qtx::alarms
