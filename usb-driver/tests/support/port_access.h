// Opening the port the way an application does.
#pragma once

#include "win32_api.h"

namespace bulkcom_test {

inline HANDLE OpenComPort(const char* name = "\\\\.\\COM5")
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// For overlapped requests, as .NET and most modern clients open the port.
inline HANDLE OpenComPortOverlapped(const char* name = "\\\\.\\COM5")
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// A request as a client makes it on either kind of handle: with an
// OVERLAPPED of its own, waited for while it is pending. Returns what the
// call returns on a synchronous handle, with the byte count and the last error.
template <typename Call>
BOOL CallAndWait(HANDLE port, DWORD* bytes, Call call)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    *bytes = 0;
    BOOL ok = call(&overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(port, &overlapped, bytes, TRUE);
    }
    DWORD error = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(error);
    return ok;
}

inline BOOL ReadAndWait(HANDLE port, void* buffer, DWORD length, DWORD* bytes)
{
    return CallAndWait(port, bytes,
                       [&](LPOVERLAPPED overlapped) { return ReadFile(port, buffer, length, bytes, overlapped); });
}

inline BOOL WriteAndWait(HANDLE port, const void* buffer, DWORD length, DWORD* bytes)
{
    return CallAndWait(port, bytes,
                       [&](LPOVERLAPPED overlapped) { return WriteFile(port, buffer, length, bytes, overlapped); });
}

}  // namespace bulkcom_test
