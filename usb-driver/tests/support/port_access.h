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

}  // namespace bulkcom_test
