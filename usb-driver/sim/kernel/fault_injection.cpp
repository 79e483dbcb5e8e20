#include "fault_injection.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace sim {

namespace {

struct FaultState {
    unsigned calls = 0;
    unsigned failAtCall = 0;  // 0: no n-th call armed
    NTSTATUS nthStatus = STATUS_INSUFFICIENT_RESOURCES;
    std::vector<CallSite> sites;
    std::vector<CallSite> failingSites;
    NTSTATUS siteStatus = STATUS_INSUFFICIENT_RESOURCES;
};

std::mutex faultLock;
std::array<FaultState, static_cast<size_t>(Fault::Count)> states;
unsigned injected = 0;

FaultState& StateOf(Fault fault)
{
    return states[static_cast<size_t>(fault)];
}

}  // namespace

const char* FaultName(Fault fault)
{
    switch (fault) {
    case Fault::PoolAllocation:
        return "ExAllocatePoolWithTag";
    case Fault::AllocateIrp:
        return "IoAllocateIrp";
    case Fault::BuildDeviceIoControlRequest:
        return "IoBuildDeviceIoControlRequest";
    case Fault::CreateDevice:
        return "IoCreateDevice";
    case Fault::AttachDevice:
        return "IoAttachDeviceToDeviceStack";
    case Fault::RegisterDeviceInterface:
        return "IoRegisterDeviceInterface";
    case Fault::SetDeviceInterfaceState:
        return "IoSetDeviceInterfaceState";
    case Fault::OpenDeviceRegistryKey:
        return "IoOpenDeviceRegistryKey";
    case Fault::QueryValueKey:
        return "ZwQueryValueKey";
    case Fault::CreateSymbolicLink:
        return "IoCreateSymbolicLink";
    case Fault::WriteRegistryValue:
        return "RtlWriteRegistryValue";
    case Fault::MapLockedPages:
        return "MmGetSystemAddressForMdlSafe";
    case Fault::CreateConfigurationRequest:
        return "USBD_CreateConfigurationRequestEx";
    case Fault::RequestPowerIrp:
        return "PoRequestPowerIrp";
    case Fault::AppendUnicodeToString:
        return "RtlAppendUnicodeToString";
    case Fault::Count:
        break;
    }
    return "?";
}

void Faults::FailNthCall(Fault fault, unsigned n, NTSTATUS status)
{
    std::lock_guard lock(faultLock);
    FaultState& state = StateOf(fault);
    state.failAtCall = state.calls + n;
    state.nthStatus = status;
}

void Faults::FailEveryCallFrom(Fault fault, CallSite site, NTSTATUS status)
{
    std::lock_guard lock(faultLock);
    FaultState& state = StateOf(fault);
    state.failingSites.push_back(site);
    state.siteStatus = status;
}

void Faults::Clear()
{
    std::lock_guard lock(faultLock);
    states = {};
    injected = 0;
}

unsigned Faults::InjectedCount()
{
    std::lock_guard lock(faultLock);
    return injected;
}

unsigned Faults::CallCount(Fault fault)
{
    std::lock_guard lock(faultLock);
    return StateOf(fault).calls;
}

std::vector<CallSite> Faults::CallSites(Fault fault)
{
    std::lock_guard lock(faultLock);
    return StateOf(fault).sites;
}

bool Faults::ShouldFail(Fault fault, CallSite site, NTSTATUS* status)
{
    std::lock_guard lock(faultLock);
    FaultState& state = StateOf(fault);
    state.calls++;
    if (std::find(state.sites.begin(), state.sites.end(), site) == state.sites.end()) {
        state.sites.push_back(site);
    }
    if (state.failAtCall != 0 && state.calls == state.failAtCall) {
        state.failAtCall = 0;
        injected++;
        if (status != nullptr) {
            *status = state.nthStatus;
        }
        return true;
    }
    if (std::find(state.failingSites.begin(), state.failingSites.end(), site) != state.failingSites.end()) {
        injected++;
        if (status != nullptr) {
            *status = state.siteStatus;
        }
        return true;
    }
    return false;
}

}  // namespace sim
