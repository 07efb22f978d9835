#include "database/TaskViewWorker.h"

#include <utility>

namespace qtx {

TaskViewWorker::~TaskViewWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        waiting_.reset();
        cancel_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void TaskViewWorker::Request(TaskViewJob job) {
    {
        std::lock_guard lock(mutex_);
        waiting_ = std::move(job);
        if (!thread_.joinable())
            thread_ = std::thread([this] { Run(); });
    }
    changed_.notify_all();
}

std::vector<DiskFault> TaskViewWorker::TakeFaults() {
    std::lock_guard lock(mutex_);
    return std::exchange(faults_, {});
}

bool TaskViewWorker::Busy() {
    std::lock_guard lock(mutex_);
    return running_ || waiting_.has_value();
}

void TaskViewWorker::WaitIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !running_ && !waiting_; });
}

void TaskViewWorker::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || waiting_.has_value(); });
        if (stopping_)
            return;
        TaskViewJob job = std::move(*waiting_);
        waiting_.reset();
        running_ = true;
        lock.unlock();
        std::vector<DiskFault> found = RefreshTaskView(job, cancel_);
        lock.lock();
        running_ = false;
        faults_.insert(faults_.end(), found.begin(), found.end());
        changed_.notify_all();
    }
}

}  // namespace qtx
