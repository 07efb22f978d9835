#include "eventdb/EventDbOptions.h"

#include <cstdint>

#include "common/Parse.h"

namespace qtx {

using namespace schedule;

const char* const EventOptionsHelp =
    "event options (add, edit):\n"
    "  --title TEXT                 title shown in the logs and lists\n"
    "  --days SET                   mon-fri, sat,sun, mon,wed-fri, daily, none\n"
    "  --at hh:mm:ss                time of day, 24-hour (none: a record without a time)\n"
    "  --number N                   event number 1..32767 (add chooses one when left out)\n"
    "  --take S:D                   take source S to destination D (numbers from 1)\n"
    "  --sum-on S:D, --sum-off S:D  add source S to, or remove it from, destination D\n"
    "  --salvo N                    execute salvo N\n"
    "  --relay MODE:N               MODE latch, release or pulse; relay N\n"
    "  --gain TARGET:CHANNEL:GAIN   TARGET source or destination; GAIN 0..2024\n"
    "  --when-on S:D, --when-off S:D  run only while crosspoint S->D is on / off\n"
    "  --message ip:ADDRESS:PORT    send a text to a TCP port (dotted IPv4 address)\n"
    "  --message serial:PORT:BAUD   to serial port PORT (from 1); BAUD code 0 2400, 1 9600,\n"
    "                               2 14400, 3 19200, 4 28800, 5 57600, 6 115200, 7 128000\n"
    "  --message switcher:FRAME:SLOT:PORT  to a display on the switcher (0..255 each)\n"
    "  --text TEXT                  the message text; ^M carriage return, ^J line feed\n"
    "  --file PATH                  send the contents of this file instead of a text\n"
    "  --active (default), --inactive, --skip-next (skip the next run), --once (run once,\n"
    "                               then the engine deletes the event)\n"
    "  --no-crosspoint, --no-salvo, --no-relay, --no-gain, --no-message, --no-condition\n"
    "                               (edit) remove that part\n"
    "  --from DATE, --until DATE    run only on dates from .. until, inclusive (YYYY-MM-DD)\n"
    "  --every-weeks N --week-of DATE  run in every Nth week (Monday to Sunday), counted from\n"
    "                               the week holding DATE\n"
    "  --except NAME[,NAME]         do not run on the dates of these calendars\n"
    "  --only NAME[,NAME]           run only on the dates of these calendars\n"
    "  --latest hh:mm:ss            a run later than this after its second is not started\n"
    "  --no-from, --no-until, --no-every-weeks, --no-except, --no-only, --no-latest\n"
    "                               (edit) remove that rule\n";

namespace {

const char* const Flags[] = {"--active",         "--inactive",     "--skip-next", "--once",
                             "--no-crosspoint",  "--no-salvo",     "--no-relay",  "--no-gain",
                             "--no-message",     "--no-condition", "--no-from",   "--no-until",
                             "--no-every-weeks", "--no-except",    "--no-only",   "--no-latest"};
const char* const Valued[] = {"--number",  "--title",    "--days",        "--at",      "--take",
                              "--sum-on",  "--sum-off",  "--salvo",       "--relay",   "--gain",
                              "--when-on", "--when-off", "--message",     "--text",    "--file",
                              "--from",    "--until",    "--every-weeks", "--week-of", "--except",
                              "--only",    "--latest"};

bool IsOne(const std::string& name, const char* const* list, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (name == list[i])
            return true;
    return false;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (true) {
        const size_t end = s.find(sep, pos);
        parts.push_back(s.substr(pos, end == std::string::npos ? end : end - pos));
        if (end == std::string::npos)
            return parts;
        pos = end + 1;
    }
}

[[noreturn]] void Bad(const std::string& option, const std::string& value,
                      const std::string& form) {
    throw OptionError(option + " \"" + value + "\": expected " + form);
}

int Number(const std::string& option, const std::string& value, const std::string& text,
           const std::string& form) {
    const std::optional<long long> n = ParseWholeNumber(text);
    if (!n || *n < INT32_MIN || *n > INT32_MAX)
        Bad(option, value, form);
    return static_cast<int>(*n);
}

std::pair<int, int> Pair(const std::string& option, const std::string& value,
                         const std::string& form) {
    const auto parts = Split(value, ':');
    if (parts.size() != 2)
        Bad(option, value, form);
    return {Number(option, value, parts[0], form), Number(option, value, parts[1], form)};
}

MessageAction Destination(const std::string& value, const std::optional<MessageAction>& was) {
    const std::string option = "--message";
    const std::string form = "ip:ADDRESS:PORT, serial:PORT:BAUDCODE or switcher:FRAME:SLOT:PORT";
    const size_t colon = value.find(':');
    const auto to = ParseMessageTo(value.substr(0, colon));
    if (colon == std::string::npos || !to)
        Bad(option, value, form);
    const std::string rest = value.substr(colon + 1);
    MessageAction m = was.value_or(MessageAction{});
    m.To = *to;
    m.Address.clear();
    m.Port = m.Baud = m.Frame = m.Slot = 0;
    if (*to == MessageTo::Ip) {
        const size_t last = rest.rfind(':');
        if (last == std::string::npos)
            Bad(option, value, "ip:ADDRESS:PORT");
        m.Address = rest.substr(0, last);
        m.Port = Number(option, value, rest.substr(last + 1), "ip:ADDRESS:PORT");
    } else if (*to == MessageTo::Serial) {
        const auto [port, baud] = Pair(option, rest, "serial:PORT:BAUDCODE");
        m.Port = port;
        m.Baud = baud;
    } else {
        const auto parts = Split(rest, ':');
        const std::string f = "switcher:FRAME:SLOT:PORT";
        if (parts.size() != 3)
            Bad(option, value, f);
        m.Frame = Number(option, value, parts[0], f);
        m.Slot = Number(option, value, parts[1], f);
        m.Port = Number(option, value, parts[2], f);
    }
    return m;
}

}  // namespace

bool HasEventOption(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a.rfind("--", 0) == 0)
            return true;
    return false;
}

void ApplyEventOptions(const std::vector<std::string>& options, Event& e, bool creating) {
    bool title = false, days = false, at = false, crosspoint = false;
    bool messageGiven = false, contentGiven = false;
    const bool hadMessage = e.Do.Message.has_value();
    std::optional<std::pair<bool, std::string>> content;  // (is a file, text)
    for (size_t i = 0; i < options.size(); ++i) {
        std::string name = options[i], value;
        const size_t eq = name.find('=');
        const bool inlineValue = name.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (IsOne(name, Flags, std::size(Flags))) {
            if (inlineValue)
                throw OptionError(name + " takes no value");
        } else if (IsOne(name, Valued, std::size(Valued))) {
            if (!inlineValue) {
                if (i + 1 >= options.size())
                    throw OptionError(name + " needs a value");
                value = options[++i];
            }
        } else {
            throw OptionError("unknown option \"" + name + "\"");
        }

        if (name == "--number") {
            e.Number = Number(name, value, value, "a whole number 1..32767");
        } else if (name == "--title") {
            e.Title = value;
            title = true;
        } else if (name == "--days") {
            const auto d = ParseDays(value);
            if (!d)
                Bad(name, value, "days like mon-fri, sat,sun, mon,wed-fri, daily or none");
            e.Days = *d;
            days = true;
        } else if (name == "--at") {
            if (value == "none")
                e.Time.reset();
            else
                e.Time = value;  // the rules say whether it is a time of day
            at = true;
        } else if (name == "--take" || name == "--sum-on" || name == "--sum-off") {
            if (crosspoint)
                throw OptionError(
                    "one crosspoint action per event (--take, --sum-on or --sum-off)");
            crosspoint = true;
            const auto [s, d] = Pair(name, value, "SOURCE:DESTINATION, numbers from 1");
            e.Do.Crosspoint = CrosspointAction{*ParseCrosspointKind(name.substr(2)), s, d};
        } else if (name == "--salvo") {
            e.Do.Salvo = SalvoAction{Number(name, value, value, "a salvo number from 1")};
        } else if (name == "--relay") {
            const size_t colon = value.find(':');
            const auto mode = ParseRelayMode(value.substr(0, colon));
            if (colon == std::string::npos || !mode)
                Bad(name, value, "latch:N, release:N or pulse:N");
            e.Do.Relay = RelayAction{*mode, Number(name, value, value.substr(colon + 1),
                                                   "latch:N, release:N or pulse:N")};
        } else if (name == "--gain") {
            const auto parts = Split(value, ':');
            const std::string form = "source:CHANNEL:GAIN or destination:CHANNEL:GAIN";
            const auto target = parts.size() == 3 ? ParseGainTarget(parts[0]) : std::nullopt;
            if (!target)
                Bad(name, value, form);
            e.Do.Gain = GainAction{*target, Number(name, value, parts[1], form),
                                   Number(name, value, parts[2], form)};
        } else if (name == "--when-on" || name == "--when-off") {
            const auto [s, d] = Pair(name, value, "SOURCE:DESTINATION, numbers from 1");
            e.When = Condition{name == "--when-on", s, d};
        } else if (name == "--message") {
            e.Do.Message = Destination(value, e.Do.Message);
            messageGiven = true;
        } else if (name == "--text" || name == "--file") {
            if (contentGiven)
                throw OptionError("one message content: --text or --file");
            contentGiven = true;
            content = {name == "--file", value};
        } else if (name == "--active") {
            e.Mark = Marking::Active;
        } else if (name == "--inactive") {
            e.Mark = Marking::Inactive;
        } else if (name == "--skip-next") {
            e.Mark = Marking::SkipNext;
        } else if (name == "--once") {
            e.Mark = Marking::OneTime;
        } else if (name == "--no-crosspoint") {
            e.Do.Crosspoint.reset();
        } else if (name == "--no-salvo") {
            e.Do.Salvo.reset();
        } else if (name == "--no-relay") {
            e.Do.Relay.reset();
        } else if (name == "--no-gain") {
            e.Do.Gain.reset();
        } else if (name == "--no-message") {
            e.Do.Message.reset();
        } else if (name == "--no-condition") {
            e.When.reset();
        } else if (name == "--from") {
            e.Dates.From = value;  // the rules say whether it is a date
        } else if (name == "--until") {
            e.Dates.Until = value;
        } else if (name == "--every-weeks") {
            e.Dates.EveryWeeks = Number(name, value, value, "a number of weeks 1..52");
        } else if (name == "--week-of") {
            e.Dates.WeekOf = value;
        } else if (name == "--except" || name == "--only") {
            std::vector<std::string> names = Split(value, ',');
            for (const std::string& n : names)
                if (n.empty())
                    Bad(name, value, "calendar names joined by \",\"");
            (name == "--except" ? e.Dates.Except : e.Dates.Only) = std::move(names);
        } else if (name == "--latest") {
            e.Dates.Latest = value;
        } else if (name == "--no-from") {
            e.Dates.From.reset();
        } else if (name == "--no-until") {
            e.Dates.Until.reset();
        } else if (name == "--no-every-weeks") {
            e.Dates.EveryWeeks.reset();
            e.Dates.WeekOf.reset();
        } else if (name == "--no-except") {
            e.Dates.Except.clear();
        } else if (name == "--no-only") {
            e.Dates.Only.clear();
        } else if (name == "--no-latest") {
            e.Dates.Latest.reset();
        }
    }
    if (content) {
        if (!e.Do.Message)
            throw OptionError(std::string(content->first ? "--file" : "--text") +
                              " needs a message: --message ip:..., serial:... or switcher:...");
        e.Do.Message->Content = content->first ? MessageContent::File : MessageContent::Text;
        e.Do.Message->Text = content->second;
    } else if (messageGiven && (creating || !hadMessage)) {
        throw OptionError("--message needs --text TEXT or --file PATH");
    }
    if (creating) {
        if (!title)
            throw OptionError("add needs --title");
        if (!days)
            throw OptionError("add needs --days (mon-fri, sat,sun, daily, none, ...)");
        if (!at)
            throw OptionError("add needs --at hh:mm:ss (or --at none)");
    }
}

}  // namespace qtx
