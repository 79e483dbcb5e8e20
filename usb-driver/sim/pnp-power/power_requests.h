// The power manager's side of power requests: PoRequestPowerIrp,
// PoCallDriver, PoStartNextPowerIrp and PoSetPowerState, and the rules
// Windows applies to the requests that pass through them. A power-pageable
// device gets its power requests at PASSIVE_LEVEL, from a worker thread when
// they are passed on at a raised level; before Vista every driver that
// handles a query-power or set-power request calls PoStartNextPowerIrp for
// it exactly once; and a request held too long stops the machine (the
// watchdog).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

// A power request of the power manager's own, for the stack of target and
// delivered to its top. finished is called with its final status in the
// completing thread once its completion has run through every stack
// location and the request is freed.
PIRP AllocatePowerIrp(PDEVICE_OBJECT target, UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state,
                      POWER_ACTION action, std::function<void(IO_STATUS_BLOCK)> finished);
// Sends it to the top of its stack the way PoCallDriver passes a request on.
NTSTATUS SendPowerIrp(PIRP irp);

// What drivers told the power manager, for tests to check.
struct PowerStateChange {
    PDEVICE_OBJECT device;
    POWER_STATE_TYPE type;
    POWER_STATE state;
};
std::vector<PowerStateChange> PowerStateChanges();
unsigned StartNextPowerIrpCalls(PDEVICE_OBJECT device);

// For the end-of-test checks: what a power request still uncompleted was
// asked to do, or nothing when the request is not one of the power
// manager's.
std::string DescribePowerIrp(PIRP irp);

void ResetPowerRequests();

}  // namespace sim
