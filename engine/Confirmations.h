#pragma once
// Confirming crosspoint commands: after a take, sum on or sum off has gone out on a link, the
// link's take reports and map are watched until they show the crosspoint as asked. Nothing
// waits: each expectation has a timer on the engine's loop and is judged whenever a report or a
// map message for its output arrives.
//
// A take is confirmed by its report (or a map) within ConfirmWithin; when none has shown it by
// then, the link is asked once for its map and the map decides, or "no answer" when none comes
// within another ConfirmWithin. A sum is never reported by the switcher, so its link is asked
// for the map at once, with the same total wait (twice ConfirmWithin). Each link is confirmed
// on its own. A later command for the same output on the same link supersedes the earlier.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/EventLoop.h"
#include "common/Variables.h"
#include "logging/Logs.h"
#include "ui/MainWindow.h"

namespace qtx {

class TcpComm;

// The words of a not-confirmed outcome, as the error log and alarms give it:
// "Morning feed: take 3->1 not confirmed on link 0: output 1 shows source 5".
std::string NotConfirmedText(const ConfirmOutcome& o);
// The activity line: "Take Not Confirmed - In:0003-->Out:0001 - output 1 shows source 5"
// ("link 1: " before the reason on the slave link).
std::string NotConfirmedLine(const ConfirmOutcome& o);
// "Take Not Confirmed", "Sum On Not Confirmed", "Sum Off Not Confirmed".
std::string NotConfirmedLocation(state::CrosspointAction a);

class Confirmations {
  public:
    Confirmations(Variables& vars, Logs& logs, MainWindow& view, EventLoop& loop, TcpComm& tcp);
    ~Confirmations();
    Confirmations(const Confirmations&) = delete;
    Confirmations& operator=(const Confirmations&) = delete;

    // Off (the preview): nothing is expected and no outcome given.
    bool Enabled = true;
    // Called with every outcome after the view has it (the place alarms are raised from).
    std::function<void(const ConfirmOutcome&)> Ended;

    // After the crosspoint command of event e went out: one expectation per link it went to.
    // Outcomes are held from here until Release (the run's own outcome is shown first).
    void Expect(const AutomationEvent& e);
    void Release();
    // After a run whose actions the switcher never reports (salvo, relay, gain, message).
    void Sent(const AutomationEvent& e);
    // TcpComm's hook: the link's map entries first .. first + count - 1 were just set.
    void Shown(int16_t link, int16_t first, int16_t count, bool fromMap);

    size_t PendingCount() const { return pending_.size(); }

  private:
    using Key = std::pair<int16_t, int16_t>;  // link, 0-based destination
    struct Pending {
        ConfirmOutcome Outcome;
        std::chrono::steady_clock::time_point SentAt;
        bool Asked = false;  // the map was asked for
        // Maps asked for on the link before this command went out and not yet come: they show
        // the output as it was before, so they cannot refute it.
        int StaleMaps = 0;
        EventLoop::TimerId Timer = -1;
    };
    bool On() const { return Enabled && vars_.ConfirmWithinMs > 0; }
    bool LinkUp(int16_t link) const;
    // What the link's map shows for the pending output; true when it is as asked.
    bool Judge(Pending& p) const;
    void Arm(Key key, int ms);
    void Deadline(Key key);
    void AskMap(Pending& p);
    // Ends the expectation (removed first), then logs and reports its outcome.
    void Finish(Key key, state::ConfirmResult result, std::string reason, int16_t by = 0);
    // Logs and reports an outcome, or holds it while a run is being shown.
    void Deliver(const ConfirmOutcome& o);
    void Report(const ConfirmOutcome& o);

    Variables& vars_;
    Logs& logs_;
    MainWindow& view_;
    EventLoop& loop_;
    TcpComm& tcp_;
    std::map<Key, Pending> pending_;
    bool holding_ = false;
    std::vector<ConfirmOutcome> held_;
};

}  // namespace qtx
