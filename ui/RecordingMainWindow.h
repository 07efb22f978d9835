#pragma once
// A view that records what the engine showed, for tests.
#include <deque>
#include <string>
#include <vector>

#include "ui/MainWindow.h"

namespace qtx {

struct ListRow {
    std::string Day, Time, Title;
    bool operator==(const ListRow&) const = default;
};

struct ShownMessageBox {
    std::string Text, Title;
    MessageBoxKind Kind;
    MessageBoxButtons Buttons;
};

class RecordingMainWindow : public MainWindow {
  public:
    void SetCaption(const std::string& caption) override { Caption = caption; }
    void SetIcon(int image) override { Icon = image; }
    bool IsMinimized() override { return Minimized; }
    void Minimize() override { Minimized = true; }
    void TrayModify() override {
        TrayIcon = Icon;
        ++TrayModifyCount;
    }
    void TrayDelete() override { ++TrayDeleteCount; }
    void SetPanelText(int panel, const std::string& text) override;
    void ClearNextList() override {
        NextRows.clear();
        NextEvents.clear();
    }
    void AddNextRow(const std::string& d, const std::string& t, const std::string& title) override {
        NextRows.push_back({d, t, title});
    }
    void SetHistoryColor(int32_t color) override { HistoryColor = color; }
    void AddHistoryRow(const std::string& d, const std::string& t,
                       const std::string& title) override {
        HistoryRows.push_back({d, t, title});
    }
    void ClearHistory() override { HistoryRows.clear(); }
    void ShowEventOutcome(const EventOutcome& outcome) override { Outcomes.push_back(outcome); }
    void ShowConfirmOutcome(const ConfirmOutcome& outcome) override {
        Confirmations.push_back(outcome);
    }
    void ShowLinkState(state::LinkState link) override { Link = link; }
    void ShowRole(const state::RoleState& role) override { Roles.push_back(role); }
    void ShowClaims(const state::ClaimCounts& claims) override { Claims = claims; }
    void ShowUnfinishedRun(const state::UnfinishedRun& run) override { Unfinished.push_back(run); }
    void ShowNextEvent(const NextEventRow& row) override {
        NextEvents.push_back(row);
        AddNextRow(row.Day, row.Time, row.Title);
    }
    MessageBoxAnswer ShowMessageBox(const std::string& text, const std::string& title,
                                    MessageBoxKind kind, MessageBoxButtons buttons) override;
    void HelpSetup(const std::string& helpFile) override { HelpFile = helpFile; }
    void ShowHelpContext(int context) override { HelpContexts.push_back(context); }
    void HelpClose() override { ++HelpCloseCount; }
    void UnloadAllWindows() override { ++UnloadCount; }

    std::string Caption;
    int Icon = 0;
    bool Minimized = false;
    int TrayIcon = 0;
    int TrayModifyCount = 0;
    int TrayDeleteCount = 0;
    std::string Panels[4];    // index 1 .. 3
    int PanelWrites[4] = {};  // how often each panel was written
    std::vector<ListRow> NextRows;
    std::vector<ListRow> HistoryRows;
    std::vector<EventOutcome> Outcomes;
    std::vector<ConfirmOutcome> Confirmations;
    std::vector<NextEventRow> NextEvents;
    state::LinkState Link = state::LinkState::ServerNotConnected;
    std::vector<state::RoleState> Roles;
    state::ClaimCounts Claims;
    std::vector<state::UnfinishedRun> Unfinished;
    int32_t HistoryColor = 0;
    std::vector<ShownMessageBox> MessageBoxes;
    std::deque<MessageBoxAnswer> Answers;  // answers to give, front first; Ok when empty
    std::string HelpFile;
    std::vector<int> HelpContexts;
    int HelpCloseCount = 0;
    int UnloadCount = 0;
};

}  // namespace qtx
