/*++

Module Name:

    pnp.cpp

Abstract:

    Answers the Plug and Play manager. Owns the flags Started, StartSeen,
    Removed, RemovePending and StopPending that the readiness test reads:
    configures the USB device at start, unconfigures it at stop, holds port
    requests back while a stop or removal is pending, adjusts the reported
    capabilities, and tears the device down at removal. Every path drops the
    reference DispatchPnp takes on entry exactly once: through PassDownPnp
    or CompletePnp, or with its own ReleaseIoReference next to a
    SendDownKeepingReference.

Environment:

    Kernel mode, PASSIVE_LEVEL, one request at a time.

--*/

#include "frame/frame.h"
#include "pnp-power/pnp_power.h"
#include "serial/serial.h"
#include "usb/usb.h"

namespace {

// Hands the request to the lower driver unchanged and drops the dispatch
// routine's reference.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PassDownPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Sends the request down and waits until the lower drivers have completed
// it; the request comes back to the caller, not completed.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Passes the request down with a copy of our stack location and no
// completion routine, and returns what the lower driver returns. Unlike
// PassDownPnp it leaves the caller's reference held: the caller drops it
// itself, before or after.
NTSTATUS SendDownKeepingReference(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(Extension->LowerDeviceObject, Irp);
}

NTSTATUS CompletePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseIoReference(DeviceObject);
    return Status;
}

// Port requests see Removed from here on; those waiting for D0 are let go.
void MarkRemoved(PDEVICE_EXTENSION Extension)
{
    Extension->Removed = TRUE;
    KeSetEvent(&Extension->DeviceGoneEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    extension->StartSeen = TRUE;
    // The lower drivers start first; the device is configured on top of them.
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    // Under the semaphore, so no port request ever sees a configuration half
    // made, or freed again when it fails, nor the flags change under it.
    AcquireIoSemaphore(DeviceObject);
    if (NT_SUCCESS(status)) {
        status = ConfigureDevice(DeviceObject);
        if (NT_SUCCESS(status)) {
            extension->Started = TRUE;
        }
    }
    extension->Removed = FALSE;
    KeClearEvent(&extension->DeviceGoneEvent);
    ReleaseIoSemaphore(DeviceObject);
    return CompletePnp(DeviceObject, Irp, status);
}

NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    // The USB copies must not go while a transfer uses them, and a transfer
    // may have a timeout of days: end the one in flight, then take the
    // semaphore its read or write holds.
    KeSetEvent(&extension->TransferAbortEvent, IO_NO_INCREMENT, FALSE);
    AcquireIoSemaphore(DeviceObject);
    // Windows does not let a stop fail: whatever the bus answered, the
    // copies go, and the next start configures the device afresh.
    UnconfigureDevice(DeviceObject);
    ReleaseUsbResources(DeviceObject);
    // Under the semaphore, so that a request testing its readiness again
    // there never sees the stop half done.
    extension->Started = FALSE;
    extension->StartSeen = FALSE;
    extension->StopPending = FALSE;
    KeClearEvent(&extension->TransferAbortEvent);
    ReleaseIoSemaphore(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = SendDownKeepingReference(extension, Irp);
    ReleaseIoReference(DeviceObject);
    return status;
}

NTSTATUS QueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if (!extension->Started) {
        return PassDownPnp(DeviceObject, Irp);
    }
    // New port requests are refused from here on; wait for those already in
    // the driver. Our own reference goes first, so that the fall to 1 can
    // happen at all.
    extension->RemovePending = TRUE;
    ReleaseIoReference(DeviceObject);
    KeWaitForSingleObject(&extension->StopEvent, Executive, KernelMode, FALSE, nullptr);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return SendDownKeepingReference(extension, Irp);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    MarkRemoved(extension);
    CompletePendingWait(DeviceObject, STATUS_DELETE_PENDING);
    ReleaseIoReference(DeviceObject);

    // The lower drivers see the removal first, so they end transfers still
    // in progress. A removal is never failed.
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = SendDownKeepingReference(extension, Irp);

    // The base reference AddDevice took: the count can now reach 0.
    ReleaseIoReference(DeviceObject);
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    // The thread that dropped the last reference signalled the event while
    // holding the count lock; it must have left the lock before the
    // extension goes away with the device object.
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->IoCountLock, &oldIrql);
    KeReleaseSpinLock(&extension->IoCountLock, oldIrql);

    UnregisterPortInterface(DeviceObject);
    ReleaseUsbResources(DeviceObject);
    extension->RemovePending = FALSE;
    DetachAndDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    MarkRemoved(extension);
    ReleaseIoReference(DeviceObject);
    // The port name goes at once; the USB copies stay until the removal.
    UnregisterPortInterface(DeviceObject);
    CompletePendingWait(DeviceObject, STATUS_DELETE_PENDING);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return SendDownKeepingReference(extension, Irp);
}

// Query-stop, cancel-stop and cancel-remove of a started device: set or
// clear one flag, succeed and pass the request on.
NTSTATUS ChangePendingFlag(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN DEVICE_EXTENSION::*Flag, BOOLEAN Value)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if (!extension->Started) {
        return PassDownPnp(DeviceObject, Irp);
    }
    extension->*Flag = Value;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = SendDownKeepingReference(extension, Irp);
    ReleaseIoReference(DeviceObject);
    return status;
}

_Use_decl_annotations_
NTSTATUS PassDownPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(DeviceExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
    ReleaseIoReference(DeviceObject);
    return status;
}

_Use_decl_annotations_
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(DeviceExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        // Unplugging is an ordinary event for this device, not a safe removal.
        capabilities->Removable = 0;
        capabilities->SurpriseRemovalOK = 1;
        for (int state = PowerSystemWorking; state < PowerSystemMaximum; state++) {
            capabilities->DeviceState[state] = extension->DeviceStateMap[state];
        }
    }
    return CompletePnp(DeviceObject, Irp, status);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AcquireIoReference(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return QueryRemoveDevice(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return ChangePendingFlag(DeviceObject, Irp, &DEVICE_EXTENSION::RemovePending, FALSE);
    case IRP_MN_STOP_DEVICE:
        return StopDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return ChangePendingFlag(DeviceObject, Irp, &DEVICE_EXTENSION::StopPending, TRUE);
    case IRP_MN_CANCEL_STOP_DEVICE:
        return ChangePendingFlag(DeviceObject, Irp, &DEVICE_EXTENSION::StopPending, FALSE);
    case IRP_MN_QUERY_CAPABILITIES:
        if (DeviceExtensionOf(DeviceObject)->StartSeen) {
            return HandleQueryCapabilities(DeviceObject, Irp);
        }
        return PassDownPnp(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoveDevice(DeviceObject, Irp);
    default:
        return PassDownPnp(DeviceObject, Irp);
    }
}

_Use_decl_annotations_
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Passed on in every state: the device's own providers live below.
    AcquireIoReference(DeviceObject);
    NTSTATUS status = SendDownKeepingReference(DeviceExtensionOf(DeviceObject), Irp);
    ReleaseIoReference(DeviceObject);
    return status;
}
