#include "device_io_control.h"

#include "call_returns.h"
#include "kernel/io_control_buffers.h"
#include "last_error.h"

namespace sim {

BOOL ControlFile(const std::shared_ptr<OpenFile>& file, DWORD code, const void* input, DWORD inputLength, void* output,
                 DWORD outputLength, LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    return SendForCall(file, IRP_MJ_DEVICE_CONTROL, ControlBuffers(code, input, inputLength, output, outputLength),
                       bytesReturned, overlapped);
}

BOOL ControlSynchronously(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output,
                          DWORD outputLength)
{
    FileReference file = ReferenceFileByHandle(handle);
    if (!file) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    DWORD bytes = 0;
    return ControlFile(file.File(), code, input, inputLength, output, outputLength, &bytes, nullptr);
}

}  // namespace sim

extern "C" {

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    sim::FileReference file = sim::ReferenceFileByHandle(hDevice);
    if (!file) {
        return sim::FailWithError(ERROR_INVALID_HANDLE);
    }
    // Windows documents that a request on an overlapped handle needs an
    // OVERLAPPED and fails unpredictably without one; here it fails at once.
    if (file->overlapped && lpOverlapped == nullptr) {
        return sim::FailWithError(ERROR_INVALID_PARAMETER);
    }
    // The I/O manager copies the input into a system buffer and probes or
    // locks the output before it builds the request; only METHOD_NEITHER
    // hands the caller's addresses on untouched.
    bool missingBuffer =
        (lpInBuffer == nullptr && nInBufferSize != 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0);
    if (missingBuffer && (dwIoControlCode & 3) != METHOD_NEITHER) {
        return sim::FailWithError(ERROR_NOACCESS);
    }
    return sim::ControlFile(file.File(), dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                            lpBytesReturned, lpOverlapped);
}

}  // extern "C"
