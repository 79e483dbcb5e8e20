// CreateFile, CloseHandle and DeviceIoControl as the I/O manager carries
// them out for an application: names resolved through the object namespace
// to the top of the device's stack, a create request per open, cleanup and
// close per handle, and buffered control requests.

#include <map>
#include <memory>
#include <string>

#include "kernel/bugcheck.h"
#include "kernel/device_objects.h"
#include "kernel/object_namespace.h"
#include "kernel/pool.h"
#include "open_files.h"
#include "status_mapping.h"
#include "win32_api.h"

namespace sim {

namespace {

constexpr ULONG systemBufferTag = PoolTag("Sbuf");
constexpr ULONG FILE_OPEN = 1;

std::mutex handleLock;
std::map<HANDLE, std::shared_ptr<OpenFile>> handles;
uintptr_t nextHandle = 0x100;

thread_local DWORD lastError = ERROR_SUCCESS;

// Warnings still carry data back; only error severity means nothing came.
bool IsError(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

BOOL Fail(NTSTATUS status)
{
    lastError = Win32ErrorFromStatus(status);
    return FALSE;
}

std::shared_ptr<OpenFile> FileOf(HANDLE handle)
{
    std::lock_guard lock(handleLock);
    auto found = handles.find(handle);
    return found == handles.end() ? nullptr : found->second;
}

// \\.\NAME and bare device names such as COM5 live under \??.
std::u16string NtPathOf(std::u16string_view name)
{
    if (name.substr(0, 4) == u"\\\\.\\") {
        return u"\\??\\" + std::u16string(name.substr(4));
    }
    return u"\\??\\" + std::u16string(name);
}

void ReleaseFile(const std::shared_ptr<OpenFile>& file)
{
    DereferenceDevice(file->targetDevice);
    DereferenceDevice(file->namedDevice);
}

HANDLE Open(std::u16string_view name, DWORD desiredAccess, DWORD shareMode, DWORD flagsAndAttributes)
{
    NTSTATUS status;
    std::u16string remainder;
    PDEVICE_OBJECT named = Namespace::Resolve(NtPathOf(name), &remainder, &status);
    if (named == nullptr) {
        Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    if ((named->Flags & DO_DEVICE_INITIALIZING) != 0 || KernelExtensionOf(named).Deleted) {
        Fail(STATUS_NO_SUCH_DEVICE);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<OpenFile>();
    file->namedDevice = named;
    file->targetDevice = AttachedDeviceOf(named);
    file->overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    file->fileObject.Type = 5;
    file->fileObject.Size = sizeof(FILE_OBJECT);
    file->fileObject.DeviceObject = named;
    ReferenceDevice(file->namedDevice);
    ReferenceDevice(file->targetDevice);

    status = SendFileRequest(
        file, IRP_MJ_CREATE,
        [&](PIRP, IO_STACK_LOCATION& stack) {
            stack.Parameters.Create.Options = FILE_OPEN << 24;
            stack.Parameters.Create.ShareAccess = static_cast<USHORT>(shareMode);
            stack.Parameters.Create.FileAttributes = 0;
            (void)desiredAccess;
        },
        {}, nullptr);
    if (!NT_SUCCESS(status)) {
        ReleaseFile(file);
        Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard lock(handleLock);
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle += 4);
    handles[handle] = file;
    return handle;
}

}  // namespace

size_t OpenApplicationHandles()
{
    std::lock_guard lock(handleLock);
    return handles.size();
}

void ResetApplicationSide()
{
    std::lock_guard lock(handleLock);
    handles.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes;
    (void)dwCreationDisposition;
    (void)hTemplateFile;
    return Open(lpFileName, dwDesiredAccess, dwShareMode, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    std::u16string name = ToU16(lpFileName);
    return CreateFileW(name.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                       dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    std::shared_ptr<OpenFile> file;
    {
        std::lock_guard lock(handleLock);
        auto found = handles.find(hObject);
        if (found == handles.end()) {
            lastError = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        file = found->second;
        handles.erase(found);
    }
    // A driver without a cleanup handler refuses the cleanup; Windows goes on.
    SendFileRequest(file, IRP_MJ_CLEANUP, {}, {}, nullptr);
    {
        // The close goes once no pending request holds the file any more.
        std::unique_lock lock(file->lock);
        file->changed.wait(lock, [&] { return file->pendingRequests == 0; });
    }
    SendFileRequest(file, IRP_MJ_CLOSE, {}, {}, nullptr);
    ReleaseFile(file);
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    std::shared_ptr<OpenFile> file = FileOf(hDevice);
    if (file == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (lpOverlapped != nullptr || file->overlapped) {
        BugCheck("SIMULATION_LIMIT", "overlapped DeviceIoControl is not simulated yet");
    }
    if ((dwIoControlCode & 3) != METHOD_BUFFERED) {
        BugCheck("SIMULATION_LIMIT", "only METHOD_BUFFERED control codes are simulated");
    }
    ULONG_PTR information = 0;
    NTSTATUS status = SendFileRequest(
        file, IRP_MJ_DEVICE_CONTROL,
        [&](PIRP irp, IO_STACK_LOCATION& stack) {
            stack.Parameters.DeviceIoControl.IoControlCode = dwIoControlCode;
            stack.Parameters.DeviceIoControl.InputBufferLength = nInBufferSize;
            stack.Parameters.DeviceIoControl.OutputBufferLength = nOutBufferSize;
            ULONG length = nInBufferSize > nOutBufferSize ? nInBufferSize : nOutBufferSize;
            if (length != 0) {
                irp->AssociatedIrp.SystemBuffer = Pool::AllocateForKernel(NonPagedPoolNx, length, systemBufferTag);
                if (lpInBuffer != nullptr && nInBufferSize != 0) {
                    std::memcpy(irp->AssociatedIrp.SystemBuffer, lpInBuffer, nInBufferSize);
                }
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (nOutBufferSize != 0 ? IRP_INPUT_OPERATION : 0);
            }
            irp->UserBuffer = lpOutBuffer;
        },
        [nOutBufferSize](PIRP irp) {
            // The I/O manager copies back what the driver says it returned.
            if (!IsError(irp->IoStatus.Status) && (irp->Flags & IRP_INPUT_OPERATION) != 0 &&
                irp->IoStatus.Information != 0) {
                if (irp->IoStatus.Information > nOutBufferSize) {
                    BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                             "a buffered control request returned more bytes than its output buffer holds", irp);
                }
                std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
            }
            if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) {
                ExFreePool(irp->AssociatedIrp.SystemBuffer);
            }
        },
        &information);
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = static_cast<DWORD>(IsError(status) ? 0 : information);
    }
    if (!NT_SUCCESS(status)) {
        return Fail(status);
    }
    return TRUE;
}

}  // extern "C"
