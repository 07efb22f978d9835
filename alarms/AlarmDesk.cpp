#include "alarms/AlarmDesk.h"

#include <algorithm>
#include <stdexcept>

#include "alarms/AlarmBook.h"

namespace qtx::alarms {

namespace {

constexpr const char* kReadLocation = "Error Reading Alarms";

std::string RoutesKey(const std::vector<AlarmRoute>& routes) {
    std::string key;
    for (const AlarmRoute& r : routes) {
        key += std::to_string(r.Id) + '\x1f' + RouteTypeName(r.Type) + '\x1f' + r.Target + '\x1f' +
               r.Secret + '\x1f' + r.MailFrom + '\x1f' + r.MailTo + '\x1f' + r.MailUser + '\x1f' +
               (r.StartTls ? "1" : "0");
        for (AlarmKind k : r.Kinds)
            key += '\x1f' + KindName(k);
        key += '\x1e';
    }
    return key;
}

}  // namespace

AlarmDesk::AlarmDesk(Clock& clock, std::string file, std::string engine,
                     AlarmDelivery::ErrorLog errorLog, DeliveryOptions delivery)
    : clock_(clock),
      file_(std::move(file)),
      engine_(std::move(engine)),
      errorLog_(std::move(errorLog)),
      options_(delivery),
      writer_(std::make_unique<AlarmFileWriter>(file_, errorLog_)) {}

AlarmDesk::~AlarmDesk() = default;

void AlarmDesk::Load() {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        list_ = LoadAlarmFile(file_);
        if (list_.Recent.size() > RecentAlarmLimit)
            list_.Recent.resize(RecentAlarmLimit);
    } catch (const std::exception& e) {
        if (errorLog_)
            errorLog_(kReadLocation, e.what());
    }
}

void AlarmDesk::SetRoutes(std::vector<AlarmRoute> routes) {
    const std::string key = RoutesKey(routes);
    std::unique_ptr<AlarmDelivery> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (delivery_ && key == routesKey_)
            return;
        old = std::move(delivery_);
        routesKey_ = key;
        delivery_ = std::make_unique<AlarmDelivery>(std::move(routes), clock_, errorLog_, options_);
    }
    // The old thread ends outside the lock (it abandons what it had in flight).
}

std::optional<Alarm> AlarmDesk::Raise(AlarmKind kind, const std::string& about, std::string text,
                                      std::optional<AlarmEvent> event, std::optional<int> link) {
    Alarm a;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Alarm& x : list_.Active)
            if (x.Kind == kind && x.About == about)
                return std::nullopt;
        a.Id = NewAlarmId();
        a.Kind = kind;
        a.Text = std::move(text);
        a.Event = std::move(event);
        a.Link = link;
        a.About = about;
        std::tie(a.AtMs, a.UtcOffsetMinutes) = UtcNow(clock_);
        a.Engine = engine_;
        list_.Active.push_back(a);
        ++raised_[kind];
        Save();
        if (delivery_)
            delivery_->Submit(a);
    }
    Changed(a);
    return a;
}

std::optional<Alarm> AlarmDesk::Clear(AlarmKind kind, const std::string& about) {
    Alarm a;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(list_.Active.begin(), list_.Active.end(),
                               [&](const Alarm& x) { return x.Kind == kind && x.About == about; });
        if (it == list_.Active.end())
            return std::nullopt;
        a = std::move(*it);
        list_.Active.erase(it);
        const int64_t raisedAt = a.AtMs;
        a.State = AlarmState::Cleared;
        std::tie(a.AtMs, a.UtcOffsetMinutes) = UtcNow(clock_);
        a.LastedS = static_cast<double>(a.AtMs - raisedAt) / 1000.0;
        list_.Recent.insert(list_.Recent.begin(), a);
        if (list_.Recent.size() > RecentAlarmLimit)
            list_.Recent.resize(RecentAlarmLimit);
        Save();
        if (delivery_)
            delivery_->Submit(a);
    }
    Changed(a);
    return a;
}

bool AlarmDesk::IsRaised(AlarmKind kind, const std::string& about) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(list_.Active.begin(), list_.Active.end(),
                       [&](const Alarm& x) { return x.Kind == kind && x.About == about; });
}

void AlarmDesk::Record(const Alarm& given, bool live) {
    Alarm a = given;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto byId = [&](const Alarm& x) { return x.Id == a.Id; };
        bool known = false;
        for (auto* v : {&list_.Active, &list_.Recent}) {
            auto it = std::find_if(v->begin(), v->end(), byId);
            if (it == v->end())
                continue;
            known = true;
            if (a.AckedBy.empty()) {  // an acknowledgement made here stays
                a.AckedBy = it->AckedBy;
                a.AckedAtMs = it->AckedAtMs;
            }
            v->erase(it);
        }
        if (a.State == AlarmState::Raised) {
            list_.Active.push_back(a);
            if (live && !known)
                ++raised_[a.Kind];
        } else {
            list_.Recent.insert(list_.Recent.begin(), a);
            std::stable_sort(list_.Recent.begin(), list_.Recent.end(),
                             [](const Alarm& x, const Alarm& y) { return x.AtMs > y.AtMs; });
            if (list_.Recent.size() > RecentAlarmLimit)
                list_.Recent.resize(RecentAlarmLimit);
        }
        Save();
    }
    Changed(a);
}

std::optional<Alarm> AlarmDesk::Ack(const std::string& id, const std::string& by) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto* v : {&list_.Active, &list_.Recent})
        for (Alarm& x : *v)
            if (x.Id == id) {
                x.AckedBy = by;
                x.AckedAtMs = UtcNow(clock_).first;
                Save();
                return x;
            }
    return std::nullopt;
}

std::optional<Alarm> AlarmDesk::Find(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto* v : {&list_.Active, &list_.Recent})
        for (const Alarm& x : *v)
            if (x.Id == id)
                return x;
    return std::nullopt;
}

std::vector<Alarm> AlarmDesk::Active() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return list_.Active;
}

std::vector<Alarm> AlarmDesk::Recent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return list_.Recent;
}

std::map<AlarmKind, int64_t> AlarmDesk::RaisedCounts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raised_;
}

std::vector<RouteStats> AlarmDesk::DeliveryStats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivery_ ? delivery_->Stats() : std::vector<RouteStats>{};
}

void AlarmDesk::Save() {
    writer_->Write(list_);
}

void AlarmDesk::Changed(const Alarm& a) {
    if (OnChange)
        OnChange(a);
}

}  // namespace qtx::alarms
