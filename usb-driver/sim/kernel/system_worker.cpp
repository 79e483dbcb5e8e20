#include "system_worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace sim {

namespace {

class SystemWorker {
public:
    SystemWorker() : thread_([this] { Run(); }) {}

    // Joined before the queue and the lock it uses are destroyed, at exit.
    ~SystemWorker()
    {
        {
            std::lock_guard lock(lock_);
            stopping_ = true;
        }
        queued_.notify_one();
        thread_.join();
    }

    SystemWorker(const SystemWorker&) = delete;
    SystemWorker& operator=(const SystemWorker&) = delete;

    void Queue(std::function<void()> work)
    {
        {
            std::lock_guard lock(lock_);
            work_.push_back(std::move(work));
        }
        queued_.notify_one();
    }

private:
    void Run()
    {
        std::unique_lock lock(lock_);
        for (;;) {
            queued_.wait(lock, [&] { return stopping_ || !work_.empty(); });
            if (work_.empty()) {
                return;
            }
            std::function<void()> work = std::move(work_.front());
            work_.pop_front();
            lock.unlock();
            work();
            lock.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable queued_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    // Last, so that it starts once everything it uses exists.
    std::thread thread_;
};

}  // namespace

void QueueSystemWork(std::function<void()> work)
{
    static SystemWorker worker;
    worker.Queue(std::move(work));
}

}  // namespace sim
