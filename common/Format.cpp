#include "common/Format.h"

#include <cstdio>

#include "common/Checked.h"

namespace qtx {
namespace {

const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                             "Thursday", "Friday", "Saturday"};
const char* const kMonths[] = {"January",   "February", "March",    "April",
                               "May",       "June",     "July",     "August",
                               "September", "October",  "November", "December"};

std::string Abbrev(const char* name) {
    return std::string(name, 3);
}

std::string Padded(int64_t v, int digits) {
    char buf[32];
    if (v < 0)
        std::snprintf(buf, sizeof buf, "-%0*lld", digits, static_cast<long long>(-v));
    else
        std::snprintf(buf, sizeof buf, "%0*lld", digits, static_cast<long long>(v));
    return buf;
}

// hh:mm:ss of three fields, as "%02d:%02d:%02d" writes them; written by hand when each is 0 to
// 99 (the engine formats a time for every run it logs).
std::string ThreeFields(int a, int b, int c) {
    if (a < 0 || a > 99 || b < 0 || b > 99 || c < 0 || c > 99) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", a, b, c);
        return buf;
    }
    const char text[8] = {static_cast<char>('0' + a / 10), static_cast<char>('0' + a % 10), ':',
                          static_cast<char>('0' + b / 10), static_cast<char>('0' + b % 10), ':',
                          static_cast<char>('0' + c / 10), static_cast<char>('0' + c % 10)};
    return std::string(text, sizeof text);
}

}  // namespace

const char* EnglishDayName(int d) {
    return kDays[((d % 7) + 7) % 7];
}
const char* EnglishMonthName(int m) {
    return kMonths[((m - 1) % 12 + 12) % 12];
}

std::string FormatHhMmSs(const LocalDateTime& t) {
    return ThreeFields(t.Hour, t.Minute, t.Second);
}

std::string FormatHhMmSs(TimeOfDay t) {
    return ThreeFields(static_cast<int>(t / 3600), static_cast<int>(t / 60 % 60),
                       static_cast<int>(t % 60));
}

std::string FormatHhMmSsAmPm(const LocalDateTime& t) {
    int h = t.Hour % 12;
    if (h == 0)
        h = 12;
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d %s", h, t.Minute, t.Second,
                  t.Hour < 12 ? "AM" : "PM");
    return buf;
}

std::string FormatLongDate(const LocalDateTime& t) {
    // Built in one string: the engine shows the date on every tick.
    std::string s;
    s.reserve(32);
    s += EnglishDayName(t.DayOfWeek());
    s += ", ";
    s.append(EnglishMonthName(t.Month), 3);
    s += ' ';
    s += std::to_string(t.Day);
    s += ' ';
    s += std::to_string(t.Year);
    return s;
}

std::string FormatLogStamp(const LocalDateTime& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %s %02d, %04d - %02d:%02d:%02d",
                  Abbrev(EnglishDayName(t.DayOfWeek())).c_str(),
                  Abbrev(EnglishMonthName(t.Month)).c_str(), t.Day, t.Year, t.Hour, t.Minute,
                  t.Second);
    return buf;
}

std::string FormatGeneralDate(const LocalDateTime& t) {
    std::string text =
        std::to_string(t.Month) + "/" + std::to_string(t.Day) + "/" + std::to_string(t.Year);
    if (t.SecondsOfDay() == 0)
        return text;
    int h = t.Hour % 12;
    if (h == 0)
        h = 12;
    char buf[24];
    std::snprintf(buf, sizeof buf, " %d:%02d:%02d %s", h, t.Minute, t.Second,
                  t.Hour < 12 ? "AM" : "PM");
    return text + buf;
}

std::string Format0000(int64_t v) {
    return Padded(v, 4);
}
std::string Format00(int64_t v) {
    return Padded(v, 2);
}

TimeOfDay ParseTimeOfDay(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    auto skipBlanks = [&] {
        while (i < n && (text[i] == ' ' || text[i] == '\t'))
            ++i;
    };
    auto number = [&](int maxDigits) {
        int v = 0, digits = 0;
        while (i < n && digits < maxDigits && text[i] >= '0' && text[i] <= '9') {
            v = v * 10 + (text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0)
            RaiseTypeMismatch();
        return v;
    };
    skipBlanks();
    const int h = number(2);
    if (i >= n || text[i] != ':')
        RaiseTypeMismatch();
    ++i;
    const int m = number(2);
    int s = 0;
    if (i < n && text[i] == ':') {
        ++i;
        s = number(2);
    }
    skipBlanks();
    int ampm = 0;  // 0 none, 1 AM, 2 PM
    if (i + 1 < n && (text[i + 1] == 'M' || text[i + 1] == 'm')) {
        const char c = text[i];
        if (c == 'A' || c == 'a')
            ampm = 1;
        else if (c == 'P' || c == 'p')
            ampm = 2;
        if (ampm != 0)
            i += 2;
    }
    skipBlanks();
    if (i != n)
        RaiseTypeMismatch();
    if (ampm == 0 && h == 24 && m == 0 && s == 0)
        return NoTimeOfDay;
    if (m > 59 || s > 59)
        RaiseTypeMismatch();
    int hour = h;
    if (ampm != 0) {
        if (h < 1 || h > 12)
            RaiseTypeMismatch();
        hour = h % 12 + (ampm == 2 ? 12 : 0);
    } else if (h > 23) {
        RaiseTypeMismatch();
    }
    return hour * 3600 + m * 60 + s;
}

}  // namespace qtx
