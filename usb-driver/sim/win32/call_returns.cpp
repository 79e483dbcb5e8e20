#include "call_returns.h"

#include "events.h"
#include "last_error.h"
#include "status_mapping.h"

namespace sim {

namespace {

BOOL Finished(const IO_STATUS_BLOCK& result, LPDWORD bytesTransferred)
{
    if (bytesTransferred != nullptr) {
        *bytesTransferred = static_cast<DWORD>(IsErrorStatus(result.Status) ? 0 : result.Information);
    }
    if (!NT_SUCCESS(result.Status)) {
        return FailWithStatus(result.Status);
    }
    return TRUE;
}

}  // namespace

BOOL SendForCall(const std::shared_ptr<OpenFile>& file, UCHAR majorFunction, const RequestBuffers& buffers,
                 LPDWORD bytesTransferred, LPOVERLAPPED overlapped)
{
    FileObjectLock serialised(*file);
    if (overlapped == nullptr) {
        return Finished(AwaitFileRequest(StartFileRequest(file, majorFunction, buffers, {})), bytesTransferred);
    }
    CompletionReport report{overlapped, file};
    if (overlapped->hEvent != nullptr) {
        report.signalled = LookupHandleAs<EventObject>(overlapped->hEvent);
        if (report.signalled == nullptr) {
            return FailWithError(ERROR_INVALID_HANDLE);
        }
    }
    StartedRequest started = StartFileRequest(file, majorFunction, buffers, std::move(report));
    if (!file->overlapped) {
        return Finished(AwaitFileRequest(started), bytesTransferred);
    }
    if (started.returned == STATUS_PENDING) {
        return FailWithError(ERROR_IO_PENDING);
    }
    if (!NT_SUCCESS(started.returned)) {
        return FailWithStatus(started.returned);
    }
    // Completed at once: the completion has run.
    if (bytesTransferred != nullptr) {
        *bytesTransferred = static_cast<DWORD>(started.request->status.Information);
    }
    return TRUE;
}

}  // namespace sim
