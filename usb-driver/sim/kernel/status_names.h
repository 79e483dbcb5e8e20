// NTSTATUS values: their severity, and their names for diagnostics and the
// simulator's account.
#pragma once

#include <string>

#include "platform/platform.h"

namespace sim {

// Error severity: the request failed and returned nothing. A warning such as
// STATUS_BUFFER_OVERFLOW fails the call too, but still carries data back.
constexpr bool IsErrorStatus(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// The platform name of the status, or its value in hex when unknown.
std::string StatusName(NTSTATUS status);

}  // namespace sim
