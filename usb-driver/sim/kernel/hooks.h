// Points where tests step into the simulated kernel to drive races
// deterministically instead of by sleeping.
#pragma once

#include <functional>

#include "platform/platform.h"

namespace sim {

struct KernelHooks {
    // A thread is about to block in KeWaitForSingleObject on the object (it
    // was not signalled); called without any kernel lock held.
    std::function<void(PVOID object)> waitBlocking;
    // A wait with a non-zero time limit begins; the limit is relative, in 100 ns units.
    std::function<void(PVOID object, LONGLONG relativeTimeout)> timedWaitStarted;
    // A timed wait ran out, just before KeWaitForSingleObject returns STATUS_TIMEOUT.
    std::function<void(PVOID object)> timedWaitExpired;
    // IofCompleteRequest is entered for the request.
    std::function<void(PIRP irp)> irpCompleting;
    // IoCancelIrp is entered for the request.
    std::function<void(PIRP irp)> irpCancelling;
    // IofCallDriver is about to call the device's dispatch routine with the
    // request, whose current stack location is now the device's.
    std::function<void(PDEVICE_OBJECT device, PIRP irp)> requestArriving;
    // IoAcquireCancelSpinLock is called, before the lock is taken; called
    // without any kernel lock held.
    std::function<void()> cancelSpinLockAcquiring;
    // A driver calls ExAllocatePoolWithTag, before the allocation is made
    // or failed; called without any kernel lock held.
    std::function<void(SIZE_T bytes, ULONG tag)> poolAllocating;
    // A request crossed a device object: the dispatch routine returned.
    std::function<void(PDEVICE_OBJECT device, const IO_STACK_LOCATION& stack, NTSTATUS returned)> requestDispatched;
};

// The hooks in force; tests set them before the activity they observe.
KernelHooks& Hooks();

}  // namespace sim
