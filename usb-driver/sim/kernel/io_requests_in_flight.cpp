#include "io_requests_in_flight.h"

#include <map>
#include <mutex>

#include "irp.h"

namespace sim {

namespace {

// A canceller holds a request across IoCancelIrp, so that a completion
// running meanwhile in another thread does not free it under IoCancelIrp:
// whoever lets go of it last frees it.
struct Entry {
    std::shared_ptr<FileRequest> request;
    unsigned cancellers = 0;
    bool completed = false;
};

std::mutex requestsLock;
std::map<const FileRequest*, Entry> requests;

}  // namespace

void TrackRequest(std::shared_ptr<FileRequest> request)
{
    std::lock_guard lock(requestsLock);
    const FileRequest* key = request.get();
    requests[key] = Entry{std::move(request)};
}

bool UntrackRequest(const FileRequest& request)
{
    std::lock_guard lock(requestsLock);
    auto found = requests.find(&request);
    if (found->second.cancellers != 0) {
        found->second.completed = true;
        return false;
    }
    requests.erase(found);
    return true;
}

std::vector<std::shared_ptr<FileRequest>> CancelRequests(const std::function<bool(const FileRequest& request)>& selects)
{
    std::vector<std::shared_ptr<FileRequest>> chosen;
    {
        std::lock_guard lock(requestsLock);
        for (auto& [key, entry] : requests) {
            if (!entry.completed && selects(*entry.request)) {
                entry.cancellers++;
                chosen.push_back(entry.request);
            }
        }
    }
    // The I/O manager cancels from a kernel APC or with APCs disabled, so a
    // cancel routine goes on at APC_LEVEL once it lets the cancel spin lock go.
    KIRQL irql;
    KeRaiseIrql(APC_LEVEL, &irql);
    for (const auto& request : chosen) {
        IoCancelIrp(request->irp);
    }
    KeLowerIrql(irql);
    std::vector<PIRP> finished;
    {
        std::lock_guard lock(requestsLock);
        for (const auto& request : chosen) {
            auto found = requests.find(request.get());
            if (--found->second.cancellers == 0 && found->second.completed) {
                finished.push_back(request->irp);
                requests.erase(found);
            }
        }
    }
    for (PIRP irp : finished) {
        FreeKernelIrp(irp);
    }
    return chosen;
}

void ForgetRequestsInFlight()
{
    std::lock_guard lock(requestsLock);
    for (auto& [key, entry] : requests) {
        entry.request->file.Abandon();
    }
    requests.clear();
}

}  // namespace sim
