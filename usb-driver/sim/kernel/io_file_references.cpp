// References to open files, and the close request that the last of them
// sends: from the application's thread when the application drops it, from
// the system worker thread when a completion does.

#include <condition_variable>
#include <mutex>

#include "device_objects.h"
#include "io_file_objects.h"
#include "io_file_requests.h"
#include "system_worker.h"
#include "win32/application_side.h"

namespace sim {

namespace {

std::mutex deferredLock;
std::condition_variable deferredDone;
unsigned deferredCloses = 0;

void SendClose(const std::shared_ptr<OpenFile>& file)
{
    SendFileRequest(file, IRP_MJ_CLOSE, {}, nullptr);
    ReleaseFileDevices(*file);
}

void DeferClose(std::shared_ptr<OpenFile> file)
{
    {
        std::lock_guard lock(deferredLock);
        deferredCloses++;
    }
    QueueSystemWork([file = std::move(file)] {
        SendClose(file);
        {
            std::lock_guard lock(deferredLock);
            deferredCloses--;
        }
        deferredDone.notify_all();
    });
}

}  // namespace

FileReference FileReference::ForRequest(std::shared_ptr<OpenFile> file)
{
    {
        std::lock_guard lock(file->lock);
        file->references++;
    }
    return FileReference(std::move(file));
}

FileReference& FileReference::operator=(FileReference&& other) noexcept
{
    if (this != &other) {
        Release(false);
        file_ = std::move(other.file_);
    }
    return *this;
}

FileReference::~FileReference()
{
    Release(false);
}

void FileReference::ReleaseFromCompletion()
{
    Release(true);
}

void FileReference::Release(bool fromCompletion)
{
    if (file_ == nullptr) {
        return;
    }
    std::shared_ptr<OpenFile> file = std::move(file_);
    bool last;
    {
        std::lock_guard lock(file->lock);
        file->references--;
        last = file->references == 0 && file->stage == OpenFile::Stage::Open;
        if (last) {
            file->stage = OpenFile::Stage::Closed;
        }
    }
    if (!last) {
        return;
    }
    if (fromCompletion) {
        DeferClose(std::move(file));
    } else {
        SendClose(file);
    }
}

FileReference ReferenceFileByHandle(HANDLE handle)
{
    std::shared_ptr<OpenFile> file = LookupHandleAs<OpenFile>(handle);
    if (file == nullptr) {
        return {};
    }
    {
        // Another thread closed the handle and the close is already decided.
        std::lock_guard lock(file->lock);
        if (file->stage == OpenFile::Stage::Closed) {
            return {};
        }
        file->references++;
    }
    return FileReference(std::move(file));
}

void MarkFileOpened(OpenFile& file)
{
    std::lock_guard lock(file.lock);
    file.stage = OpenFile::Stage::Open;
    file.references++;
}

void CloseFileHandle(const std::shared_ptr<OpenFile>& file)
{
    // A driver without a cleanup handler refuses the cleanup; Windows goes on.
    SendFileRequest(file, IRP_MJ_CLEANUP, {}, nullptr);
    // Drops the handle's own reference, the one MarkFileOpened counted.
    FileReference(file).Release(false);
}

void ReleaseFileDevices(OpenFile& file)
{
    DereferenceDevice(file.targetDevice);
    DereferenceDevice(file.namedDevice);
}

void WaitForDeferredCloses()
{
    std::unique_lock lock(deferredLock);
    deferredDone.wait(lock, [] { return deferredCloses == 0; });
}

}  // namespace sim
