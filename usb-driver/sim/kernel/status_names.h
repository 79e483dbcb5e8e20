// NTSTATUS values by name, for diagnostics and the simulator's account.
#pragma once

#include <string>

#include "platform/platform.h"

namespace sim {

// The platform name of the status, or its value in hex when unknown.
std::string StatusName(NTSTATUS status);

}  // namespace sim
