#pragma once
// The Setup window: start minimised, and the task viewer's folder. OK hands both to the engine,
// which stores them and reloads when the folder changed.
#include <QDialog>
#include <functional>
#include <optional>
#include <string>

#include "qt/EngineHooks.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace qtx {

// Shows a folder chooser owned by owner with the given prompt; nullopt when cancelled.
using FolderChooser = std::function<std::optional<QString>(QWidget* owner, const QString& prompt)>;
// The chooser of the desktop: a directory-only file dialog.
std::optional<QString> ChooseFolderWithDialog(QWidget* owner, const QString& prompt);

class FrmSetup : public QDialog {
    Q_OBJECT
  public:
    // mainWindow owns the folder chooser (the Setup window does not).
    FrmSetup(QWidget* mainWindow, EngineHooks& engine, FolderChooser chooser);

    static const QString& BrowsePrompt();

    void Form_Load();
    void cmdBrowse_Click();
    void cmdOk_Click();
    void cmdCancel_Click();

  signals:
    // The operator minimised this window (the main window takes the program into the tray).
    void Minimised();

  protected:
    void changeEvent(QEvent* e) override;

  private:
    EngineHooks& engine_;
    FolderChooser chooser_;
    QWidget* mainWindow_;
    QCheckBox* chkMinimize_;
    QLineEdit* txtTaskView_;
};

}  // namespace qtx
