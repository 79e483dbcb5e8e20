// The host controller's deferred work: one thread that runs posted jobs in
// order at DISPATCH_LEVEL, as a controller's DPC completes transfers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sim {

class ControllerThread {
public:
    ControllerThread();
    // Runs every job still queued, including those they post, then joins.
    ~ControllerThread();
    ControllerThread(const ControllerThread&) = delete;
    ControllerThread& operator=(const ControllerThread&) = delete;

    void Post(std::function<void()> job);
    // Returns once every job posted before the call has run. Not to be called
    // from a job.
    void Flush();

private:
    void Run();

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    uint64_t posted_ = 0;
    uint64_t finished_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace sim
