#include "ui/StateMessages.h"

#include <algorithm>
#include <iterator>

namespace qtx::state {

namespace {

constexpr const char* kKindNames[] = {"snapshot",    "caption", "icon",         "panel",
                                      "nextCleared", "next",    "history",      "historyCleared",
                                      "outcome",     "slave",   "messageBox",   "confirmation",
                                      "alarm",       "role",    "unfinishedRun"};
static_assert(std::size(kKindNames) == static_cast<size_t>(MessageKind::UnfinishedRun) + 1);

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
    {"Cut short, the group lease may have expired", "cutShort"},
};
static_assert(std::size(kRefusals) == static_cast<size_t>(Refusal::CutShort) + 1);

constexpr const char* kActionNames[] = {"take", "sumOn", "sumOff"};
constexpr const char* kActionWords[] = {"Take", "Sum On", "Sum Off"};
constexpr const char* kResultNames[] = {"confirmed", "notConfirmed", "superseded", "sent"};
static_assert(std::size(kResultNames) == static_cast<size_t>(ConfirmResult::Sent) + 1);

}  // namespace

const char* ActionName(CrosspointAction a) {
    return kActionNames[static_cast<size_t>(a)];
}

const char* ActionWords(CrosspointAction a) {
    return kActionWords[static_cast<size_t>(a)];
}

const char* ConfirmResultName(ConfirmResult r) {
    return kResultNames[static_cast<size_t>(r)];
}

std::optional<ConfirmResult> ConfirmResultFromName(std::string_view name) {
    for (size_t i = 0; i < std::size(kResultNames); ++i)
        if (name == kResultNames[i])
            return static_cast<ConfirmResult>(i);
    return std::nullopt;
}

RowConfirmation LinkConfirmation(ConfirmResult result, int64_t ms, const std::string& reason,
                                 int link) {
    RowConfirmation r{true, result, ms, reason};
    if (link != 0 && result != ConfirmResult::Confirmed && !reason.empty())
        r.Reason = "link " + std::to_string(link) + ": " + reason;
    return r;
}

RowConfirmation Combine(const RowConfirmation& row, const RowConfirmation& link) {
    if (!row.Has)
        return link;
    if (!link.Has)
        return row;
    const auto rank = [](ConfirmResult r) {
        switch (r) {
            case ConfirmResult::NotConfirmed:
                return 3;
            case ConfirmResult::Superseded:
                return 2;
            case ConfirmResult::Sent:
                return 1;
            case ConfirmResult::Confirmed:
                break;
        }
        return 0;
    };
    if (rank(link.Result) > rank(row.Result))
        return link;
    if (rank(link.Result) < rank(row.Result))
        return row;
    RowConfirmation r = row;
    r.Ms = std::max(row.Ms, link.Ms);
    return r;
}

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

namespace {
constexpr const char* kRoleNames[] = {"alone", "leader", "standby", "none"};
}  // namespace

const char* RoleName(ClusterRole r) {
    return kRoleNames[static_cast<size_t>(r)];
}

std::optional<ClusterRole> RoleFromName(std::string_view name) {
    for (size_t i = 0; i < std::size(kRoleNames); ++i)
        if (name == kRoleNames[i])
            return static_cast<ClusterRole>(i);
    return std::nullopt;
}

std::string RoleLine(const RoleState& r) {
    switch (r.Role) {
        case ClusterRole::Leader:
            return "Role: leader";
        case ClusterRole::Standby:
            return "Role: standby (leader: " + r.Leader + ")";
        case ClusterRole::NoLeader:
            return "Role: no leader (" + r.Reason + ")";
        case ClusterRole::Alone:
            break;
    }
    return "";
}

}  // namespace qtx::state
