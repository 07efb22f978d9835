#pragma once
// An event in words: what an operator means by one event, independent of how the database
// stores it (one row per day with numeric codes; see schedule/Rows.h).
//
// Texts in this form (title, message text, file path, address) are UTF-8; the conversion to the
// database's 8-bit text happens in schedule/Rows.h. Numbers are held as plain ints so that a
// value out of range can still be carried to the rules (schedule/Rules.h) and named there.
#include <optional>
#include <string>
#include <vector>

#include "schedule/DateRules.h"

namespace qtx::schedule {

// Days of the week as the database codes them: 0 Monday .. 6 Sunday; 7 is "no day".
inline constexpr int NoDay = 7;

enum class Marking { Active, Inactive, SkipNext, OneTime };
enum class CrosspointKind { Take, SumOn, SumOff };
enum class RelayMode { Latch, Release, Pulse };
enum class GainTarget { Source, Destination };
enum class MessageTo { Ip, Serial, Switcher };
enum class MessageContent { Text, File };

// Run only while the crosspoint Source -> Destination is on (WhenOn) or off. Numbers from 1.
struct Condition {
    bool WhenOn = true;
    int Source = 0;
    int Destination = 0;
    bool operator==(const Condition&) const = default;
};

struct CrosspointAction {
    CrosspointKind Kind = CrosspointKind::Take;
    int Source = 0;  // from 1
    int Destination = 0;
    bool operator==(const CrosspointAction&) const = default;
};

struct SalvoAction {
    int Salvo = 0;  // from 1
    bool operator==(const SalvoAction&) const = default;
};

struct RelayAction {
    RelayMode Mode = RelayMode::Latch;
    int Relay = 0;  // from 1
    bool operator==(const RelayAction&) const = default;
};

struct GainAction {
    GainTarget Target = GainTarget::Source;
    int Channel = 0;  // from 1
    int Gain = 0;
    bool operator==(const GainAction&) const = default;
};

// A text message. Which fields count depends on To:
//   Ip:       Address (dotted IPv4), Port (TCP port 1..65535)
//   Serial:   Port (serial port from 1: 1 is the first port), Baud (baud-rate code 0..7)
//   Switcher: Frame, Slot, Port (display address on the switcher, 0..255 each)
// Content Text: Text is sent with caret codes decoded ("^M" carriage return, "^J" line feed);
// Content File: Text is the path of a file whose contents are sent unchanged.
struct MessageAction {
    MessageTo To = MessageTo::Ip;
    MessageContent Content = MessageContent::Text;
    std::string Text;
    std::string Address;
    int Port = 0;
    int Baud = 0;
    int Frame = 0;
    int Slot = 0;
    bool operator==(const MessageAction&) const = default;
};

// What the engine does with the rows of an event: at most one action of each kind (the rows
// have one set of columns per kind), carried out in this order.
struct Actions {
    std::optional<CrosspointAction> Crosspoint;
    std::optional<SalvoAction> Salvo;
    std::optional<RelayAction> Relay;
    std::optional<GainAction> Gain;
    std::optional<MessageAction> Message;
    bool operator==(const Actions&) const = default;
};

struct Event {
    int Number = 0;  // 1..32767; 0 on create means "choose one"
    std::string Title;
    std::vector<int> Days;            // ascending, each 0..6; empty: a record with no day
    std::optional<std::string> Time;  // "hh:mm:ss"; none: a record without a time
    Marking Mark = Marking::Active;
    std::optional<Condition> When;
    Actions Do;
    DateRules Dates;  // stored beside the rows (schedule/DateStore.h); empty: every week, forever
    bool operator==(const Event&) const = default;
};

// ---- Words -------------------------------------------------------------------------------
// The fixed names of the operator's surface (JSON values, command-line options, CSV).

const char* DayShortName(int day);  // "mon" .. "sun"; "none" for 7 and anything else
std::optional<int> ParseDayName(const std::string& name);  // "mon" .. "sun" (any case)
// "mon-fri", "sat,sun", "mon,wed-fri", "daily", "none" (any case, blanks ignored); ranges wrap
// ("sat-mon" is sat,sun,mon). The days come back ascending without repeats; nullopt on bad text.
std::optional<std::vector<int>> ParseDays(const std::string& text);
// The shortest of those forms: "daily", "none", "mon-fri", "mon,wed-fri", ...
std::string FormatDays(const std::vector<int>& days);

const char* MarkingName(Marking m);  // "active" "inactive" "skip-next" "one-time"
std::optional<Marking> ParseMarking(const std::string& name);
const char* CrosspointKindName(CrosspointKind k);  // "take" "sum-on" "sum-off"
std::optional<CrosspointKind> ParseCrosspointKind(const std::string& name);
const char* RelayModeName(RelayMode m);  // "latch" "release" "pulse"
std::optional<RelayMode> ParseRelayMode(const std::string& name);
const char* GainTargetName(GainTarget t);  // "source" "destination"
std::optional<GainTarget> ParseGainTarget(const std::string& name);
const char* MessageToName(MessageTo t);  // "ip" "serial" "switcher"
std::optional<MessageTo> ParseMessageTo(const std::string& name);

// The baud rate a serial message's code selects: 0 "2400", 1 "9600", 2 "14400", 3 "19200",
// 4 "28800", 5 "57600", 6 "115200", 7 "128000"; nullopt outside 0..7.
std::optional<std::string> BaudOfCode(int code);
std::optional<int> CodeOfBaud(int baud);

// The actions in words, in the order the engine carries them out, joined by ", ":
//   take 3->1, salvo 5, relay pulse 4, gain source 2 = 900,
//   message ip 127.0.0.1:7000 "GO^M", message serial 1 at 9600 file "/x", message switcher 1/2/3
//   "A"
// "no action" when there is none.
std::string DescribeActions(const Actions& a);
// "when 2->4 is on" / "when 2->4 is off"; "" without a condition.
std::string DescribeCondition(const std::optional<Condition>& c);
// The time as shown in lists: the time, or "--:--:--" for a record without a time.
std::string DescribeTime(const std::optional<std::string>& time);
// One line of `qtx-eventdb list`: number, days, time, marking, title, condition, actions and,
// when it has any, its date rules (DescribeDateRules).
//   100  mon-fri  06:00:00  active  "Morning feed"  take 3->1
std::string DescribeEvent(const Event& e);

}  // namespace qtx::schedule
