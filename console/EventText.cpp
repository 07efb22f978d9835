#include "console/EventText.h"

#include <charconv>
#include <cstdio>

namespace qtx::console {

using namespace qtx::schedule;

namespace {

// The length of the UTF-8 sequence at text[i], or 0 when none starts there.
size_t Utf8Length(std::string_view text, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = at(i);
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        hi = c == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (i + n > text.size() || at(i + 1) < lo || at(i + 1) > hi)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return 0;
    return n;
}

void AppendNumber(std::string& out, long long n) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, n).ptr;
    out.append(text, end);
}

// A key and its value; key is the key's text with what comes before it (a comma or a brace) and
// the colon after it.
void Field(std::string& out, const char* key, long long n) {
    out += key;
    AppendNumber(out, n);
}

void Field(std::string& out, const char* key, std::string_view text) {
    out += key;
    AppendJsonString(out, text);
}

void AppendActions(std::string& out, const Actions& a) {
    out += '[';
    bool first = true;
    const auto next = [&] {
        if (!first)
            out += ',';
        first = false;
    };
    if (const auto& x = a.Crosspoint) {
        next();
        Field(out, "{\"destination\":", x->Destination);
        Field(out, ",\"kind\":", CrosspointKindName(x->Kind));
        Field(out, ",\"source\":", x->Source);
        out += '}';
    }
    if (const auto& s = a.Salvo) {
        next();
        Field(out, "{\"kind\":\"salvo\",\"salvo\":", s->Salvo);
        out += '}';
    }
    if (const auto& r = a.Relay) {
        next();
        Field(out, "{\"kind\":\"relay\",\"mode\":", RelayModeName(r->Mode));
        Field(out, ",\"relay\":", r->Relay);
        out += '}';
    }
    if (const auto& g = a.Gain) {
        next();
        Field(out, "{\"channel\":", g->Channel);
        Field(out, ",\"gain\":", g->Gain);
        Field(out, ",\"kind\":\"gain\",\"target\":", GainTargetName(g->Target));
        out += '}';
    }
    if (const auto& m = a.Message) {
        next();
        const bool file = m->Content == MessageContent::File;
        // Keys in sorted order: address, baud, file, frame, kind, port, slot, text, to.
        out += '{';
        switch (m->To) {
            case MessageTo::Ip:
                Field(out, "\"address\":", m->Address);
                out += ',';
                break;
            case MessageTo::Serial:
                Field(out, "\"baud\":", m->Baud);
                out += ',';
                break;
            case MessageTo::Switcher:
                break;
        }
        if (file) {
            Field(out, "\"file\":", m->Text);
            out += ',';
        }
        if (m->To == MessageTo::Switcher) {
            Field(out, "\"frame\":", m->Frame);
            out += ',';
        }
        Field(out, "\"kind\":\"message\",\"port\":", m->Port);
        if (m->To == MessageTo::Switcher)
            Field(out, ",\"slot\":", m->Slot);
        if (!file)
            Field(out, ",\"text\":", m->Text);
        Field(out, ",\"to\":", MessageToName(m->To));
        out += '}';
    }
    out += ']';
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    size_t plain = 0;  // start of the run of bytes copied as they are
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        size_t n = c >= 0x80 ? Utf8Length(text, i) : 0;
        if (n > 0) {
            i += n;
            continue;
        }
        out.append(text.substr(plain, i - plain));
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    const char esc[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
                    out.append(esc, sizeof esc);
                } else {
                    out += "\xEF\xBF\xBD";  // not UTF-8
                }
        }
        plain = ++i;
    }
    out.append(text.substr(plain));
    out += '"';
}

// A list of calendar names: ["uk","closures"].
static void AppendNames(std::string& out, const char* key, const std::vector<std::string>& names) {
    out += key;
    out += '[';
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += ',';
        AppendJsonString(out, names[i]);
    }
    out += ']';
}

void AppendEventJson(std::string& out, const Event& e) {
    out += "{\"actions\":";
    AppendActions(out, e.Do);
    out += ",\"condition\":";
    if (e.When) {
        Field(out, "{\"destination\":", e.When->Destination);
        Field(out, ",\"source\":", e.When->Source);
        Field(out, ",\"when\":", e.When->WhenOn ? "on" : "off");
        out += '}';
        Field(out, ",\"conditionText\":", DescribeCondition(e.When));
    } else {
        out += "null";
    }
    out += ",\"days\":[";
    for (size_t i = 0; i < e.Days.size(); ++i) {
        if (i > 0)
            out += ',';
        AppendJsonString(out, DayShortName(e.Days[i]));
    }
    out += ']';
    // The date rules, each only when set, so an event without them reads as before.
    const DateRules& r = e.Dates;
    if (r.EveryWeeks)
        Field(out, ",\"every_weeks\":", *r.EveryWeeks);
    if (!r.Except.empty())
        AppendNames(out, ",\"except\":", r.Except);
    if (r.From)
        Field(out, ",\"from\":", *r.From);
    if (r.Latest)
        Field(out, ",\"latest\":", *r.Latest);
    Field(out, ",\"marking\":", MarkingName(e.Mark));
    Field(out, ",\"number\":", e.Number);
    if (!r.Only.empty())
        AppendNames(out, ",\"only\":", r.Only);
    if (e.Time)
        Field(out, ",\"time\":", *e.Time);
    else
        out += ",\"time\":null";
    Field(out, ",\"title\":", e.Title);
    if (r.Until)
        Field(out, ",\"until\":", *r.Until);
    if (r.WeekOf)
        Field(out, ",\"week_of\":", *r.WeekOf);
    Field(out, ",\"what\":", DescribeActions(e.Do));
    out += '}';
}

std::string Fingerprint(std::string_view text) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text)
        h = (h ^ c) * 1099511628211ull;
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

}  // namespace qtx::console
