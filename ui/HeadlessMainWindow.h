#pragma once
// The view of the headless engine: no window; state changes are printed as plain lines
// (caption, event count, next event, history rows, message boxes) for the journal.
#include <ostream>
#include <string>

#include "ui/MainWindow.h"

namespace qtx {

class HeadlessMainWindow : public MainWindow {
  public:
    explicit HeadlessMainWindow(std::ostream& out) : out_(out) {}

    void SetCaption(const std::string& caption) override;
    void SetIcon(int) override {}
    bool IsMinimized() override { return false; }
    void Minimize() override {}
    void TrayModify() override {}
    void TrayDelete() override {}
    void SetPanelText(int panel, const std::string& text) override;
    void ClearNextList() override {}
    void AddNextRow(const std::string& day, const std::string& time,
                    const std::string& title) override;
    void SetHistoryColor(int32_t color) override { historyColor_ = color; }
    void AddHistoryRow(const std::string& day, const std::string& time,
                       const std::string& title) override;
    void ClearHistory() override {}
    // There is nobody to answer: the box is printed and answered with OK.
    MessageBoxAnswer ShowMessageBox(const std::string& text, const std::string& title,
                                    MessageBoxKind kind, MessageBoxButtons buttons) override;
    void HelpSetup(const std::string&) override {}
    void ShowHelpContext(int) override {}
    void HelpClose() override {}
    void UnloadAllWindows() override {}
    void ShowRole(const state::RoleState& role) override;

  private:
    void Line(const std::string& text);

    std::ostream& out_;
    std::string caption_;
    std::string count_;
    std::string next_;
    std::string role_;
    int32_t historyColor_ = 0;
};

}  // namespace qtx
