// CreateFile and FlushFileBuffers: the name turned into an NT path for the
// I/O manager's open, and a handle for the file it opened.

#include <memory>
#include <string>

#include "handles.h"
#include "kernel/io_file_objects.h"
#include "kernel/io_file_requests.h"
#include "kernel/object_namespace.h"
#include "last_error.h"
#include "win32_api.h"

namespace sim {

namespace {

// \\.\NAME and bare device names such as COM5 live under \??.
std::u16string NtPathOf(std::u16string_view name)
{
    if (name.substr(0, 4) == u"\\\\.\\") {
        return u"\\??\\" + std::u16string(name.substr(4));
    }
    return u"\\??\\" + std::u16string(name);
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
    std::shared_ptr<OpenFile> file;
    NTSTATUS status =
        OpenDeviceFile(NtPathOf(lpFileName), dwShareMode, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, &file);
    if (!NT_SUCCESS(status)) {
        FailWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    return InsertHandle(std::move(file));
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
