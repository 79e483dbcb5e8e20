#include "open_files.h"

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
