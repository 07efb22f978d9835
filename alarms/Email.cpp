#include "alarms/Email.h"

#include <cstdio>
#include <ctime>
#include <sstream>

#include "alarms/CleanText.h"

namespace qtx::alarms {

namespace {

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return "";
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// "Tue, 08 Dec 2026 06:00:01 +0000"
std::string MailDate(int64_t utcMs, int offsetMinutes) {
    const int64_t localS =
        (utcMs >= 0 ? utcMs / 1000 : (utcMs - 999) / 1000) + int64_t{offsetMinutes} * 60;
    const time_t secs = static_cast<time_t>(localS);
    std::tm t{};
    gmtime_r(&secs, &t);
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int off = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d", days[t.tm_wday],
                  t.tm_mday, months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec,
                  offsetMinutes < 0 ? '-' : '+', off / 60, off % 60);
    return buf;
}

std::string Base64(const std::string& in) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= static_cast<unsigned char>(in[i + 2]);
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += i + 1 < in.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? abc[v & 63] : '=';
    }
    return out;
}

// A header value: plain when ASCII, otherwise RFC 2047 encoded words of whole characters.
std::string HeaderText(const std::string& utf8) {
    bool ascii = true;
    for (char c : utf8)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii)
        return utf8;
    std::string out;
    size_t i = 0;
    while (i < utf8.size()) {
        size_t end = std::min(utf8.size(), i + 45);
        while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xc0) == 0x80)
            --end;
        out += (out.empty() ? "" : "\r\n ") + std::string("=?UTF-8?B?") +
               Base64(utf8.substr(i, end - i)) + "?=";
        i = end;
    }
    return out;
}

std::string StateName(AlarmState s) {
    return s == AlarmState::Raised ? "raised" : "cleared";
}

std::string Headers(const AlarmRoute& route, const std::string& subject, const Alarm& at) {
    std::string to;
    for (const std::string& a : MailAddresses(route.MailTo))
        to += (to.empty() ? "" : ", ") + a;
    return "From: " + route.MailFrom + "\r\nTo: " + to +
           "\r\nSubject: " + HeaderText(CleanText(subject, 200)) +
           "\r\nDate: " + MailDate(at.AtMs, at.UtcOffsetMinutes) +
           "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8"
           "\r\nContent-Transfer-Encoding: 8bit\r\nAuto-Submitted: auto-generated"
           "\r\nX-QTX-Alarm-Kind: " +
           KindName(at.Kind) + "\r\n";
}

size_t ReadBody(char* buffer, size_t size, size_t count, void* user) {
    Transfer& t = *static_cast<Transfer*>(user);
    const size_t n = std::min(size * count, t.Body.size() - t.Sent);
    t.Body.copy(buffer, n, t.Sent);
    t.Sent += n;
    return n;
}

}  // namespace

std::vector<std::string> MailAddresses(const std::string& list) {
    std::vector<std::string> out;
    std::istringstream in(list);
    std::string one;
    while (std::getline(in, one, ','))
        out.push_back(Trim(one));
    return out;
}

std::string MailMessage(const AlarmRoute& route, const Alarm& a) {
    const std::string severity = SeverityName(SeverityOf(a.Kind));
    std::string body = "Kind:      " + KindName(a.Kind) + "\r\nState:     " + StateName(a.State) +
                       "\r\nSeverity:  " + severity + "\r\nText:      " + CleanText(a.Text) +
                       "\r\n";
    if (a.Event)
        body += "Event:     " + std::to_string(a.Event->Number) + " " + CleanText(a.Event->Title) +
                "\r\n";
    if (a.Link)
        body += "Link:      " + std::to_string(*a.Link) + "\r\n";
    body += "At:        " + FormatAlarmTime(a.AtMs, a.UtcOffsetMinutes) +
            "\r\nEngine:    " + CleanText(a.Engine) + "\r\n";
    if (a.State == AlarmState::Cleared && a.LastedS) {
        char lasted[32];
        std::snprintf(lasted, sizeof lasted, "%.3f", *a.LastedS);
        body += "Lasted:    " + std::string(lasted) + " s\r\n";
    }
    body += "Id:        " + CleanText(a.Id) + "\r\n";
    return Headers(route,
                   "[QTX] " + severity + " " + KindName(a.Kind) + " " + StateName(a.State) + ": " +
                       a.Text,
                   a) +
           "X-QTX-Alarm-Id: " + CleanText(a.Id, 64) + "\r\n\r\n" + body;
}

std::string MailSummary(const AlarmRoute& route, const MailSummaryOf& held) {
    const std::string kind = KindName(held.Kind);
    const std::string count = std::to_string(held.Count);
    const std::string noun = held.Count == 1 ? " alarm" : " alarms";
    std::string body = count + " more " + kind + noun +
                       " came within a minute of the last message of this kind:\r\n\r\n";
    for (const Alarm& a : held.Listed)
        body += FormatAlarmTime(a.AtMs, a.UtcOffsetMinutes) + "  " + StateName(a.State) + "  " +
                CleanText(a.Text) + "  (id " + CleanText(a.Id) + ")\r\n";
    if (held.Count > static_cast<int64_t>(held.Listed.size()))
        body += "... and " + std::to_string(held.Count - static_cast<int64_t>(held.Listed.size())) +
                " more\r\n";
    const Alarm& last = held.Listed.back();
    return Headers(route,
                   "[QTX] " + count + " more " + kind + noun + " (" +
                       SeverityName(SeverityOf(held.Kind)) + ")",
                   last) +
           "\r\n" + body;
}

std::unique_ptr<Transfer> EmailTransfer(const AlarmRoute& route, std::string message,
                                        int connectTimeoutMs, int timeoutMs) {
    auto t = std::make_unique<Transfer>();
    t->Body = std::move(message);
    t->Limit(connectTimeoutMs, timeoutMs);
    for (const std::string& a : MailAddresses(route.MailTo))
        AddHeader(t->Recipients, "<" + a + ">");
    CURL* c = t->Handle.get();
    curl_easy_setopt(c, CURLOPT_URL, route.Target.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, ("<" + route.MailFrom + ">").c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, t->Recipients.get());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, ReadBody);
    curl_easy_setopt(c, CURLOPT_READDATA, t.get());
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(t->Body.size()));
    if (route.StartTls)
        curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    if (!route.MailUser.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, route.MailUser.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, route.Secret.c_str());
    }
    return t;
}

}  // namespace qtx::alarms
