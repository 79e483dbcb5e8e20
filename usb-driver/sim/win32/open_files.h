// Files the application side has open on a device: the file object, the
// device its requests go to, and the requests still pending on it.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/platform.h"

namespace sim {

struct OpenFile {
    FILE_OBJECT fileObject{};
    // The device named in the open, and the top of its stack, where every
    // request on the file goes.
    PDEVICE_OBJECT namedDevice = nullptr;
    PDEVICE_OBJECT targetDevice = nullptr;
    bool overlapped = false;

    std::mutex lock;
    std::condition_variable changed;
    unsigned pendingRequests = 0;
    // The handle is closed; the close request goes once nothing is pending.
    bool closeWhenIdle = false;
};

// Sends a request on the file and waits for its completion at PASSIVE_LEVEL.
// prepare fills the first stack location and the request's buffers; finish
// runs when the request has been completed by every driver, before it is
// freed.
NTSTATUS SendFileRequest(const std::shared_ptr<OpenFile>& file, UCHAR majorFunction,
                         const std::function<void(PIRP, IO_STACK_LOCATION&)>& prepare,
                         const std::function<void(PIRP)>& finish, ULONG_PTR* information);

// Handles the application has not closed, and forgetting them between tests.
size_t OpenApplicationHandles();
void ResetApplicationSide();

}  // namespace sim
