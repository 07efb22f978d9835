#pragma once
// The view the engine talks to: everything the engine shows or asks through the main window.
// Texts are 8-bit (Windows-1252); a view that shows them converts at its own boundary.
#include <cstdint>
#include <string>
#include <vector>

#include "ui/StateMessages.h"

namespace qtx {

enum class MessageBoxKind { Information, Critical };
enum class MessageBoxButtons { Ok, OkCancel };
enum class MessageBoxAnswer { Ok = 1, Cancel = 2 };

// What became of one execution, for views that keep more than the history row (the state
// channel, metrics). Reason is None when the event ran; otherwise the first check that refused
// it (state::RefusalText gives its words).
struct EventOutcome {
    int16_t Number = 0;
    std::string Day, Time, Title;
    bool Ran = false;
    state::Refusal Reason = state::Refusal::None;
    int64_t LatenessMs = -1;  // from the event's second to the start of its execution; -1 unknown
    // The refusal in words when they say more than RefusalText ("Holiday Christmas Day (uk)",
    // "Too late (due 06:00:00)"); empty otherwise.
    std::string Detail;
};

// How one crosspoint command of a run ended on one link: confirmed (the switcher showed the
// crosspoint as asked, after Ms), not confirmed (Reason says what it shows instead, or "no
// answer"), superseded by a later command for the same output, or sent (nothing to confirm).
struct ConfirmOutcome {
    int16_t Number = 0;  // the run's event
    std::string Day, Time, Title;
    int16_t Link = 0;  // 0 the server, 1 the slave
    state::CrosspointAction Action = state::CrosspointAction::Take;
    int16_t Source = 0, Destination = 0;  // from 1, as in events
    state::ConfirmResult Result = state::ConfirmResult::Sent;
    bool Confirmed() const { return Result == state::ConfirmResult::Confirmed; }
    int64_t Ms = -1;             // from the send to the report or map that ended it
    std::string Reason;          // "output 1 shows source 5", "no answer", "superseded by event 7"
    bool Answered = false;       // a map (or report) was judged: Shows is what the output carries
    std::vector<int16_t> Shows;  // from 1
    int16_t SupersededBy = 0;    // the later event's number
};

// An alarm raised or cleared, for views that pass alarms on (the state channel). Stored is the
// alarm's stored form as one JSON object (alarms/AlarmStore.h); Active is false once cleared.
struct AlarmNotice {
    std::string Id;
    bool Active = true;
    std::string Stored;
};

// The event the engine waits for, as the "Next Event to Run" list shows it. Number 0 and Weekday
// -1 for the "No Events" row.
struct NextEventRow {
    int16_t Number = 0;
    int16_t Weekday = -1;  // the record's Day: 0 Monday .. 6 Sunday
    std::string Day, Time, Title;
};

class MainWindow {
  public:
    virtual ~MainWindow() = default;

    // Caption and window icon (image 1 connected, 2 not connected).
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void SetIcon(int image) = 0;
    // The link state the next caption shows, as a value (ShowLink calls it before the caption);
    // views that show only the caption ignore it.
    virtual void ShowLinkState(state::LinkState link) { (void)link; }

    // Window state and the notification-area icon.
    virtual bool IsMinimized() = 0;
    virtual void Minimize() = 0;
    // Copies the current window icon into the tray icon and modifies it.
    virtual void TrayModify() = 0;
    virtual void TrayDelete() = 0;

    // Status bar, panels numbered from 1.
    virtual void SetPanelText(int panel, const std::string& text) = 0;

    // "Next Event to Run" list.
    virtual void ClearNextList() = 0;
    virtual void AddNextRow(const std::string& day, const std::string& time,
                            const std::string& title) = 0;
    // The engine's way in: the row with the values behind it. Views that show only the texts
    // keep this default.
    virtual void ShowNextEvent(const NextEventRow& row) {
        AddNextRow(row.Day, row.Time, row.Title);
    }

    // "Event History" list, with one text colour for the whole list (0x00BBGGRR).
    virtual void SetHistoryColor(int32_t color) = 0;
    virtual void AddHistoryRow(const std::string& day, const std::string& time,
                               const std::string& title) = 0;
    virtual void ClearHistory() = 0;
    // Called after each execution's history row; views that need nothing more ignore it.
    virtual void ShowEventOutcome(const EventOutcome& outcome) { (void)outcome; }
    // Called when a run's confirmation on a link has ended (after its outcome).
    virtual void ShowConfirmOutcome(const ConfirmOutcome& outcome) { (void)outcome; }
    // An alarm raised or cleared; views that do not pass alarms on ignore it.
    virtual void ShowAlarm(const AlarmNotice& alarm) { (void)alarm; }
    // The engine's role in its group of engines, when it changed (never for an engine alone).
    virtual void ShowRole(const state::RoleState& role) { (void)role; }
    // The leader's claims by outcome, after each claim.
    virtual void ShowClaims(const state::ClaimCounts& claims) { (void)claims; }
    // A run another member claimed and never finished (reported, never run again).
    virtual void ShowUnfinishedRun(const state::UnfinishedRun& run) { (void)run; }

    // A modal message box; returns the button chosen.
    virtual MessageBoxAnswer ShowMessageBox(const std::string& text, const std::string& title,
                                            MessageBoxKind kind, MessageBoxButtons buttons) = 0;

    // Help: set-up with the help file's path, show a topic, close the help window.
    virtual void HelpSetup(const std::string& helpFile) = 0;
    virtual void ShowHelpContext(int context) = 0;
    virtual void HelpClose() = 0;

    // Unloads every window of the program (last to first); the main window's unload asks the
    // exit question, so this may return with the main window still loaded.
    virtual void UnloadAllWindows() = 0;
};

}  // namespace qtx

namespace qtx {

// Sets the caption and the window icon together; while the window is minimised (it then lives in
// the notification area) the tray icon follows.
inline void ShowCaptionAndIcon(MainWindow& view, const std::string& caption, int image) {
    view.SetCaption(caption);
    view.SetIcon(image);
    if (view.IsMinimized())
        view.TrayModify();
}

// Shows the link state: its value to the views that keep it, then its caption and icon.
void ShowLink(MainWindow& view, state::LinkState link);

}  // namespace qtx
