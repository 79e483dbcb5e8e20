// Opening the port the way an application does.
#pragma once

#include "win32_api.h"

namespace bulkcom_test {

inline HANDLE OpenComPort(const char* name = "\\\\.\\COM5")
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace bulkcom_test
