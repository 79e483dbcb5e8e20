/*++

Module Name:

    pending_wait.cpp

Abstract:

    The one wait-on-mask request the driver may hold. No serial event is
    ever detected, so the request ends only when something completes it:
    a purge, a close, a removal, or its sender cancelling it (CancelIo, or
    the exit of the thread that sent it). Taking the request in and out, and
    its cancel routine, all run under the cancel spin lock, so whoever takes
    it out completes it, exactly once, and a second wait finds the place
    taken.

Environment:

    Kernel mode, up to DISPATCH_LEVEL.

--*/

#include "serial/serial.h"

namespace {

DRIVER_CANCEL CancelPendingWait;

_Use_decl_annotations_
void CancelPendingWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Called with the cancel spin lock held. The routine is cleared whenever
    // the request is taken out, so it is still the held one.
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    extension->PendingWaitIrp = nullptr;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS HoldPendingWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (extension->PendingWaitIrp != nullptr) {
        IoReleaseCancelSpinLock(cancelIrql);
        return STATUS_INVALID_PARAMETER;
    }
    // A removal sets Removed before it takes this lock to complete the held
    // request: a request that comes after that finds nothing would be held
    // for good.
    if (extension->Removed) {
        IoReleaseCancelSpinLock(cancelIrql);
        return STATUS_DELETE_PENDING;
    }
    // Cancelled before it could be held, for instance by its thread's exit.
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(cancelIrql);
        return STATUS_CANCELLED;
    }
    Irp->IoStatus.Information = 0;
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, CancelPendingWait);
    extension->PendingWaitIrp = Irp;
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
}

_Use_decl_annotations_
void CompletePendingWait(PDEVICE_OBJECT DeviceObject, NTSTATUS Status)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP irp = extension->PendingWaitIrp;
    if (irp != nullptr) {
        extension->PendingWaitIrp = nullptr;
        // Under the cancel spin lock the cancel routine cannot be running:
        // the request is ours once it is out of the extension.
        IoSetCancelRoutine(irp, nullptr);
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (irp == nullptr) {
        return;
    }
    // Information stays 0, as set when the request was held: no event mask.
    irp->IoStatus.Status = Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}
