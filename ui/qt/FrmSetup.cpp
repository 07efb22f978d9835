#include "ui/qt/FrmSetup.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "ui/qt/ClassicFont.h"
#include "ui/qt/QtText.h"

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
    setFont(ClassicFont());
    setFixedSize(Px(4680), Px(2715));
    setModal(true);

    chkMinimize_ = new QCheckBox(QStringLiteral("Minimize on Startup"), this);
    chkMinimize_->setObjectName(QStringLiteral("chkMinimize"));
    chkMinimize_->setGeometry(TwipRect(360, 240, 2775, 375));

    auto* label = new QLabel(QStringLiteral("Automation Task Viewer Path"), this);
    label->setObjectName(QStringLiteral("lblTaskViewer"));
    label->setGeometry(TwipRect(360, 960, 3495, 255));

    txtTaskView_ = new QLineEdit(this);
    txtTaskView_->setObjectName(QStringLiteral("txtTaskView"));
    txtTaskView_->setGeometry(TwipRect(360, 1320, 2895, 375));

    auto* browse = new QPushButton(QStringLiteral("&Browse"), this);
    browse->setObjectName(QStringLiteral("cmdBrowse"));
    browse->setGeometry(TwipRect(3360, 1320, 855, 375));
    browse->setAutoDefault(false);
    connect(browse, &QPushButton::clicked, this, &FrmSetup::cmdBrowse_Click);

    auto* ok = new QPushButton(QStringLiteral("&Ok"), this);
    ok->setObjectName(QStringLiteral("cmdOk"));
    ok->setGeometry(TwipRect(360, 2040, 1215, 495));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &FrmSetup::cmdOk_Click);

    auto* cancel = new QPushButton(QStringLiteral("&Cancel"), this);
    cancel->setObjectName(QStringLiteral("cmdCancel"));
    cancel->setGeometry(TwipRect(3000, 2040, 1215, 495));
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

void FrmSetup::cmdCancel_Click() {
    reject();
}

}  // namespace qtx
