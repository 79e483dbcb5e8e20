// SetCommMask, GetCommMask and WaitCommEvent: the port's event mask and the
// wait for one of its events.

#include "device_io_control.h"
#include "last_error.h"

using namespace sim;

extern "C" {

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    const ULONG mask = dwEvtMask;
    return ControlSynchronously(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return ControlSynchronously(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof *lpEvtMask);
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    FileReference file = ReferenceFileByHandle(hFile);
    if (!file) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    // As for DeviceIoControl: an overlapped handle needs an OVERLAPPED.
    if (file->overlapped && lpOverlapped == nullptr) {
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    // The mask reads 0 unless the request completes with events in it.
    *lpEvtMask = 0;
    DWORD bytes = 0;
    // No input: the caller's mask is the output buffer the event arrives in.
    return ControlFile(file.File(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof *lpEvtMask, &bytes,
                       lpOverlapped);
}

}  // extern "C"
