#include "ui/HeadlessMainWindow.h"

#include "common/Text.h"

namespace qtx {

void HeadlessMainWindow::Line(const std::string& text) {
    out_ << Cp1252ToUtf8(text) << '\n';
    out_.flush();
}

void HeadlessMainWindow::SetCaption(const std::string& caption) {
    if (caption == caption_)
        return;
    caption_ = caption;
    Line("Caption: " + caption);
}

void HeadlessMainWindow::SetPanelText(int panel, const std::string& text) {
    // Only the event count; the date and time panels change every tick.
    if (panel != 1 || text == count_)
        return;
    count_ = text;
    Line("Events: " + text);
}

void HeadlessMainWindow::AddNextRow(const std::string& day, const std::string& time,
                                    const std::string& title) {
    const std::string row = day + " " + time + " " + title;
    if (row == next_)
        return;
    next_ = row;
    Line("Next: " + row);
}

void HeadlessMainWindow::AddHistoryRow(const std::string& day, const std::string& time,
                                       const std::string& title) {
    Line(std::string(historyColor_ == 0 ? "Ran: " : "Not run: ") + day + " " + time + " " + title);
}

void HeadlessMainWindow::ShowRole(const state::RoleState& role) {
    // The line is UTF-8 already (node names are plain; a reason may quote the group file).
    const std::string line = state::RoleLine(role);
    if (line.empty() || line == role_)
        return;
    role_ = line;
    out_ << line << '\n';
    out_.flush();
}

MessageBoxAnswer HeadlessMainWindow::ShowMessageBox(const std::string& text,
                                                    const std::string& title, MessageBoxKind,
                                                    MessageBoxButtons) {
    Line("Message: " + title + ": " + text);
    return MessageBoxAnswer::Ok;
}

}  // namespace qtx
