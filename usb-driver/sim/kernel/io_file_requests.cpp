#include "io_file_requests.h"

#include <atomic>

#include "bugcheck.h"
#include "io_requests_in_flight.h"
#include "irp.h"
#include "irql.h"
#include "status_names.h"

namespace sim {

namespace {

ULONG_PTR StatusAsInternal(NTSTATUS status)
{
    return static_cast<ULONG_PTR>(static_cast<ULONG>(status));
}

// The I/O manager's end of a request, run by the thread that completed it,
// maybe at DISPATCH_LEVEL. Everything the caller can observe comes last, so
// that once it sees the completion the request is freed and its reference
// to the file dropped.
void Complete(FileRequest& request, PIRP irp)
{
    if (request.finish) {
        request.finish(irp);
    }
    IO_STATUS_BLOCK status = irp->IoStatus;
    // A request that failed without ever being pending reports only through
    // the result of the call that sent it: the OVERLAPPED and the event are
    // left as they are.
    bool report = irp->PendingReturned || !IsErrorStatus(status.Status);
    if (UntrackRequest(request)) {
        FreeKernelIrp(irp);
    }
    request.file.ReleaseFromCompletion();
    if (report && request.report.overlapped != nullptr) {
        std::atomic_ref(request.report.overlapped->InternalHigh).store(status.Information, std::memory_order_relaxed);
        std::atomic_ref(request.report.overlapped->Internal)
            .store(StatusAsInternal(status.Status), std::memory_order_release);
    }
    if (report && request.report.signalled != nullptr) {
        KeSetEvent(request.report.signalled->WaitableEvent(), IO_NO_INCREMENT, FALSE);
    }
    request.status = status;
    KeSetEvent(&request.done, IO_NO_INCREMENT, FALSE);
}

}  // namespace

StartedRequest StartFileRequest(const std::shared_ptr<OpenFile>& file, UCHAR majorFunction,
                                const RequestBuffers& buffers, CompletionReport report)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "an application request");
    auto request = std::make_shared<FileRequest>();
    request->file = FileReference::ForRequest(file);
    request->target = file.get();
    request->issuer = std::this_thread::get_id();
    request->finish = buffers.finish;
    request->report = std::move(report);
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    if (request->report.overlapped != nullptr) {
        std::atomic_ref(request->report.overlapped->Internal)
            .store(StatusAsInternal(STATUS_PENDING), std::memory_order_relaxed);
    }
    if (request->report.signalled != nullptr) {
        KeClearEvent(request->report.signalled->WaitableEvent());
    }

    PIRP irp =
        AllocateKernelIrp(file->targetDevice->StackSize, [request](PIRP completed) { Complete(*request, completed); });
    request->irp = irp;
    irp->Tail.Overlay.OriginalFileObject = &file->fileObject;
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = majorFunction;
    stack->FileObject = &file->fileObject;
    if (buffers.prepare) {
        buffers.prepare(irp, *stack);
    }
    TrackRequest(request);
    NTSTATUS returned = IofCallDriver(file->targetDevice, irp);
    // The request belongs to the drivers now; only a pending one may be
    // unfinished when the dispatch routine returns.
    if (returned != STATUS_PENDING && KeReadStateEvent(&request->done) == 0) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "a dispatch routine returned a status other than STATUS_PENDING for a request it had not completed");
    }
    return {returned, std::move(request)};
}

IO_STATUS_BLOCK AwaitFileRequest(const StartedRequest& started)
{
    KeWaitForSingleObject(&started.request->done, Executive, UserMode, FALSE, nullptr);
    IO_STATUS_BLOCK result = started.request->status;
    if (started.returned != STATUS_PENDING) {
        result.Status = started.returned;
    }
    return result;
}

NTSTATUS SendFileRequest(const std::shared_ptr<OpenFile>& file, UCHAR majorFunction, const RequestBuffers& buffers,
                         ULONG_PTR* information)
{
    IO_STATUS_BLOCK result = AwaitFileRequest(StartFileRequest(file, majorFunction, buffers, {}));
    if (information != nullptr) {
        *information = result.Information;
    }
    return result.Status;
}

}  // namespace sim
