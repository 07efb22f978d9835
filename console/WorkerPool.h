#pragma once
// A fixed number of threads running queued jobs, with a bounded queue. Stop runs what is still
// queued with stopping set (so each job can answer quickly) and joins the threads.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qtx::console {

class WorkerPool {
  public:
    using Job = std::function<void(bool stopping)>;

    WorkerPool(int threads, size_t maxQueued);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // False (and job is not run) when the queue is full or the pool has stopped.
    bool Submit(Job job);
    void Stop();

  private:
    void Work();

    size_t maxQueued_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace qtx::console
