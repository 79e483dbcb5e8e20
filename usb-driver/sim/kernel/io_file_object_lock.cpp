// The file object lock, which lets one call at a time have a request on a
// synchronous file.

#include "io_file_objects.h"

namespace sim {

FileObjectLock::FileObjectLock(OpenFile& file)
{
    if ((file.fileObject.Flags & FO_SYNCHRONOUS_IO) == 0) {
        return;
    }
    lock_ = &file.callLock;
    KeWaitForSingleObject(lock_, Executive, UserMode, FALSE, nullptr);
}

FileObjectLock::~FileObjectLock()
{
    if (lock_ != nullptr) {
        KeSetEvent(lock_, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace sim
