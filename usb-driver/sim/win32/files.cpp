// CreateFile and FlushFileBuffers as the I/O manager carries them out for an
// application: names resolved through the object namespace to the top of
// the device's stack, and a create request per open.

#include <memory>
#include <string>

#include "file_requests.h"
#include "kernel/device_objects.h"
#include "kernel/object_namespace.h"
#include "last_error.h"
#include "open_files.h"
#include "win32_api.h"

namespace sim {

namespace {

constexpr ULONG FILE_OPEN = 1;

// \\.\NAME and bare device names such as COM5 live under \??.
std::u16string NtPathOf(std::u16string_view name)
{
    if (name.substr(0, 4) == u"\\\\.\\") {
        return u"\\??\\" + std::u16string(name.substr(4));
    }
    return u"\\??\\" + std::u16string(name);
}

// Windows lets no open through to a stack a bus enumerated until its start
// request succeeded, nor once its remove request came; a device outside
// Plug and Play, such as a driver's control device, opens at any time.
bool StackTakesOpens(PDEVICE_OBJECT named)
{
    const _DEVOBJ_EXTENSION& base = KernelExtensionOf(BaseDeviceOf(named));
    return base.InstanceId.empty() || base.Started;
}

HANDLE Open(std::u16string_view name, DWORD shareMode, DWORD flagsAndAttributes)
{
    NTSTATUS status;
    std::u16string remainder;
    PDEVICE_OBJECT named = Namespace::Resolve(NtPathOf(name), &remainder, &status);
    if (named == nullptr) {
        FailWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    if ((named->Flags & DO_DEVICE_INITIALIZING) != 0 || KernelExtensionOf(named).Deleted || !StackTakesOpens(named)) {
        FailWithStatus(STATUS_NO_SUCH_DEVICE);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<OpenFile>();
    file->namedDevice = named;
    file->targetDevice = AttachedDeviceOf(named);
    file->overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    file->fileObject.Type = 5;
    file->fileObject.Size = sizeof(FILE_OBJECT);
    file->fileObject.DeviceObject = named;
    file->fileObject.Flags = file->overlapped ? 0 : FO_SYNCHRONOUS_IO;
    // As on Windows, the driver sees the rest of the path (\\.\COM5\extra
    // gives \extra) and an empty name for the device itself.
    file->fileName = remainder;
    if (!file->fileName.empty()) {
        file->fileObject.FileName.Buffer = file->fileName.data();
        file->fileObject.FileName.Length = static_cast<USHORT>(file->fileName.size() * sizeof(WCHAR));
        file->fileObject.FileName.MaximumLength = file->fileObject.FileName.Length;
    }
    KeInitializeEvent(&file->event, NotificationEvent, FALSE);
    KeInitializeEvent(&file->callLock, SynchronizationEvent, TRUE);
    ReferenceDevice(file->namedDevice);
    ReferenceDevice(file->targetDevice);

    RequestBuffers create;
    create.prepare = [shareMode](PIRP, IO_STACK_LOCATION& stack) {
        stack.Parameters.Create.Options = FILE_OPEN << 24;
        stack.Parameters.Create.ShareAccess = static_cast<USHORT>(shareMode);
        stack.Parameters.Create.FileAttributes = 0;
    };
    status = SendFileRequest(file, IRP_MJ_CREATE, create, nullptr);
    if (!NT_SUCCESS(status)) {
        // A failed open gets neither cleanup nor close.
        ReleaseFileDevices(*file);
        FailWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    MarkFileOpened(*file);
    return InsertHandle(std::move(file));
}

}  // namespace

}  // namespace sim

using namespace sim;

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)dwDesiredAccess;
    (void)lpSecurityAttributes;
    (void)dwCreationDisposition;
    (void)hTemplateFile;
    return Open(lpFileName, dwShareMode, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    std::u16string name = ToU16(lpFileName);
    return CreateFileW(name.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                       dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    FileReference file = ReferenceFileByHandle(hFile);
    if (!file) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    FileObjectLock serialised(*file.File());
    // Waited for on an overlapped handle as well.
    NTSTATUS status = SendFileRequest(file.File(), IRP_MJ_FLUSH_BUFFERS, {}, nullptr);
    if (!NT_SUCCESS(status)) {
        return FailWithStatus(status);
    }
    return TRUE;
}

}  // extern "C"
