#include "engine/Confirmations.h"

#include <algorithm>

#include "common/Format.h"
#include "switcher/Frames.h"
#include "switcher/TcpComm.h"

namespace qtx {

namespace {

using state::ConfirmResult;
using state::CrosspointAction;

std::string ShowsText(int16_t destination, const std::vector<int16_t>& shows) {
    std::string out = "output " + std::to_string(destination) + " shows ";
    if (shows.empty())
        return out + "no source";
    out += shows.size() == 1 ? "source " : "sources ";
    for (size_t i = 0; i < shows.size(); ++i)
        out += (i ? ", " : "") + std::to_string(shows[i]);
    return out;
}

std::string LowerWords(CrosspointAction a) {
    switch (a) {
        case CrosspointAction::Take:
            return "take";
        case CrosspointAction::SumOn:
            return "sum on";
        case CrosspointAction::SumOff:
            break;
    }
    return "sum off";
}

}  // namespace

std::string NotConfirmedText(const ConfirmOutcome& o) {
    return o.Title + ": " + LowerWords(o.Action) + " " + std::to_string(o.Source) + "->" +
           std::to_string(o.Destination) + " not confirmed on link " + std::to_string(o.Link) +
           ": " + o.Reason;
}

std::string NotConfirmedLine(const ConfirmOutcome& o) {
    return NotConfirmedLocation(o.Action) + " - In:" + Format0000(o.Source) +
           "-->Out:" + Format0000(o.Destination) + " - " +
           (o.Link != 0 ? "link " + std::to_string(o.Link) + ": " : std::string()) + o.Reason;
}

std::string NotConfirmedLocation(CrosspointAction a) {
    return std::string(state::ActionWords(a)) + " Not Confirmed";
}

Confirmations::Confirmations(Variables& vars, Logs& logs, MainWindow& view, EventLoop& loop,
                             TcpComm& tcp)
    : vars_(vars), logs_(logs), view_(view), loop_(loop), tcp_(tcp) {}

Confirmations::~Confirmations() {
    for (auto& [key, p] : pending_)
        if (p.Timer >= 0)
            loop_.DeleteTimer(p.Timer);
}

bool Confirmations::LinkUp(int16_t link) const {
    return link == 0 ? vars_.ServerConnected && vars_.SwitcherConnected
                     : vars_.SlaveConnected && vars_.SlaveSwitcherConnected;
}

void Confirmations::Expect(const AutomationEvent& e) {
    try {
        if (!On() || e.xcontrol < 1 || e.xcontrol > 3 || e.DestChan < 1 || e.SourceChan < 1)
            return;
        holding_ = true;
        const auto action = static_cast<CrosspointAction>(e.xcontrol - 1);
        const int16_t links = vars_.SlaveEnabled ? 2 : 1;
        for (int16_t link = 0; link < links; ++link) {
            const Key key{link, static_cast<int16_t>(e.DestChan - 1)};
            if (pending_.count(key))
                Finish(key, ConfirmResult::Superseded,
                       "superseded by event " + std::to_string(e.Number), e.Number);
            Pending p;
            ConfirmOutcome& o = p.Outcome;
            o.Number = e.Number;
            o.Day = e.DayName;
            o.Time = e.Time;
            o.Title = e.Title;
            o.Link = link;
            o.Action = action;
            o.Source = e.SourceChan;
            o.Destination = e.DestChan;
            p.SentAt = std::chrono::steady_clock::now();
            for (const auto& [k, other] : pending_)
                if (k.first == link && other.Asked)
                    ++p.StaleMaps;
            Pending& stored = pending_[key] = std::move(p);
            // No report ever shows a sum: the map is asked for at once.
            if (action != CrosspointAction::Take) {
                AskMap(stored);
                Arm(key, 2 * vars_.ConfirmWithinMs);
            } else {
                Arm(key, vars_.ConfirmWithinMs);
            }
        }
    } catch (...) {
        logs_.ReportError("Error Confirming Crosspoint");
    }
}

void Confirmations::Sent(const AutomationEvent& e) {
    if (!On())
        return;
    ConfirmOutcome o;
    o.Number = e.Number;
    o.Day = e.DayName;
    o.Time = e.Time;
    o.Title = e.Title;
    o.Result = ConfirmResult::Sent;
    o.Reason = "sent";
    Deliver(o);
}

void Confirmations::Release() {
    holding_ = false;
    std::vector<ConfirmOutcome> held;
    held.swap(held_);
    for (const ConfirmOutcome& o : held)
        Deliver(o);
}

void Confirmations::Arm(Key key, int ms) {
    Pending& p = pending_.at(key);
    if (p.Timer >= 0)
        loop_.DeleteTimer(p.Timer);
    p.Timer = loop_.AddTimer(ms, -1, [this, key] { Deadline(key); });
}

void Confirmations::AskMap(Pending& p) {
    if (!LinkUp(p.Outcome.Link))
        return;  // nothing to ask: the deadline finds no answer
    p.Asked = true;
    tcp_.SendInfoRequest(frames::MapRequestSelector, p.Outcome.Link);
}

void Confirmations::Deadline(Key key) {
    try {
        auto it = pending_.find(key);
        if (it == pending_.end())
            return;
        Pending& p = it->second;
        loop_.DeleteTimer(p.Timer);  // a one-shot: the loop's timers repeat
        p.Timer = -1;
        if (!p.Asked && p.Outcome.Action == CrosspointAction::Take && LinkUp(key.first)) {
            AskMap(p);
            Arm(key, vars_.ConfirmWithinMs);
            return;
        }
        Finish(key, ConfirmResult::NotConfirmed, "no answer");
    } catch (...) {
        logs_.ReportError("Error Confirming Crosspoint");
    }
}

bool Confirmations::Judge(Pending& p) const {
    ConfirmOutcome& o = p.Outcome;
    const std::vector<CrosspointEntry>& map =
        o.Link == 0 ? vars_.CrosspointMap : vars_.SlaveCrosspointMap;
    const size_t d = static_cast<size_t>(o.Destination - 1);
    o.Shows.clear();
    if (d < map.size()) {
        const CrosspointEntry& entry = map[d];
        for (int j = 0; j < entry.SourceCount && static_cast<size_t>(j) < entry.Sources.size(); ++j)
            if (entry.Sources[static_cast<size_t>(j)] >= 0)
                o.Shows.push_back(static_cast<int16_t>(entry.Sources[static_cast<size_t>(j)] + 1));
    }
    o.Answered = true;
    const bool carries = std::find(o.Shows.begin(), o.Shows.end(), o.Source) != o.Shows.end();
    switch (o.Action) {
        case CrosspointAction::Take:
            return carries && o.Shows.size() == 1;
        case CrosspointAction::SumOn:
            return carries;
        case CrosspointAction::SumOff:
            break;
    }
    return !carries;
}

void Confirmations::Shown(int16_t link, int16_t first, int16_t count, bool fromMap) {
    try {
        if (pending_.empty())
            return;
        // The pending outputs of this link within the range, looked up rather than the range
        // walked: a map may cover thousands of outputs.
        std::vector<Key> ended;
        for (auto it = pending_.lower_bound({link, first});
             it != pending_.end() && it->first.first == link && it->first.second < first + count;
             ++it)
            ended.push_back(it->first);
        for (const Key& key : ended) {
            Pending& p = pending_.at(key);
            if (Judge(p))
                Finish(key, ConfirmResult::Confirmed, "");
            else if (fromMap && p.StaleMaps > 0)
                --p.StaleMaps;
            else if (fromMap && p.Asked)
                Finish(key, ConfirmResult::NotConfirmed,
                       ShowsText(p.Outcome.Destination, p.Outcome.Shows));
        }
    } catch (...) {
        logs_.ReportError("Error Confirming Crosspoint");
    }
}

void Confirmations::Finish(Key key, ConfirmResult result, std::string reason, int16_t by) {
    auto it = pending_.find(key);
    if (it == pending_.end())
        return;
    Pending p = std::move(it->second);
    pending_.erase(it);
    if (p.Timer >= 0)
        loop_.DeleteTimer(p.Timer);
    ConfirmOutcome& o = p.Outcome;
    o.Result = result;
    o.Reason = std::move(reason);
    o.SupersededBy = by;
    o.Ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 p.SentAt)
               .count();
    Deliver(o);
}

void Confirmations::Deliver(const ConfirmOutcome& o) {
    if (holding_) {
        held_.push_back(o);
        return;
    }
    if (o.Result == ConfirmResult::NotConfirmed) {
        logs_.WriteActivityLog(NotConfirmedLine(o));
        logs_.WriteErrorLog(NotConfirmedText(o), NotConfirmedLocation(o.Action));
    }
    Report(o);
}

void Confirmations::Report(const ConfirmOutcome& o) {
    try {
        view_.ShowConfirmOutcome(o);
    } catch (...) {
        logs_.ReportError("Error Showing Confirmation");
    }
    if (Ended) {
        try {
            Ended(o);
        } catch (...) {
            logs_.ReportError("Error Handling Confirmation");
        }
    }
}

}  // namespace qtx
