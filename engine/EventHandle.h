#pragma once
// The scheduler's event procedures: choosing and showing the next event, executing it, and
// consuming skip and one-time markings.
#include <cstdint>

#include "common/Clock.h"
#include "common/Variables.h"
#include "logging/Logs.h"
#include "ui/MainWindow.h"

namespace qtx {

class DBEngine;
class TcpComm;
class MessageEvents;

class EventHandle {
  public:
    EventHandle(Variables& vars, Logs& logs, MainWindow& view, Clock& clock, DBEngine& db,
                TcpComm& tcp, MessageEvents& messages)
        : v_(vars),
          logs_(logs),
          view_(view),
          clock_(clock),
          db_(db),
          tcp_(tcp),
          messages_(messages) {}

    // Index of the first timed event still to come this week (0 when none). Never throws.
    int16_t DetermineNextEvent();
    // Rewrites the "Next Event to Run" list from the record at NextEventIndex. Never throws.
    void DisplayNextEvent();
    // Executes the due event at NextEventIndex, then every following event already due.
    void ExecuteEvent();
    // Active 2: marks every row and record of the current event active again.
    void UpdateSkipEvent();
    // Active 3: deletes every row of the current event and its record in the table.
    void DeleteOneTimeEvent();

  private:
    // One execution; returns true when the next record is due as well (the chain).
    bool ExecuteOne();
    const AutomationEvent& Current() const;
    bool CrosspointIsOn(const AutomationEvent& e) const;
    void Advance();
    int64_t LatenessMs() const;
    bool NextIsDueInChain() const;

    Variables& v_;
    Logs& logs_;
    MainWindow& view_;
    Clock& clock_;
    DBEngine& db_;
    TcpComm& tcp_;
    MessageEvents& messages_;
};

}  // namespace qtx
