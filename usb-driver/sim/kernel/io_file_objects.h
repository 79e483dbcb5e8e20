// Files the application side has open on a device: the open itself, and the
// references that keep one open: its handle, each call using the handle,
// each request in flight. As on Windows the close request goes when the
// last of them is dropped, not when the handle is closed.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "win32/handles.h"

namespace sim {

struct OpenFile final : HandleObject {
    FILE_OBJECT fileObject{};
    // The device named in the open, and the top of its stack, where every
    // request on the file goes.
    PDEVICE_OBJECT namedDevice = nullptr;
    PDEVICE_OBJECT targetDevice = nullptr;
    bool overlapped = false;
    // What followed the device's name in the path opened, from its
    // backslash on; the file object's FileName points into it.
    std::u16string fileName;
    // The file object's own event, signalled by the completion of an
    // overlapped request that names no event of its own.
    KEVENT event{};
    // The file object lock of a synchronous file, signalled while free.
    KEVENT callLock{};

    std::mutex lock;
    // Opening until the create succeeded; closed once the close is decided.
    enum class Stage { Opening, Open, Closed } stage = Stage::Opening;
    unsigned references = 0;

    PKEVENT WaitableEvent() override { return &event; }
};

// On a synchronous file, the I/O manager lets one call at a time have a
// request: a call holds the file object lock from before it builds its
// request until the request has completed, and a call from another thread
// waits for it, non-alertably (Win32 opens synchronous files so). Nothing
// is held on an overlapped file.
class FileObjectLock {
public:
    explicit FileObjectLock(OpenFile& file);
    ~FileObjectLock();
    FileObjectLock(const FileObjectLock&) = delete;
    FileObjectLock& operator=(const FileObjectLock&) = delete;

private:
    PKEVENT lock_ = nullptr;
};

// A counted reference to an open file.
class FileReference {
public:
    FileReference() = default;
    // A reference for a request about to be sent on the file, whatever its
    // stage: the create and close requests have one as well.
    static FileReference ForRequest(std::shared_ptr<OpenFile> file);
    FileReference(FileReference&& other) noexcept = default;
    FileReference& operator=(FileReference&& other) noexcept;
    FileReference(const FileReference&) = delete;
    FileReference& operator=(const FileReference&) = delete;
    // Dropped by the application's own thread: a close it leads to is sent
    // from here, as the object manager does when the last reference goes.
    ~FileReference();

    explicit operator bool() const { return file_ != nullptr; }
    OpenFile* operator->() const { return file_.get(); }
    const std::shared_ptr<OpenFile>& File() const { return file_; }

    // Drops the reference at the end of a request's completion, which may run
    // at DISPATCH_LEVEL on a bus driver's thread: a close it leads to is sent
    // from the system worker thread.
    void ReleaseFromCompletion();

    // Lets go without dropping the count, for a reset that discards the
    // whole application side: no close is sent.
    void Abandon() { file_.reset(); }

private:
    friend FileReference ReferenceFileByHandle(HANDLE handle);
    friend void CloseFileHandle(const std::shared_ptr<OpenFile>& file);
    // Wraps a reference already counted.
    explicit FileReference(std::shared_ptr<OpenFile> file) : file_(std::move(file)) {}
    void Release(bool fromCompletion);

    std::shared_ptr<OpenFile> file_;
};

// A reference to the file a handle stands for; empty when the handle is not
// an open file's.
FileReference ReferenceFileByHandle(HANDLE handle);

// Opens the device an NT path such as \??\COM5 names, sending the create
// request with the share access; on success *opened holds the file and the
// reference its handle will own.
NTSTATUS OpenDeviceFile(std::u16string_view ntPath, ULONG shareAccess, bool overlapped,
                        std::shared_ptr<OpenFile>* opened);

// The create request succeeded: the new handle holds the file.
void MarkFileOpened(OpenFile& file);

// The handle is closed: the cleanup request goes now, the handle's reference
// is dropped.
void CloseFileHandle(const std::shared_ptr<OpenFile>& file);

// The device references an open file holds, dropped after its close or a
// failed open.
void ReleaseFileDevices(OpenFile& file);

}  // namespace sim
