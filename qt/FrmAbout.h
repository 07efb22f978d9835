#pragma once
// The About window: the addresses and ports in use, the log file's name, one lamp per link and
// the version. It only shows; every showing takes a fresh snapshot of the engine's values.
#include <QDialog>

#include "qt/EngineHooks.h"

class QLabel;
class QGroupBox;
class QPushButton;

namespace qtx {

class Lamp;

class FrmAbout : public QDialog {
    Q_OBJECT
  public:
    FrmAbout(QWidget* owner, EngineHooks& engine);

    // Fills the values, the version and the lamps from the engine's state.
    void Form_Activate();
    void cmdAboutquit_Click();

  signals:
    // The operator minimised this window (the main window takes the program into the tray).
    void Minimised();

  protected:
    void showEvent(QShowEvent* e) override;
    void changeEvent(QEvent* e) override;

  private:
    EngineHooks& engine_;
    QLabel* lblIPAddr_;
    QLabel* lblTcpPort_;
    QLabel* lblLogFile_;
    QLabel* lblSlaveIPAddr_;
    QLabel* lblSlaveIPPort_;
    QLabel* lblVersionInfo_;
    Lamp* shSwitcherStatus_;
    Lamp* shSlaveStatus_;
    QLabel* makerLines_[2];
};

}  // namespace qtx
