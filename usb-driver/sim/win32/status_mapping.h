// The Win32 error an application sees for each NTSTATUS, as Windows maps it.
#pragma once

#include <string>

#include "kernel/status_names.h"
#include "platform/platform.h"

namespace sim {

ULONG Win32ErrorFromStatus(NTSTATUS status);

// The Win32 name of an error code, such as ERROR_BAD_COMMAND.
std::string Win32ErrorName(ULONG error);

}  // namespace sim
