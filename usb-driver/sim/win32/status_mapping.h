// The Win32 error an application sees for each NTSTATUS, as Windows maps it.
#pragma once

#include "platform/platform.h"

namespace sim {

ULONG Win32ErrorFromStatus(NTSTATUS status);

}  // namespace sim
