#pragma once
// The main window on Qt: the two lists, the status bar, the menus, the tray icon, the help
// viewer and the exit path. It shows what the engine tells it and forwards the operator's
// commands to the engine; the engine itself runs on this window's thread through QtEventLoop.
#include <QByteArray>
#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <vector>

#include "qt/EngineHooks.h"
#include "qt/FrmSetup.h"
#include "ui/MainWindow.h"

class QDialog;
class QLabel;
class QMenu;
class QPushButton;
class QStatusBar;
class QTreeWidget;

namespace qtx {

class FrmAbout;
class HelpViewer;

class FrmMain : public QMainWindow, public MainWindow {
    Q_OBJECT
  public:
    explicit FrmMain(QWidget* parent = nullptr);
    ~FrmMain() override;

    void Attach(EngineHooks& engine) { engine_ = &engine; }
    // Starts the engine (its Form_Load) and then shows the window, or leaves it in the tray
    // when the engine minimised it at start-up.
    void Start();

    // The view the engine talks to.
    void SetCaption(const std::string& caption) override;
    void SetIcon(int image) override;
    bool IsMinimized() override;
    void Minimize() override;
    void TrayModify() override;
    void TrayDelete() override;
    void SetPanelText(int panel, const std::string& text) override;
    void ClearNextList() override;
    void AddNextRow(const std::string& day, const std::string& time,
                    const std::string& title) override;
    void SetHistoryColor(int32_t color) override;
    void AddHistoryRow(const std::string& day, const std::string& time,
                       const std::string& title) override;
    void ClearHistory() override;
    void ShowEventOutcome(const EventOutcome& outcome) override;
    void ShowConfirmOutcome(const ConfirmOutcome& outcome) override;
    // The role in a group of engines: in the notification-area icon's tooltip and the window's
    // own tooltip, so the caption and the status panels stay as they are.
    void ShowRole(const state::RoleState& role) override;
    MessageBoxAnswer ShowMessageBox(const std::string& text, const std::string& title,
                                    MessageBoxKind kind, MessageBoxButtons buttons) override;
    void HelpSetup(const std::string& helpFile) override { InitHelp(helpFile); }
    void ShowHelpContext(int context) override;
    void HelpClose() override { QuitHelp(); }
    void UnloadAllWindows() override;

    // The window's handlers.
    void Form_Resize();
    // The tray icon's mouse actions.
    void Form_MouseMove(QSystemTrayIcon::ActivationReason reason);
    void cmdClearList_Click();
    void mnuSetup_Click();
    void mnuContents_Click();
    void mnuAbout_Click();
    void mnuRestore_Click();
    void mnuExit_Click();

    // Help: the help file beside the program, a viewer window owned by this one.
    void InitHelp(const std::string& helpFileOrFolder);
    void QuitHelp();

    // Session log-out: asks the exit question when the session manager allows interaction.
    // Returns true when the operator cancelled and the log-out must be refused.
    bool CommitSession(bool interactionAllowed);

    // Where the window stands in its life: running, being unloaded, or ended.
    enum class State { Running, Unloading, Ended };
    State GetState() const { return state_; }
    bool InTray() const { return inTray_; }

    // Replaceable pieces of the desktop, for tests and for desktops without a tray.
    void SetTrayAvailable(std::function<bool()> available) {
        trayAvailable_ = std::move(available);
    }
    void SetFolderChooser(FolderChooser chooser) { chooser_ = std::move(chooser); }

    QSystemTrayIcon* Tray() const { return tray_; }
    QMenu* SysTrayMenu() const { return mnuSysTray_; }
    FrmAbout* About() const { return about_.get(); }
    FrmSetup* Setup() const { return setup_; }
    HelpViewer* Help() const { return help_; }
    const std::string& HelpFilePath() const { return helpFile_; }
    int CurrentIcon() const { return icon_; }

  signals:
    // The engine has been shut down; the application may quit.
    void Ended();

  protected:
    void changeEvent(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

  private:
    void BuildMenus();
    // Unloads the main window: the exit question, then the shutdown. False when cancelled.
    bool UnloadMainWindow();
    void Shutdown();
    void FinishExit();
    void HideIntoTray();
    void FitNextList();
    void ApplyHistoryColor();
    std::vector<QDialog*> OpenDialogs() const;
    void DialogMinimised(QDialog* dialog);
    bool Busy() const { return engine_ && engine_->Busy(); }

    EngineHooks* engine_ = nullptr;
    QLabel* lblHistory_ = nullptr;
    QPushButton* cmdClearList_;
    QTreeWidget* lvHistory_ = nullptr;
    QLabel* lblNext_;
    QTreeWidget* lvNext_;
    QStatusBar* statusBar1_;
    QLabel* panels_[3];
    QMenu* mnuSysTray_;
    QSystemTrayIcon* tray_;
    std::unique_ptr<FrmAbout> about_;
    FrmSetup* setup_ = nullptr;
    HelpViewer* help_ = nullptr;
    std::string helpFile_;
    int icon_ = 0;
    QString role_;              // the role line; empty for an engine alone
    int32_t historyColor_ = 0;  // 0x00BBGGRR as the engine gave it
    QByteArray trayGeometry_;   // where the window was when it went into the tray
    QPointer<QWidget> trayFocus_;
    State state_ = State::Running;
    bool started_ = false;
    bool startMinimized_ = false;
    bool inTray_ = false;
    std::function<bool()> trayAvailable_;
    FolderChooser chooser_;
};

}  // namespace qtx
