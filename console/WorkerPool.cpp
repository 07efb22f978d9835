#include "console/WorkerPool.h"

namespace qtx::console {

WorkerPool::WorkerPool(int threads, size_t maxQueued) : maxQueued_(maxQueued) {
    for (int i = 0; i < threads; ++i)
        threads_.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool() {
    Stop();
}

bool WorkerPool::Submit(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || jobs_.size() >= maxQueued_)
            return false;
        jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
    return true;
}

void WorkerPool::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable())
            t.join();
}

void WorkerPool::Work() {
    for (;;) {
        Job job;
        bool stopping = false;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            stopping = stopping_;
        }
        job(stopping);
    }
}

}  // namespace qtx::console
