#include "ui/StateMessages.h"

#include <iterator>

namespace qtx::state {

namespace {

constexpr const char* kKindNames[] = {"snapshot",    "caption", "icon",      "panel",
                                      "nextCleared", "next",    "history",   "historyCleared",
                                      "outcome",     "slave",   "messageBox"};
static_assert(std::size(kKindNames) == static_cast<size_t>(MessageKind::MessageBox) + 1);

struct RefusalWords {
    const char* Text;
    const char* Name;
};
constexpr RefusalWords kRefusals[] = {
    {"", ""},
    {"Inactive", "inactive"},
    {"Skipped", "skipped"},
    {"Server not connected", "serverNotConnected"},
    {"Switcher not connected", "switcherNotConnected"},
    {"Crosspoint inactive", "crosspointInactive"},
    {"Crosspoint active", "crosspointActive"},
    {"Invalid Crosspoint", "invalidCrosspoint"},
    {"Invalid Relay", "invalidRelay"},
    {"Invalid Channel", "invalidChannel"},
    {"Holiday", "holiday"},
    {"Not in calendar", "notInCalendar"},
    {"Outside its dates", "outsideDates"},
    {"Not its week", "notItsWeek"},
    {"Too late", "tooLate"},
};
static_assert(std::size(kRefusals) == static_cast<size_t>(Refusal::TooLate) + 1);

}  // namespace

const char* KindName(MessageKind kind) {
    return kKindNames[static_cast<size_t>(kind)];
}

std::optional<MessageKind> KindFromName(std::string_view name) {
    for (size_t i = 0; i < std::size(kKindNames); ++i)
        if (name == kKindNames[i])
            return static_cast<MessageKind>(i);
    return std::nullopt;
}

const char* RefusalText(Refusal r) {
    return kRefusals[static_cast<size_t>(r)].Text;
}

const char* RefusalName(Refusal r) {
    return kRefusals[static_cast<size_t>(r)].Name;
}

bool IsDateRefusal(Refusal r) {
    switch (r) {
        case Refusal::Holiday:
        case Refusal::NotInCalendar:
        case Refusal::OutsideDates:
        case Refusal::NotItsWeek:
        case Refusal::TooLate:
            return true;
        default:
            return false;
    }
}

std::optional<Refusal> RefusalFromName(std::string_view name) {
    for (size_t i = 0; i < std::size(kRefusals); ++i)
        if (name == kRefusals[i].Name)
            return static_cast<Refusal>(i);
    return std::nullopt;
}

}  // namespace qtx::state
