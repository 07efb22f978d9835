#pragma once
// The engine's state channel: a view that passes everything to the real window and also offers
// it to subscribers on the Unix-domain socket "qtx-automation.sock" in the program folder (owner
// and group only). A subscriber gets a snapshot of what the window shows on connect, then every
// change, one JSON object per line. Writes never block: each subscriber has a bounded queue, and
// one that falls behind by more than that is dropped.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/EventLoop.h"
#include "common/Limits.h"
#include "common/Variables.h"
#include "ui/MainWindow.h"
#include "ui/StateMessages.h"

namespace qtx {

class StateChannel : public MainWindow {
  public:
    static constexpr const char* kSocketName = state::kSocketName;
    static constexpr size_t kDefaultQueueLimit = limits::SubscriberQueueBytes;

    // inner: the real window (or the headless printer). appDir ends in "/".
    StateChannel(MainWindow& inner, EventLoop& loop, std::string appDir,
                 size_t queueLimit = kDefaultQueueLimit);
    ~StateChannel() override;
    StateChannel(const StateChannel&) = delete;
    StateChannel& operator=(const StateChannel&) = delete;

    // Opens the socket, replacing whatever else holds its name (a stale or foreign socket, a
    // link, a file), except a directory (false: no channel). Never throws.
    bool Open();
    bool IsOpen() const { return listenFd_ >= 0; }
    std::string SocketPath() const { return path_; }

    // The slave link is not shown by the window; following the engine's state lets the channel
    // report it (read at each status-bar update, that is, every tick).
    void FollowSlaveLink(const Variables& vars) { vars_ = &vars; }

    size_t SubscriberCount() const { return subscribers_.size(); }
    // Subscribers dropped for falling behind, since start.
    uint64_t DroppedCount() const { return dropped_; }

    void SetCaption(const std::string& caption) override;
    void SetIcon(int image) override;
    void ShowLinkState(state::LinkState link) override;
    bool IsMinimized() override { return inner_.IsMinimized(); }
    void Minimize() override { inner_.Minimize(); }
    void TrayModify() override { inner_.TrayModify(); }
    void TrayDelete() override { inner_.TrayDelete(); }
    void SetPanelText(int panel, const std::string& text) override;
    void ClearNextList() override;
    void AddNextRow(const std::string& day, const std::string& time,
                    const std::string& title) override;
    void ShowNextEvent(const NextEventRow& row) override;
    void SetHistoryColor(int32_t color) override;
    void AddHistoryRow(const std::string& day, const std::string& time,
                       const std::string& title) override;
    void ClearHistory() override;
    void ShowEventOutcome(const EventOutcome& outcome) override;
    void ShowConfirmOutcome(const ConfirmOutcome& outcome) override;
    void ShowAlarm(const AlarmNotice& alarm) override;
    void ShowRole(const state::RoleState& role) override;
    void ShowClaims(const state::ClaimCounts& claims) override;
    void ShowUnfinishedRun(const state::UnfinishedRun& run) override;
    MessageBoxAnswer ShowMessageBox(const std::string& text, const std::string& title,
                                    MessageBoxKind kind, MessageBoxButtons buttons) override;
    void HelpSetup(const std::string& helpFile) override { inner_.HelpSetup(helpFile); }
    void ShowHelpContext(int context) override { inner_.ShowHelpContext(context); }
    void HelpClose() override { inner_.HelpClose(); }
    void UnloadAllWindows() override { inner_.UnloadAllWindows(); }

  private:
    struct Row {
        std::string Day, Time, Title;      // UTF-8
        int16_t Number = 0, Weekday = -1;  // next rows
        int32_t Color = 0;
        state::Refusal Reason = state::Refusal::None;  // set by the outcome that follows the row
        bool Ran = true;
        int64_t LatenessMs = -1;
        bool HasOutcome = false;
        state::RowConfirmation Confirmation;  // history rows, once a link's confirmation ended
        std::string Detail;                   // the outcome's Detail, UTF-8
    };
    struct Subscriber {
        int Fd = -1;
        EventLoop::WatchId Watch = -1;
        std::string Pending;  // bytes not yet written
    };

    std::string Snapshot() const;
    void AddNext(Row r);
    void Publish(const std::string& line);
    void Accept();
    void Flush(int fd);
    void Drop(int fd);
    void Readable(int fd);
    void CheckSlaveLink();
    void Close();

    MainWindow& inner_;
    EventLoop& loop_;
    std::string path_;
    size_t queueLimit_;
    const Variables* vars_ = nullptr;
    int listenFd_ = -1;
    EventLoop::WatchId listenWatch_ = -1;
    std::map<int, Subscriber> subscribers_;
    uint64_t dropped_ = 0;

    // What the window shows, in UTF-8, for the snapshot.
    std::string caption_;
    state::LinkState link_ = state::LinkState::ServerNotConnected;
    int icon_ = 0;
    std::string panels_[3];
    std::vector<Row> next_;
    int32_t historyColor_ = 0;
    std::deque<Row> history_;
    bool slaveEnabled_ = false, slaveConnected_ = false, slaveSwitcher_ = false;
    // Alarms for the snapshot: active ones, then cleared ones (oldest first, the last 100).
    std::vector<std::pair<std::string, std::string>> activeAlarms_;  // id, stored form
    std::deque<std::string> clearedAlarms_;
    // The group: the role once one was shown (an engine alone has none), the claim counts, the
    // last unfinished runs reported.
    std::optional<state::RoleState> role_;
    state::ClaimCounts claims_;
    std::deque<state::UnfinishedRun> unfinished_;
};

}  // namespace qtx
