// The simulated application side as tests and tools drive it, beyond the
// Win32 calls themselves: the end of an application thread, the closes the
// I/O manager sends late, and starting afresh.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "win32_api.h"

namespace sim {

// The calling application thread ends: as Windows does at thread exit, every
// request it issued that is still pending is cancelled, and the call returns
// once all of them have completed.
void EndApplicationThread();

// Put at the start of an application thread's body; its end is the thread's.
class ApplicationThreadScope {
public:
    ApplicationThreadScope() = default;
    ~ApplicationThreadScope() { EndApplicationThread(); }
    ApplicationThreadScope(const ApplicationThreadScope&) = delete;
    ApplicationThreadScope& operator=(const ApplicationThreadScope&) = delete;
};

// Returns once every close request that a completion handed to the system
// worker thread has been sent and completed.
void WaitForDeferredCloses();

// Handles the application has not closed, files and events.
size_t OpenApplicationHandles();

// The dispatcher object a call on the synchronous file the handle stands
// for blocks on while another thread's call has a request on the file, for
// tests that wait until a call is waiting there; null for an overlapped
// file or a handle that is not a file's.
PVOID FileObjectLockOf(HANDLE handle);

// Forgets handles and requests in flight, after the deferred closes are done.
void ResetApplicationSide();

}  // namespace sim
