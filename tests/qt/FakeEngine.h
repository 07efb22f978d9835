#pragma once
// An engine double for the window tests: it keeps the contract's calls to the view (the exit
// question through the view's message box, Form_Unload closing help and unloading windows) and
// records what the window asked of it.
#include <QApplication>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "ui/MainWindow.h"
#include "ui/qt/EngineHooks.h"

namespace qtx::test {

class FakeEngine : public EngineHooks {
  public:
    explicit FakeEngine(MainWindow& view) : view_(view) {}

    void Form_Load() override {
        ++loads;
        if (onLoad)
            onLoad();
    }
    bool Form_QueryUnload() override {
        ++questions;
        visibleWindowsAtQuestion.clear();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible())
                visibleWindowsAtQuestion.push_back(w->objectName().toStdString());
        return view_.ShowMessageBox("Do You Wish To Exit?", " Confirm Exit",
                                    MessageBoxKind::Information,
                                    MessageBoxButtons::OkCancel) == MessageBoxAnswer::Cancel;
    }
    void Form_Unload() override {
        ++unloads;
        view_.HelpClose();
        view_.UnloadAllWindows();
    }
    void Form_Terminate() override {
        ++terminates;
        view_.TrayDelete();
    }
    bool ApplySetup(bool startMinimized, const std::string& taskViewText) override {
        setups.push_back({startMinimized, taskViewText});
        return setupSucceeds;
    }
    bool Busy() const override { return busy; }
    Variables& Vars() override { return vars; }

    struct SetupCall {
        bool StartMinimized;
        std::string TaskView;
    };
    Variables vars;
    std::function<void()> onLoad;
    int loads = 0, questions = 0, unloads = 0, terminates = 0;
    std::vector<std::string> visibleWindowsAtQuestion;
    std::vector<SetupCall> setups;
    bool setupSucceeds = true;
    bool busy = false;

  private:
    MainWindow& view_;
};

}  // namespace qtx::test
