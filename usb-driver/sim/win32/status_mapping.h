// The Win32 error an application sees for each NTSTATUS, as Windows maps it.
#pragma once

#include <string>

#include "platform/platform.h"

namespace sim {

ULONG Win32ErrorFromStatus(NTSTATUS status);

// Error severity: the request failed and returned nothing. A warning such as
// STATUS_BUFFER_OVERFLOW fails the call too, but still carries data back.
constexpr bool IsErrorStatus(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// The Win32 name of an error code, such as ERROR_BAD_COMMAND.
std::string Win32ErrorName(ULONG error);

}  // namespace sim
