#include "console/LowPriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <exception>
#include <thread>

#include "common/Limits.h"

namespace qtx::console {

namespace {

// Lowers the calling thread only: a thread may always lower its own priority, never raise it
// again, which is why the work gets a thread of its own and the worker keeps its priority.
void LowerThisThread() {
    sched_param none{};
    if (::sched_setscheduler(0, SCHED_IDLE, &none) == 0)
        return;
    // Without the idle class (some containers refuse it), the nice value of this thread alone.
    [[maybe_unused]] int ignored =
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), limits::ConsolePreviewNice);
}

}  // namespace

void RunAtLowPriority(const std::function<void()>& work) {
    std::exception_ptr failure;
    std::thread worker([&] {
        LowerThisThread();
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace qtx::console
