#pragma once
// The help window: shows one topic of the help file at a time, with links between topics.
// It is a top-level window owned by the main window, so it closes with it.
#include <QWidget>
#include <optional>
#include <string>

#include "qt/HelpFile.h"

class QTextBrowser;

namespace qtx {

class HelpViewer : public QWidget {
    Q_OBJECT
  public:
    explicit HelpViewer(QWidget* owner);

    // Reads the help file afresh (it may have been replaced) and shows the topic.
    void ShowTopic(const std::string& helpFile, int context);
    int CurrentTopic() const { return current_; }
    QTextBrowser* Browser() const { return browser_; }

  private:
    void Render(int context);

    QTextBrowser* browser_;
    std::optional<HelpFile> file_;
    std::string path_;
    int current_ = -1;
};

}  // namespace qtx
