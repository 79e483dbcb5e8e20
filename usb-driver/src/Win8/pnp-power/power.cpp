/*++

Module Name:

    power.cpp

Abstract:

    Answers the power manager. Only set-power requests are acted on: a
    system state becomes a device power request that the driver asks for on
    its own stack, and a device state moves the power gate that port
    requests pass (PoweredDown, PowerUpEvent) while holding the port's
    semaphore. Every other power request goes down untouched: the driver
    never refuses a query, never arms wake-up and never idles the device
    itself.

    A system request that changes the device state is held until the device
    request it caused has finished, except that from Vista on the return to
    the working state goes on at once while the device powers up beside it.
    On the way back to D0 the port is checked, and cycled when the bus
    reports it not connected.

Environment:

    Kernel mode. Dispatch at PASSIVE_LEVEL (the device object is power
    pageable); the completion routine and the power callbacks at up to
    DISPATCH_LEVEL, in whatever context the lower driver completes in.

--*/

#include "frame/frame.h"
#include "pnp-power/pnp_power.h"
#include "usb/usb.h"

namespace {

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS PassDownPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS HandleSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack);

_IRQL_requires_max_(DISPATCH_LEVEL)
void ApplyDevicePowerState(PDEVICE_EXTENSION Extension, DEVICE_POWER_STATE NewState);

_IRQL_requires_max_(DISPATCH_LEVEL)
void CheckPortAfterPowerUp(PDEVICE_EXTENSION Extension);

IO_COMPLETION_ROUTINE DevicePowerUpCompletion;
REQUEST_POWER_COMPLETE SystemPowerRequestCompletion;
REQUEST_POWER_COMPLETE SystemResumeRequestCompletion;

_Use_decl_annotations_
NTSTATUS PassDownPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(DeviceExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}

// The held system request goes on once its device request is over, or at
// once when that request could not even be asked for. Drops the reference
// taken when it was held.
void PassHeldSystemRequestDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    PoCallDriver(DeviceExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
    ReleaseIoReference(DeviceObject);
}

NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, SYSTEM_POWER_STATE SystemState)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    // The state indexes the map: a value outside it is passed on untouched.
    if (static_cast<ULONG>(SystemState) >= PowerSystemMaximum) {
        return PassDownPower(DeviceObject, Irp);
    }
    POWER_STATE deviceState;
    deviceState.DeviceState = extension->DeviceStateMap[SystemState];
    if (deviceState.DeviceState == extension->DevicePowerState) {
        return PassDownPower(DeviceObject, Irp);
    }

    // From Vista on the system does not wait for devices on its way back:
    // the device powers up beside it.
    if (extension->OsClass >= OsClassVista && SystemState == PowerSystemWorking) {
        extension->PendingSystemPowerIrp = nullptr;
        AcquireIoReference(DeviceObject);
        if (!NT_SUCCESS(PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, deviceState,
                                          SystemResumeRequestCompletion, DeviceObject, nullptr))) {
            // No callback will come to drop it.
            ReleaseIoReference(DeviceObject);
        }
        return PassDownPower(DeviceObject, Irp);
    }

    extension->PendingSystemPowerIrp = Irp;
    AcquireIoReference(DeviceObject);
    IoMarkIrpPending(Irp);
    // From here the callback may pass the request on and its completion free
    // it before PoRequestPowerIrp returns: only a failure leaves it ours.
    if (!NT_SUCCESS(PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, deviceState,
                                      SystemPowerRequestCompletion, DeviceObject, nullptr))) {
        extension->PendingSystemPowerIrp = nullptr;
        PassHeldSystemRequestDown(DeviceObject, Irp);
    }
    return STATUS_PENDING;
}

NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE NewState)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if (NewState == extension->DevicePowerState) {
        return PassDownPower(DeviceObject, Irp);
    }

    if (NewState > extension->DevicePowerState) {
        // A transfer may wait days for its device, far longer than the
        // power manager lets a request be held: end the one in flight, then
        // take the semaphore its read or write holds. The state is recorded
        // before the lower drivers see the request.
        KeSetEvent(&extension->PowerAbortEvent, IO_NO_INCREMENT, FALSE);
        AcquireIoSemaphore(DeviceObject);
        ApplyDevicePowerState(extension, NewState);
        KeClearEvent(&extension->PowerAbortEvent);
        ReleaseIoSemaphore(DeviceObject);
        return PassDownPower(DeviceObject, Irp);
    }

    // Powering up: the semaphore stays taken until the completion routine,
    // so no port operation starts while the lower drivers bring the device
    // back.
    AcquireIoReference(DeviceObject);
    AcquireIoSemaphore(DeviceObject);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, DevicePowerUpCompletion, nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(extension->LowerDeviceObject, Irp);
}

_Use_decl_annotations_
NTSTATUS HandleSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PAGED_CODE();
    switch (Stack->Parameters.Power.Type) {
    case SystemPowerState:
        return HandleSystemSetPower(DeviceObject, Irp, Stack->Parameters.Power.State.SystemState);
    case DevicePowerState:
        return HandleDeviceSetPower(DeviceObject, Irp, Stack->Parameters.Power.State.DeviceState);
    default:
        return PassDownPower(DeviceObject, Irp);
    }
}

_Use_decl_annotations_
void ApplyDevicePowerState(PDEVICE_EXTENSION Extension, DEVICE_POWER_STATE NewState)
{
    DEVICE_POWER_STATE oldState = Extension->DevicePowerState;
    Extension->DevicePowerState = NewState;
    if (oldState == PowerDeviceD0 && NewState != PowerDeviceD0) {
        Extension->PoweredDown = TRUE;
        KeResetEvent(&Extension->PowerUpEvent);
    } else if (oldState != PowerDeviceD0 && NewState == PowerDeviceD0) {
        // Port requests waiting for D0 go only once the port is known good.
        CheckPortAfterPowerUp(Extension);
        Extension->PoweredDown = FALSE;
        KeSetEvent(&Extension->PowerUpEvent, EVENT_INCREMENT, FALSE);
    }
    POWER_STATE state;
    state.DeviceState = NewState;
    PoSetPowerState(Extension->Self, DevicePowerState, state);
}

_Use_decl_annotations_
void CheckPortAfterPowerUp(PDEVICE_EXTENSION Extension)
{
    // Above PASSIVE_LEVEL the port counts as connected and nothing is sent.
    if (!IsPortConnected(Extension->Self)) {
        CyclePort(Extension->Self);
    }
}

_Use_decl_annotations_
NTSTATUS DevicePowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    // A failed power-up leaves the device out of D0 and the gate closed.
    NTSTATUS status = Irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        ApplyDevicePowerState(DeviceExtensionOf(DeviceObject),
                              IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState);
    }
    ReleaseIoSemaphore(DeviceObject);
    PoStartNextPowerIrp(Irp);
    ReleaseIoReference(DeviceObject);
    return status;
}

_Use_decl_annotations_
void SystemPowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    // The system request goes on whatever became of the device request.
    UNREFERENCED_PARAMETER(IoStatus);
    auto functionalDevice = static_cast<PDEVICE_OBJECT>(Context);
    PDEVICE_EXTENSION extension = DeviceExtensionOf(functionalDevice);
    PIRP held = extension->PendingSystemPowerIrp;
    extension->PendingSystemPowerIrp = nullptr;
    PassHeldSystemRequestDown(functionalDevice, held);
}

_Use_decl_annotations_
void SystemResumeRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                   PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    ReleaseIoReference(static_cast<PDEVICE_OBJECT>(Context));
}

}  // namespace

_Use_decl_annotations_
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // No reference and no readiness test: the paths that outlive this call
    // take their own references.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        return HandleSetPower(DeviceObject, Irp, stack);
    }
    return PassDownPower(DeviceObject, Irp);
}
