#include "power_watchdog.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "kernel/bugcheck.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

class PowerWatchdog {
public:
    PowerWatchdog() : thread_([this] { Run(); }) {}

    // Joined before the lock and the table it uses are destroyed, at exit.
    ~PowerWatchdog()
    {
        {
            std::lock_guard lock(lock_);
            stopping_ = true;
        }
        changed_.notify_one();
        thread_.join();
    }

    PowerWatchdog(const PowerWatchdog&) = delete;
    PowerWatchdog& operator=(const PowerWatchdog&) = delete;

    void SetLimit(std::chrono::milliseconds limit)
    {
        {
            std::lock_guard lock(lock_);
            limit_ = limit;
        }
        changed_.notify_one();
    }

    void Watch(PIRP irp)
    {
        {
            std::lock_guard lock(lock_);
            sent_[irp] = Clock::now();
        }
        changed_.notify_one();
    }

    void Forget(PIRP irp)
    {
        std::lock_guard lock(lock_);
        sent_.erase(irp);
    }

    void Reset()
    {
        {
            std::lock_guard lock(lock_);
            sent_.clear();
            limit_ = DefaultPowerWatchdogLimit;
        }
        changed_.notify_one();
    }

private:
    void Run()
    {
        std::unique_lock lock(lock_);
        while (!stopping_) {
            if (sent_.empty()) {
                changed_.wait(lock);
                continue;
            }
            auto oldest = std::min_element(sent_.begin(), sent_.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
            Clock::time_point deadline = oldest->second + limit_;
            if (Clock::now() >= deadline) {
                PIRP irp = oldest->first;
                std::string limit = std::to_string(limit_.count());
                lock.unlock();
                BugCheck("DRIVER_POWER_STATE_FAILURE",
                         "a power request has been held longer than the watchdog allows (" + limit + " ms)", irp);
            }
            changed_.wait_until(lock, deadline);
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::map<PIRP, Clock::time_point> sent_;
    std::chrono::milliseconds limit_ = DefaultPowerWatchdogLimit;
    bool stopping_ = false;
    // Last, so that it starts once everything it uses exists.
    std::thread thread_;
};

PowerWatchdog& Watchdog()
{
    static PowerWatchdog watchdog;
    return watchdog;
}

}  // namespace

void SetPowerWatchdogLimit(std::chrono::milliseconds limit)
{
    Watchdog().SetLimit(limit);
}

void WatchPowerIrp(PIRP irp)
{
    Watchdog().Watch(irp);
}

void ForgetPowerIrp(PIRP irp)
{
    Watchdog().Forget(irp);
}

void ResetPowerWatchdog()
{
    Watchdog().Reset();
}

}  // namespace sim
