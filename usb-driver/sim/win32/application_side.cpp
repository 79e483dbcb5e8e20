#include "application_side.h"

#include "handles.h"
#include "kernel/io_file_objects.h"
#include "kernel/io_requests_in_flight.h"

namespace sim {

size_t OpenApplicationHandles()
{
    return HandleCount();
}

PVOID FileObjectLockOf(HANDLE handle)
{
    std::shared_ptr<OpenFile> file = LookupHandleAs<OpenFile>(handle);
    if (file == nullptr || (file->fileObject.Flags & FO_SYNCHRONOUS_IO) == 0) {
        return nullptr;
    }
    return &file->callLock;
}

void ResetApplicationSide()
{
    WaitForDeferredCloses();
    ForgetRequestsInFlight();
    ForgetHandles();
}

}  // namespace sim
