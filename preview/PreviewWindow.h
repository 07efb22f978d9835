#pragma once
// The view the preview runs the engine with: it keeps what each execution became, at the moment
// of the tick that ran it, and the texts of the message boxes the engine showed (faults met at
// the start); everything else the engine shows is of no use to a preview and is let go.
#include <cstdint>
#include <string>
#include <vector>

#include "common/Variables.h"
#include "ui/MainWindow.h"

namespace qtx::schedule {

class PreviewWindow : public MainWindow {
  public:
    struct Seen {
        int64_t Moment;  // day number * 86400 + second of day, as the engine read the clock
        EventOutcome Outcome;
    };

    // Where the engine keeps the tick's day and second; set before the engine runs.
    const Variables* Vars = nullptr;
    std::vector<Seen> Outcomes;
    std::vector<std::string> MessageBoxTexts;

    void ShowEventOutcome(const EventOutcome& o) override {
        const int64_t moment = Vars ? Vars->CurrentDayNumber * 86400 + Vars->CurrentTime : 0;
        Outcomes.push_back({moment, o});
    }
    MessageBoxAnswer ShowMessageBox(const std::string& text, const std::string&, MessageBoxKind,
                                    MessageBoxButtons) override {
        MessageBoxTexts.push_back(text);
        return MessageBoxAnswer::Ok;
    }

    void SetCaption(const std::string&) override {}
    void SetIcon(int) override {}
    bool IsMinimized() override { return false; }
    void Minimize() override {}
    void TrayModify() override {}
    void TrayDelete() override {}
    void SetPanelText(int, const std::string&) override {}
    void ClearNextList() override {}
    void AddNextRow(const std::string&, const std::string&, const std::string&) override {}
    void SetHistoryColor(int32_t) override {}
    void AddHistoryRow(const std::string&, const std::string&, const std::string&) override {}
    void ClearHistory() override {}
    void HelpSetup(const std::string&) override {}
    void ShowHelpContext(int) override {}
    void HelpClose() override {}
    void UnloadAllWindows() override {}
};

}  // namespace qtx::schedule
