// Requests the application side sends on open files, as the I/O manager
// builds, sends and completes them: each request's buffers, the thread that
// issued it, and how its caller learns of its completion.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "io_file_objects.h"
#include "platform/platform.h"
#include "win32/win32_api.h"

namespace sim {

// What the I/O manager does with a request's buffers. prepare fills the
// first stack location and attaches the buffers (a system buffer for
// buffered I/O, a memory descriptor for direct I/O); finish runs once every
// driver has completed the request, before it is freed, and hands the
// results back to the caller's buffers.
struct RequestBuffers {
    std::function<void(PIRP irp, IO_STACK_LOCATION& stack)> prepare;
    std::function<void(PIRP irp)> finish;
};

// Where the caller of an overlapped request learns of its completion: the
// status and byte count go to the OVERLAPPED, and the event is signalled.
// Sending the request resets the event.
struct CompletionReport {
    LPOVERLAPPED overlapped = nullptr;
    std::shared_ptr<HandleObject> signalled;
};

// One request in flight, from sending to the end of its completion.
struct FileRequest {
    PIRP irp = nullptr;
    FileReference file;
    // Never changes, so that cancellation can select by it at any time.
    const OpenFile* target = nullptr;
    std::thread::id issuer;
    std::function<void(PIRP)> finish;
    CompletionReport report;
    // Signalled once the completion has run; status is final from then on.
    KEVENT done{};
    IO_STATUS_BLOCK status{};
};

struct StartedRequest {
    // What the dispatch routine returned.
    NTSTATUS returned;
    std::shared_ptr<FileRequest> request;
};

// Sends the request at PASSIVE_LEVEL; it may still be pending on return.
StartedRequest StartFileRequest(const std::shared_ptr<OpenFile>& file, UCHAR majorFunction,
                                const RequestBuffers& buffers, CompletionReport report);

// Waits for the request's completion and gives what a synchronous caller
// sees: the final byte count, and the status the dispatch routine returned
// unless it left the request pending, then the final status.
IO_STATUS_BLOCK AwaitFileRequest(const StartedRequest& started);

// Sends the request and waits for it.
NTSTATUS SendFileRequest(const std::shared_ptr<OpenFile>& file, UCHAR majorFunction, const RequestBuffers& buffers,
                         ULONG_PTR* information);

}  // namespace sim
