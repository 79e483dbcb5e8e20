#include "support/wait_watcher.h"

#include "kernel/hooks.h"

namespace bulkcom_test {

WaitWatcher::WaitWatcher()
{
    sim::Hooks().waitBlocking = [this](PVOID object) {
        std::lock_guard guard(lock_);
        blocked_[object]++;
        threadsBlocked_[std::this_thread::get_id()]++;
        changed_.notify_all();
    };
}

WaitWatcher::~WaitWatcher()
{
    sim::Hooks().waitBlocking = nullptr;
}

void WaitWatcher::WaitUntilBlockedOn(PVOID object, unsigned times)
{
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return blocked_[object] >= times; });
}

void WaitWatcher::WaitUntilThreadBlocked(std::thread::id thread, unsigned times)
{
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return threadsBlocked_[thread] >= times; });
}

}  // namespace bulkcom_test
