#include "controller_thread.h"

#include "kernel/bugcheck.h"
#include "kernel/irql.h"

namespace sim {

ControllerThread::ControllerThread() : thread_([this] { Run(); }) {}

ControllerThread::~ControllerThread()
{
    {
        std::lock_guard lock(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ControllerThread::Post(std::function<void()> job)
{
    {
        std::lock_guard lock(lock_);
        jobs_.push_back(std::move(job));
        posted_++;
        // Under the lock: once it goes, the job may run and let the owner
        // destroy this object before a later notification would be made.
        changed_.notify_all();
    }
}

void ControllerThread::Flush()
{
    std::unique_lock lock(lock_);
    uint64_t target = posted_;
    changed_.wait(lock, [&] { return finished_ >= target; });
}

void ControllerThread::Run()
{
    std::unique_lock lock(lock_);
    for (;;) {
        changed_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
        if (jobs_.empty()) {
            return;
        }
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        {
            ScopedIrql dpc(DISPATCH_LEVEL);
            job();
            if (CurrentIrql() != DISPATCH_LEVEL) {
                BugCheck("IRQL_NOT_LESS_OR_EQUAL", "a completion routine returned at another IRQL than DISPATCH_LEVEL");
            }
        }
        lock.lock();
        finished_++;
        changed_.notify_all();
    }
}

}  // namespace sim
