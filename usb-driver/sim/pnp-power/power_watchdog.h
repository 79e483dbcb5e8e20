// Windows' power watchdog: a power request that stays uncompleted longer
// than the limit stops the machine with DRIVER_POWER_STATE_FAILURE, as a
// device that blocks sleep or resume does on Windows.
#pragma once

#include <chrono>

#include "platform/platform.h"

namespace sim {

// Windows allows about ten minutes; tests set their own limit.
constexpr std::chrono::milliseconds DefaultPowerWatchdogLimit = std::chrono::minutes(10);
void SetPowerWatchdogLimit(std::chrono::milliseconds limit);

// The request's time starts now; it ends when the request is forgotten.
void WatchPowerIrp(PIRP irp);
void ForgetPowerIrp(PIRP irp);

// Forgets every request and restores the default limit.
void ResetPowerWatchdog();

}  // namespace sim
