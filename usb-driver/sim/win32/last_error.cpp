#include "last_error.h"

#include "status_mapping.h"

namespace sim {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

BOOL FailWithError(DWORD error)
{
    lastError = error;
    return FALSE;
}

BOOL FailWithStatus(NTSTATUS status)
{
    return FailWithError(Win32ErrorFromStatus(status));
}

}  // namespace sim

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return sim::lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    sim::lastError = dwErrCode;
}

}  // extern "C"
