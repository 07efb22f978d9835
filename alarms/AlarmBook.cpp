#include "alarms/AlarmBook.h"

#include <sodium.h>
#include <unistd.h>

#include <ctime>

namespace qtx::alarms {

std::string NewAlarmId() {
    unsigned char bytes[6];
    randombytes_buf(bytes, sizeof bytes);
    static const char* digits = "0123456789abcdef";
    std::string id;
    for (unsigned char b : bytes) {
        id.push_back(digits[b >> 4]);
        id.push_back(digits[b & 15]);
    }
    return id;
}

std::pair<int64_t, int> UtcNow(Clock& clock) {
    const LocalDateTime now = clock.Now();
    // The clock gives local fields; the host's zone tells how far they are from UTC.
    std::tm t{};
    t.tm_year = now.Year - 1900;
    t.tm_mon = now.Month - 1;
    t.tm_mday = now.Day;
    t.tm_hour = now.Hour;
    t.tm_min = now.Minute;
    t.tm_sec = now.Second;
    t.tm_isdst = -1;
    std::tm asUtc = t;
    const time_t local = std::mktime(&t);
    const time_t naive = timegm(&asUtc);
    const int offsetMinutes =
        local == static_cast<time_t>(-1) ? 0 : static_cast<int>((naive - local) / 60);
    return {ToEpochMs(now) - int64_t{offsetMinutes} * 60000, offsetMinutes};
}

std::string EngineName(const std::string& folder) {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    std::string f = folder;
    if (f.empty() || f.back() != '/')
        f.push_back('/');
    return std::string(host) + ":" + f;
}

std::optional<Alarm> AlarmBook::Raise(AlarmKind kind, const std::string& about, std::string text,
                                      std::optional<AlarmEvent> event, std::optional<int> link) {
    const auto key = std::make_pair(kind, about);
    if (active_.count(key) != 0)
        return std::nullopt;
    Alarm a;
    a.Id = NewAlarmId();
    a.Kind = kind;
    a.State = AlarmState::Raised;
    a.Text = std::move(text);
    a.Event = std::move(event);
    a.Link = link;
    std::tie(a.AtMs, a.UtcOffsetMinutes) = UtcNow(clock_);
    a.Engine = engine_;
    active_.emplace(key, a);
    return a;
}

std::optional<Alarm> AlarmBook::Clear(AlarmKind kind, const std::string& about) {
    auto it = active_.find(std::make_pair(kind, about));
    if (it == active_.end())
        return std::nullopt;
    Alarm a = std::move(it->second);
    active_.erase(it);
    const int64_t raisedAt = a.AtMs;
    a.State = AlarmState::Cleared;
    std::tie(a.AtMs, a.UtcOffsetMinutes) = UtcNow(clock_);
    a.LastedS = static_cast<double>(a.AtMs - raisedAt) / 1000.0;
    return a;
}

bool AlarmBook::IsRaised(AlarmKind kind, const std::string& about) const {
    return active_.count(std::make_pair(kind, about)) != 0;
}

std::vector<Alarm> AlarmBook::Active() const {
    std::vector<Alarm> out;
    for (const auto& [key, a] : active_)
        out.push_back(a);
    return out;
}

}  // namespace qtx::alarms
