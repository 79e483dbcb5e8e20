// The driver's own thread, completing a held request while the application
// waits for it: it starts once the request is held and the thread that made
// it has blocked, so the completion always finds the caller waiting.
#pragma once

#include <functional>
#include <thread>

#include "sim/support/held_requests.h"
#include "support/wait_watcher.h"

namespace bulkcom_test {

class DriverThread {
public:
    DriverThread(HeldRequests& held, std::function<void()> complete)
        : thread_([this, &held, application = std::this_thread::get_id(), complete = std::move(complete)] {
              held.WaitUntilHeld(1);
              watcher_.WaitUntilThreadBlocked(application);
              complete();
          })
    {
    }

    ~DriverThread()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    DriverThread(const DriverThread&) = delete;
    DriverThread& operator=(const DriverThread&) = delete;

    void Join() { thread_.join(); }

private:
    WaitWatcher watcher_;
    std::thread thread_;
};

}  // namespace bulkcom_test
