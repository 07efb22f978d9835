#include "qt/HelpViewer.h"

#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "qt/QtText.h"

namespace qtx {

HelpViewer::HelpViewer(QWidget* owner) : QWidget(owner, Qt::Window) {
    setObjectName(QStringLiteral("frmHelp"));
    setWindowTitle(QStringLiteral("QTX Automation Help"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    browser_ = new QTextBrowser(this);
    browser_->setOpenLinks(false);
    layout->addWidget(browser_);
    connect(browser_, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
        if (url.scheme() == QLatin1String("topic")) {
            bool ok = false;
            const int n = url.path().toInt(&ok);
            if (ok)
                Render(n);
        }
    });
    resize(520, 420);
}

void HelpViewer::ShowTopic(const std::string& helpFile, int context) {
    path_ = helpFile;
    file_ = HelpFile::Load(helpFile);
    Render(context);
    show();
    raise();
    activateWindow();
}

void HelpViewer::Render(int context) {
    current_ = context;
    if (!file_) {
        // The viewer reports a missing file itself; nothing else in the program depends on it.
        browser_->setHtml(QStringLiteral("<h2>Help not available</h2><p>The help file ") +
                          FromCp1252(HtmlEscape(path_)) +
                          QStringLiteral(" could not be opened.</p>"));
        return;
    }
    browser_->setHtml(QString::fromStdString(file_->TopicHtml(context)));
}

}  // namespace qtx
