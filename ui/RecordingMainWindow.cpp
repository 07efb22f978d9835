#include "ui/RecordingMainWindow.h"

namespace qtx {

void RecordingMainWindow::SetPanelText(int panel, const std::string& text) {
    if (panel < 1 || panel > 3)
        return;
    Panels[panel] = text;
    ++PanelWrites[panel];
}

MessageBoxAnswer RecordingMainWindow::ShowMessageBox(const std::string& text,
                                                     const std::string& title, MessageBoxKind kind,
                                                     MessageBoxButtons buttons) {
    MessageBoxes.push_back({text, title, kind, buttons});
    if (Answers.empty())
        return MessageBoxAnswer::Ok;
    const MessageBoxAnswer a = Answers.front();
    Answers.pop_front();
    return a;
}

}  // namespace qtx
