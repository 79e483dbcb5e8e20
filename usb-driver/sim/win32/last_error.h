// The calling thread's last error, as failing Win32 calls leave it.
#pragma once

#include "platform/platform.h"
#include "win32_api.h"

namespace sim {

// Sets the last error and returns FALSE, the way a failing call ends.
BOOL FailWithError(DWORD error);

// The same with the Win32 error Windows maps the status to.
BOOL FailWithStatus(NTSTATUS status);

}  // namespace sim
