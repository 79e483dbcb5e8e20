// ReadFile and WriteFile: one read or write request on the file, the
// caller's buffer described for direct I/O, sent and waited for like every
// request with buffers of its own.

#include "call_returns.h"
#include "kernel/bugcheck.h"
#include "kernel/io_direct_io.h"
#include "kernel/io_file_objects.h"
#include "last_error.h"

namespace sim {

namespace {

BOOL Transfer(HANDLE handle, UCHAR majorFunction, PVOID buffer, DWORD length, LPDWORD bytesTransferred,
              LPOVERLAPPED overlapped)
{
    // Windows documents that the count is zeroed before any work or error
    // checking.
    if (bytesTransferred != nullptr) {
        *bytesTransferred = 0;
    }
    FileReference file = ReferenceFileByHandle(handle);
    if (!file) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    // As for DeviceIoControl: Windows documents unpredictable results without
    // an OVERLAPPED on an overlapped handle; here the call fails at once.
    if (file->overlapped && overlapped == nullptr) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    // The I/O manager probes the caller's buffer before it builds a request.
    if (buffer == nullptr && length != 0) {
        return FailWithError(ERROR_NOACCESS);
    }
    if ((file->targetDevice->Flags & DO_DIRECT_IO) == 0) {
        BugCheck("SIMULATION_LIMIT", "reads and writes are simulated for direct-I/O devices only", file->targetDevice);
    }
    // The position comes from the OVERLAPPED; a device file's own stays 0.
    LONGLONG byteOffset =
        overlapped == nullptr
            ? 0
            : static_cast<LONGLONG>(ULONGLONG{overlapped->OffsetHigh} << 32 | ULONGLONG{overlapped->Offset});
    return SendForCall(file.File(), majorFunction, DirectIoBuffers(majorFunction, buffer, length, byteOffset),
                       bytesTransferred, overlapped);
}

}  // namespace

}  // namespace sim

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    return sim::Transfer(hFile, IRP_MJ_READ, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    // The driver reads the bytes through the descriptor; nothing writes them.
    return sim::Transfer(hFile, IRP_MJ_WRITE, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                         lpNumberOfBytesWritten, lpOverlapped);
}

}  // extern "C"
