// Cancelling the requests of one thread, as CancelIo and the end of a
// thread do, leaving alone those other threads issued; and the requests of
// one handle from any thread, or the one of an OVERLAPPED, as CancelIoEx does.

#include <thread>

#include "application_side.h"
#include "kernel/io_requests_in_flight.h"
#include "last_error.h"

namespace sim {

void EndApplicationThread()
{
    std::thread::id self = std::this_thread::get_id();
    for (const auto& request : CancelRequests([self](const FileRequest& r) { return r.issuer == self; })) {
        KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, nullptr);
    }
}

}  // namespace sim

extern "C" {

BOOL WINAPI CancelIo(HANDLE hFile)
{
    sim::FileReference file = sim::ReferenceFileByHandle(hFile);
    if (!file) {
        return sim::FailWithError(ERROR_INVALID_HANDLE);
    }
    std::thread::id self = std::this_thread::get_id();
    const sim::OpenFile* target = file.File().get();
    // Only asks for the cancellation; GetOverlappedResult tells when each
    // request has completed.
    sim::CancelRequests([self, target](const sim::FileRequest& r) { return r.issuer == self && r.target == target; });
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    sim::FileReference file = sim::ReferenceFileByHandle(hFile);
    if (!file) {
        return sim::FailWithError(ERROR_INVALID_HANDLE);
    }
    const sim::OpenFile* target = file.File().get();
    auto cancelled = sim::CancelRequests([target, lpOverlapped](const sim::FileRequest& r) {
        return r.target == target && (lpOverlapped == nullptr || r.report.overlapped == lpOverlapped);
    });
    if (cancelled.empty()) {
        return sim::FailWithError(ERROR_NOT_FOUND);
    }
    return TRUE;
}

}  // extern "C"
