// Making platform routines fail on demand: the n-th call of a kind, or every
// call from one call site in the driver.
#pragma once

#include <vector>

#include "platform/platform.h"

namespace sim {

enum class Fault {
    PoolAllocation,
    AllocateIrp,
    BuildDeviceIoControlRequest,
    CreateDevice,
    AttachDevice,
    RegisterDeviceInterface,
    SetDeviceInterfaceState,
    OpenDeviceRegistryKey,
    QueryValueKey,
    CreateSymbolicLink,
    WriteRegistryValue,
    MapLockedPages,
    CreateConfigurationRequest,
    RequestPowerIrp,
    AppendUnicodeToString,
    Count
};

const char* FaultName(Fault fault);

// A call site is the return address inside the caller of the platform routine.
using CallSite = const void*;

class Faults {
public:
    // Fails the n-th call (1 = the next one) of the kind from now on, once.
    static void FailNthCall(Fault fault, unsigned n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    // Fails every call of the kind made from the site, until cleared.
    static void FailEveryCallFrom(Fault fault, CallSite site, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    static void Clear();

    // Calls of the kind since the last reset, and their distinct sites in the
    // order first seen, so a test can run once to learn the sites and then
    // fail each in turn.
    static unsigned CallCount(Fault fault);
    static std::vector<CallSite> CallSites(Fault fault);
    // Calls failed on purpose since the last reset, of every kind.
    static unsigned InjectedCount();

    // Used by the platform routines: records the call and tells whether it
    // fails, and with which status.
    static bool ShouldFail(Fault fault, CallSite site, NTSTATUS* status = nullptr);
};

}  // namespace sim

#define SIM_CALL_SITE() (static_cast<sim::CallSite>(__builtin_return_address(0)))
