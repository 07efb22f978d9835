#pragma once
// The task-view refresh runs on a thread of its own, so a reload never holds up a due event.
// One refresh at a time: a request made while one runs replaces any request still waiting (the
// newest state of the live file wins). Faults are kept, with their location texts, until the
// engine's thread collects and reports them (the logs belong to that thread).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qtx {

// What one refresh needs: the live file, the copy, and the temporary file of the compaction.
struct TaskViewJob {
    std::string LivePath;
    std::string CopyPath;
    std::string TempPath;
};

// A fault met on the worker, to be reported on the engine's thread.
struct DiskFault {
    std::string Location;
    int32_t Number = 0;
    std::string Description;
};

// Writes or refreshes the copy and compacts it (CopyTaskViewDB, CompactTaskViewDB). Never
// throws: faults are returned. cancel stops a long statement soon after it becomes true.
std::vector<DiskFault> RefreshTaskView(const TaskViewJob& job, const std::atomic<bool>& cancel);

class TaskViewWorker {
  public:
    TaskViewWorker() = default;
    // Drops a waiting request, stops the running refresh at its next statement and waits for
    // the thread.
    ~TaskViewWorker();
    TaskViewWorker(const TaskViewWorker&) = delete;
    TaskViewWorker& operator=(const TaskViewWorker&) = delete;

    // Queues a refresh; the thread starts on first use.
    void Request(TaskViewJob job);
    // The faults of the refreshes finished since the last call, oldest first.
    std::vector<DiskFault> TakeFaults();
    // True while a refresh runs or waits.
    bool Busy();
    // Blocks until no refresh runs or waits.
    void WaitIdle();

  private:
    void Run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<TaskViewJob> waiting_;
    bool running_ = false;
    bool stopping_ = false;
    std::atomic<bool> cancel_{false};
    std::vector<DiskFault> faults_;
    std::thread thread_;
};

}  // namespace qtx
