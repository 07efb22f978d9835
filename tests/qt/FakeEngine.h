#pragma once
// An engine double for the window tests: it keeps the contract's calls to the view (the exit
// question through the view's message box; Form_Unload closing help and unloading windows).
#include <QApplication>
#include <QWidget>
#include <string>
#include <vector>

#include "ui/MainWindow.h"
#include "qt/EngineHooks.h"

namespace qtx::test {

class FakeEngine : public EngineHooks {
  public:
    explicit FakeEngine(MainWindow& view) : view_(view) {}
    void Form_Load() override {}
    bool Form_QueryUnload() override {
        ++questions;
        visibleAtQuestion.clear();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible())
                visibleAtQuestion.push_back(w->objectName().toStdString());
        return view_.ShowMessageBox("Exit?", "t", MessageBoxKind::Information,
                                    MessageBoxButtons::OkCancel) == MessageBoxAnswer::Cancel;
    }
    void Form_Unload() override {
        view_.HelpClose();
        view_.UnloadAllWindows();
    }
    void Form_Terminate() override { ++terminates; }
    bool ApplySetup(bool, const std::string&) override { return true; }
    bool Busy() const override { return busy; }
    Variables& Vars() override { return vars; }

    Variables vars;
    int questions = 0, terminates = 0;
    std::vector<std::string> visibleAtQuestion;
    bool busy = false;

  private:
    MainWindow& view_;
};

}  // namespace qtx::test
