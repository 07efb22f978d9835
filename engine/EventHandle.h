#pragma once
// The scheduler's event procedures: choosing and showing the next event, executing it, and
// consuming skip and one-time markings.
//
// The rule: every record with a time and a weekday runs once per weekly occurrence. The record
// at NextEventIndex waits for one moment, NextDueAt; the tick runs it when the wall clock has
// reached that moment (late, at the next tick, when the second was not seen), and the advance
// gives the following record its moment in the same week, or in the next week once the table
// wraps. So the chain never comes back to a record it ran, a repeated wall-clock hour runs
// nothing twice, and a skipped one runs its records once, at the jump.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "cluster/RunGate.h"
#include "common/Clock.h"
#include "common/Variables.h"
#include "logging/Logs.h"
#include "schedule/DateRules.h"
#include "ui/MainWindow.h"

namespace qtx {

class DBEngine;
class TcpComm;
class MessageEvents;
class Confirmations;

class EventHandle {
  public:
    // Told of every crosspoint command sent and of runs with nothing to confirm; none: no
    // confirmation.
    Confirmations* Confirming = nullptr;
    // The engine's group of engines; none: the engine runs alone and asks nobody.
    cluster::RunGate* Gate = nullptr;
    // The leader's claims by outcome (shown to the view after each).
    state::ClaimCounts Claims;

    EventHandle(Variables& vars, Logs& logs, MainWindow& view, Clock& clock, DBEngine& db,
                TcpComm& tcp, MessageEvents& messages)
        : v_(vars),
          logs_(logs),
          view_(view),
          clock_(clock),
          db_(db),
          tcp_(tcp),
          messages_(messages) {}

    // Reads every record's Time once after a load; a time the engine cannot read is reported
    // once, naming the event, and the record is passed over as one without a time. Reads the
    // events' date rules and calendars (a fault there is reported and the events run without
    // them, as an event without rules does). Then applies the pending markings again to a table
    // freshly read from the file. tableRead false (the load faulted and the last table runs on):
    // the rules of that table run on with it.
    void PrepareTable(bool tableRead = true);
    // Index of the first timed event still to come this week (when none, the first event of next
    // week); also sets NextDueAt to its moment. Never throws.
    int16_t DetermineNextEvent();
    // Rewrites the "Next Event to Run" list from the record at NextEventIndex. Never throws.
    void DisplayNextEvent();
    // True when the record at NextEventIndex is due at the current tick's moment. An occurrence
    // more than kLatestRun late is passed over (reported) and the next event chosen afresh.
    bool NextEventIsDue();
    // Executes the due event at NextEventIndex, then every following event already due.
    void ExecuteEvent();
    // Active 2: marks every row and record of the current event active again.
    void UpdateSkipEvent();
    // Active 3: deletes every row of the current event and its record in the table.
    void DeleteOneTimeEvent();
    // Both consume the marking in the table even when the file cannot be written; the write is
    // then kept (Variables::PendingMarkings, one error entry) and made by this, the database
    // watch's first step, at the next chance. Never throws.
    void WritePendingMarkings();

    // Sees each execution's outcome after the view (the engine's alarms).
    std::function<void(const EventOutcome&)> OutcomeSeen;

  private:
    // The occurrence last refused a claim for want of leadership: a held occurrence is tried
    // at every tick, and counted once.
    std::optional<cluster::Occurrence> notLeaderAt_;
    // After a table read: applies each pending marking again to its event when the event's
    // records are as they were when it was consumed, and drops it otherwise.
    void ReapplyPendingMarkings();
    // One execution; returns true when the next record is due as well (the chain).
    bool ExecuteOne();
    // With a group: what this member does with the occurrence of (at moment), whose run would
    // consume the marking consumes (see GroupGate.cpp).
    enum class GateWord { Run, Passed, Hold };
    GateWord AskGate(const cluster::Occurrence& of, int64_t moment, cluster::Marking consumes);
    // The occurrence was run by another member: its marking applied here, a history row.
    void PassRunElsewhere(const cluster::ClaimRecord& claim, int64_t moment);
    // After an occurrence was done with (run, refused or passed): the pointer moves on; true when
    // the next record is due as well.
    bool MoveOn(int64_t moment);
    const AutomationEvent& Current() const;
    bool CrosspointIsOn(const AutomationEvent& e) const;
    // Moves to the next record with a weekly occurrence after the one run at moment ranAt.
    void Advance(int64_t ranAt);
    int64_t NowMoment() const;
    bool AlreadyRan(const AutomationEvent& r, int64_t moment) const;
    void RecordRun(const AutomationEvent& r, int64_t moment);
    int64_t LatenessMs(int64_t moment) const;

    Variables& v_;
    Logs& logs_;
    MainWindow& view_;
    Clock& clock_;
    DBEngine& db_;
    TcpComm& tcp_;
    MessageEvents& messages_;
    // The date rules' word on an occurrence of the current record at moment, started
    // latenessMs after its second: its dates, week and calendars, then its latest.
    schedule::Judgement JudgeDates(int64_t moment, int64_t latenessMs) const;
    void LoadDateRules();

    schedule::DateBook dates_;  // the rules of the events loaded last
    size_t pruneAt_ = 1024;     // size of RunOccurrences at which old entries are next dropped
};

}  // namespace qtx
