#include "qt/FrmSetup.h"

#include <QCheckBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "qt/QtText.h"
#include "qt/TwipLayout.h"

namespace qtx {

std::optional<QString> ChooseFolderWithDialog(QWidget* owner, const QString& prompt) {
    // Only existing file-system folders can be chosen, from the whole name space.
    const QString dir = QFileDialog::getExistingDirectory(
        owner, prompt, QDir::rootPath(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (dir.isEmpty())
        return std::nullopt;
    return dir;
}

const QString& FrmSetup::BrowsePrompt() {
    static const QString prompt = QStringLiteral(
        "Select the location to save Copy of Automation Database.  Automation Task View will use "
        "this File.");
    return prompt;
}

FrmSetup::FrmSetup(QWidget* mainWindow, EngineHooks& engine, FolderChooser chooser)
    : QDialog(mainWindow), engine_(engine), chooser_(std::move(chooser)), mainWindow_(mainWindow) {
    setObjectName(QStringLiteral("frmSetup"));
    setWindowTitle(QStringLiteral("Setup"));
    // The desktop's font; the layout grows with it.
    const TwipLayout layout(font());
    setFixedSize(layout.Px(4680), layout.Px(2715));
    // Modal for the main window only: the tray icon and its menu stay usable meanwhile.
    setWindowModality(Qt::WindowModal);

    chkMinimize_ = new QCheckBox(QStringLiteral("Minimize on Startup"), this);
    chkMinimize_->setObjectName(QStringLiteral("chkMinimize"));
    chkMinimize_->setGeometry(layout.Rect(360, 240, 2775, 375));

    auto* label = new QLabel(QStringLiteral("Automation Task Viewer Path"), this);
    label->setObjectName(QStringLiteral("lblTaskViewer"));
    label->setGeometry(layout.Rect(360, 960, 3495, 255));

    txtTaskView_ = new QLineEdit(this);
    txtTaskView_->setObjectName(QStringLiteral("txtTaskView"));
    txtTaskView_->setGeometry(layout.Rect(360, 1320, 2895, 375));

    auto* browse = new QPushButton(QStringLiteral("&Browse"), this);
    browse->setObjectName(QStringLiteral("cmdBrowse"));
    browse->setGeometry(layout.Rect(3360, 1320, 855, 375));
    browse->setAutoDefault(false);
    connect(browse, &QPushButton::clicked, this, &FrmSetup::cmdBrowse_Click);

    auto* ok = new QPushButton(QStringLiteral("&Ok"), this);
    ok->setObjectName(QStringLiteral("cmdOk"));
    ok->setGeometry(layout.Rect(360, 2040, 1215, 495));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &FrmSetup::cmdOk_Click);

    auto* cancel = new QPushButton(QStringLiteral("&Cancel"), this);
    cancel->setObjectName(QStringLiteral("cmdCancel"));
    cancel->setGeometry(layout.Rect(3000, 2040, 1215, 495));
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &FrmSetup::cmdCancel_Click);

    Form_Load();
}

void FrmSetup::Form_Load() {
    const Variables& v = engine_.Vars();
    chkMinimize_->setChecked(v.StartMinimized);
    txtTaskView_->setText(FromCp1252(v.TaskViewDir));
}

void FrmSetup::cmdBrowse_Click() {
    const std::optional<QString> chosen =
        chooser_ ? chooser_(mainWindow_, BrowsePrompt()) : std::nullopt;
    // A cancelled chooser gives an empty path, which empties the box.
    txtTaskView_->setText(chosen.value_or(QString()));
}

void FrmSetup::cmdOk_Click() {
    if (engine_.Busy()) {
        // An execution is running inside a wait; store once it has finished.
        QTimer::singleShot(50, this, &FrmSetup::cmdOk_Click);
        return;
    }
    if (engine_.ApplySetup(chkMinimize_->isChecked(), ToCp1252(txtTaskView_->text())))
        accept();
}

void FrmSetup::changeEvent(QEvent* e) {
    QDialog::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange && isMinimized())
        emit Minimised();
}

void FrmSetup::cmdCancel_Click() {
    reject();
}

}  // namespace qtx
