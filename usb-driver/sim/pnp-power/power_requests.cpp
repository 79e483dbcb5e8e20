#include "power_requests.h"

#include <map>
#include <mutex>

#include "kernel/bugcheck.h"
#include "kernel/device_objects.h"
#include "kernel/fault_injection.h"
#include "kernel/irp.h"
#include "kernel/irql.h"
#include "kernel/system_worker.h"
#include "power_watchdog.h"

namespace sim {

namespace {

// A power request of the power manager's own, from its sending to the end
// of its completion: which drivers it reached and which of them started the
// next one.
struct PowerRequest {
    PDEVICE_OBJECT top;
    UCHAR minorFunction;
    POWER_STATE_TYPE type;
    POWER_STATE state;
    std::vector<PDEVICE_OBJECT> handlers;
    std::map<PDEVICE_OBJECT, unsigned> started;
};

std::mutex powerLock;
std::map<PIRP, PowerRequest> requests;
std::vector<PowerStateChange> changes;
std::map<PDEVICE_OBJECT, unsigned> startNextCalls;

bool Serialised(UCHAR minorFunction)
{
    return minorFunction == IRP_MN_QUERY_POWER || minorFunction == IRP_MN_SET_POWER;
}

// Before Vista, every driver a query-power or set-power request reached has
// started the next power request by the time the request is done with.
void CheckEveryHandlerStartedTheNext(PIRP irp)
{
    std::lock_guard lock(powerLock);
    auto found = requests.find(irp);
    if (found == requests.end() || !PowerRequestsSerialised() || !Serialised(found->second.minorFunction)) {
        return;
    }
    for (PDEVICE_OBJECT handler : found->second.handlers) {
        if (found->second.started[handler] == 0) {
            BugCheck("DRIVER_POWER_STATE_FAILURE",
                     "a driver finished with a power request without calling PoStartNextPowerIrp for it; before "
                     "Vista the device gets no further power request",
                     handler);
        }
    }
}

NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp)
{
    {
        std::lock_guard lock(powerLock);
        auto found = requests.find(irp);
        if (found != requests.end()) {
            found->second.handlers.push_back(device);
        }
    }
    if ((device->Flags & DO_POWER_PAGABLE) != 0 && CurrentIrql() > PASSIVE_LEVEL) {
        // The request will be with the device when the caller's completion
        // routine runs, though it is not there yet: it counts as pending.
        IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
        NoteCallDeferred(irp);
        QueueSystemWork([device, irp] { CallDriverForPowerManager(device, irp); });
        return STATUS_PENDING;
    }
    return CallDriverForPowerManager(device, irp);
}

}  // namespace

PIRP AllocatePowerIrp(PDEVICE_OBJECT target, UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state,
                      POWER_ACTION action, std::function<void(IO_STATUS_BLOCK)> finished)
{
    PDEVICE_OBJECT top = AttachedDeviceOf(target);
    PIRP irp = AllocateKernelIrp(top->StackSize, [finished = std::move(finished)](PIRP done) {
        ForgetPowerIrp(done);
        CheckEveryHandlerStartedTheNext(done);
        IO_STATUS_BLOCK status = done->IoStatus;
        {
            std::lock_guard lock(powerLock);
            requests.erase(done);
        }
        // Freed first: whoever finished wakes may end the test at once.
        FreeKernelIrp(done);
        finished(status);
    });
    // Drivers that do not handle a power request pass it on with this status.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minorFunction;
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    stack->Parameters.Power.ShutdownType = action;
    std::lock_guard lock(powerLock);
    requests[irp] = PowerRequest{top, minorFunction, type, state, {}, {}};
    return irp;
}

NTSTATUS SendPowerIrp(PIRP irp)
{
    PDEVICE_OBJECT top = nullptr;
    {
        std::lock_guard lock(powerLock);
        top = requests.at(irp).top;
    }
    WatchPowerIrp(irp);
    return Deliver(top, irp);
}

std::vector<PowerStateChange> PowerStateChanges()
{
    std::lock_guard lock(powerLock);
    return changes;
}

unsigned StartNextPowerIrpCalls(PDEVICE_OBJECT device)
{
    std::lock_guard lock(powerLock);
    auto found = startNextCalls.find(device);
    return found == startNextCalls.end() ? 0 : found->second;
}

std::string DescribePowerIrp(PIRP irp)
{
    std::lock_guard lock(powerLock);
    auto found = requests.find(irp);
    if (found == requests.end()) {
        return {};
    }
    const PowerRequest& request = found->second;
    std::string text = request.minorFunction == IRP_MN_SET_POWER     ? "set-power"
                       : request.minorFunction == IRP_MN_QUERY_POWER ? "query-power"
                                                                     : "power request";
    return request.type == SystemPowerState ? text + " S" + std::to_string(request.state.SystemState - 1)
                                            : text + " D" + std::to_string(request.state.DeviceState - 1);
}

void ResetPowerRequests()
{
    ResetPowerWatchdog();
    std::lock_guard lock(powerLock);
    requests.clear();
    changes.clear();
    startNextCalls.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "PoCallDriver with a request that is not a power request", Irp);
    }
    return Deliver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    // Called with the caller's own stack location current.
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    std::lock_guard lock(powerLock);
    startNextCalls[device]++;
    auto found = requests.find(Irp);
    if (found == requests.end()) {
        return;
    }
    unsigned calls = ++found->second.started[device];
    if (calls > 1 && PowerRequestsSerialised() && Serialised(found->second.minorFunction)) {
        BugCheck("DRIVER_POWER_STATE_FAILURE", "PoStartNextPowerIrp called twice by one driver for one power request",
                 device);
    }
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
    std::lock_guard lock(powerLock);
    // A device is in D0, and the system working, until told otherwise.
    POWER_STATE previous;
    previous.DeviceState = PowerDeviceD0;
    if (Type == SystemPowerState) {
        previous.SystemState = PowerSystemWorking;
    }
    for (const PowerStateChange& change : changes) {
        if (change.device == DeviceObject && change.type == Type) {
            previous = change.state;
        }
    }
    changes.push_back(PowerStateChange{DeviceObject, Type, State});
    return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    NTSTATUS failure = STATUS_INSUFFICIENT_RESOURCES;
    if (Faults::ShouldFail(Fault::RequestPowerIrp, SIM_CALL_SITE(), &failure)) {
        return failure;
    }
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        BugCheck("SIMULATION_LIMIT", "wait-wake requests are not simulated", DeviceObject);
    }
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER) {
        return STATUS_INVALID_PARAMETER_2;
    }
    PIRP irp = AllocatePowerIrp(DeviceObject, MinorFunction, DevicePowerState, PowerState, PowerActionNone,
                                [=](IO_STATUS_BLOCK status) {
                                    if (CompletionFunction != nullptr) {
                                        CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
                                    }
                                });
    if (Irp != nullptr) {
        *Irp = irp;
    }
    SendPowerIrp(irp);
    return STATUS_PENDING;
}

}  // extern "C"
