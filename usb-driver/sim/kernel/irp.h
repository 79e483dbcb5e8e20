// Requests: allocation, sending, completion and cancellation, with the
// checks Windows applies to them.
#pragma once

#include <functional>
#include <vector>

#include "platform/platform.h"

namespace sim {

// A request built by the simulated platform itself (the Plug and Play
// manager, the application side). When its completion has run through every
// stack location, onCompleted is called in the completing thread and owns
// the request: it must free it with FreeKernelIrp.
PIRP AllocateKernelIrp(CCHAR stackSize, std::function<void(PIRP)> onCompleted);
void FreeKernelIrp(PIRP irp);

// IoCallDriver as the power manager uses it to pass a power request on (for
// PoCallDriver and its own requests): before Vista no other way may bring a
// power request to a driver.
NTSTATUS CallDriverForPowerManager(PDEVICE_OBJECT device, PIRP irp);
// The power manager will bring the request to the next driver later from a
// worker and answers the caller STATUS_PENDING now, as a lower driver would.
void NoteCallDeferred(PIRP irp);

// Power requests were serialised per device before Vista: each driver that
// handles one tells the power manager with PoStartNextPowerIrp, and passes
// it on with PoCallDriver.
bool PowerRequestsSerialised();

// Whether the request was ever sent to the device; for the requests a
// driver must pass all the way down.
bool RequestReached(PIRP irp, PDEVICE_OBJECT device);

// Requests that exist and have not yet finished their completion.
std::vector<PIRP> OutstandingIrps();
// Completions of the request that ran to their end (0 or 1 for a sound driver).
unsigned FinishedCompletions(PIRP irp);

void ResetIrps();

}  // namespace sim
