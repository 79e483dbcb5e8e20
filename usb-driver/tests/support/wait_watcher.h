// Lets a test wait, without sleeping, until another thread blocks on a
// given dispatcher object inside the simulated kernel, or until a given
// thread blocks in any wait (an application's Win32 waits are kernel waits).
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace bulkcom_test {

class WaitWatcher {
public:
    WaitWatcher();
    ~WaitWatcher();
    WaitWatcher(const WaitWatcher&) = delete;
    WaitWatcher& operator=(const WaitWatcher&) = delete;

    // Returns once threads have begun to block on the object `times` times
    // in all since the watcher was made.
    void WaitUntilBlockedOn(PVOID object, unsigned times = 1);

    // Returns once the thread has begun to block `times` times in all.
    void WaitUntilThreadBlocked(std::thread::id thread, unsigned times = 1);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<PVOID, unsigned> blocked_;
    std::map<std::thread::id, unsigned> threadsBlocked_;
};

}  // namespace bulkcom_test
