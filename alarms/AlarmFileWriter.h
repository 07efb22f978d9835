#pragma once
// Writes the alarm file on a thread of its own, so that a raise or a clear never waits on the
// disk (a synced write takes milliseconds, more on a busy disk, and the engine raises alarms on
// its tick). Only the newest list matters: a list handed over while an older one is still being
// written replaces the one waiting. The list waiting when the writer is destroyed is written
// before it returns, so a change made just before a stop is kept.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "alarms/AlarmStore.h"

namespace qtx::alarms {

class AlarmFileWriter {
  public:
    // errorLog(location, text) is called on the writer's thread, once until a write works again.
    using ErrorLog = std::function<void(const std::string& location, const std::string& text)>;
    AlarmFileWriter(std::string path, ErrorLog errorLog);
    ~AlarmFileWriter();
    AlarmFileWriter(const AlarmFileWriter&) = delete;
    AlarmFileWriter& operator=(const AlarmFileWriter&) = delete;

    // Hands the list over to be written; never waits on the disk.
    void Write(AlarmList list);
    // Waits until every list handed over so far is written (for tests and orderly stops).
    void Flush();

  private:
    void Run();

    std::string path_;
    ErrorLog errorLog_;
    std::mutex mutex_;
    std::condition_variable wake_, written_;
    std::optional<AlarmList> waiting_;
    bool writing_ = false;
    bool stopping_ = false;
    bool failing_ = false;
    std::thread thread_;
};

}  // namespace qtx::alarms
