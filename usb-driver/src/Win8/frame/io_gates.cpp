/*++

Module Name:

    io_gates.cpp

Abstract:

    The gates every request passes: the I/O reference count with the events
    that let Plug and Play wait for the driver to drain, the readiness test,
    and the power gate with the one-count semaphore that serialises port
    operations and device power changes.

Environment:

    Kernel mode. References may be taken and dropped at up to
    DISPATCH_LEVEL; the waits run at PASSIVE_LEVEL.

--*/

#include "frame/frame.h"

namespace {

// Returns once the device is in D0, or once it is removed and will never
// return to D0: the caller tests Removed afterwards.
_IRQL_requires_max_(PASSIVE_LEVEL)
void WaitForPowerUp(PDEVICE_OBJECT DeviceObject);

_Use_decl_annotations_
void WaitForPowerUp(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    // A device removed while out of D0 never comes back: without the second
    // event its waiters would hold their references, and the removal would
    // wait for them for good.
    PVOID events[] = {&extension->PowerUpEvent, &extension->DeviceGoneEvent};
    KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
}

}  // namespace

void InitializeIoReference(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->StopEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&extension->IoCountLock);
}

_Use_decl_annotations_
void AcquireIoReference(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->IoCountLock, &oldIrql);
    LONG count = InterlockedIncrement(&extension->OutstandingIo);
    // The events follow transitions: one request in the driver besides the
    // base reference means it is no longer drained.
    if (count == 2) {
        KeClearEvent(&extension->StopEvent);
    }
    KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
}

_Use_decl_annotations_
void ReleaseIoReference(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->IoCountLock, &oldIrql);
    LONG count = InterlockedDecrement(&extension->OutstandingIo);
    if (count == 1) {
        KeSetEvent(&extension->StopEvent, IO_NO_INCREMENT, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
}

BOOLEAN IsDeviceReady(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    // Read without a lock: the reference the caller holds is what makes a
    // removal or query-remove wait for a request that saw the old value.
    return !extension->Removed && extension->Started && !extension->RemovePending && !extension->StopPending;
}

_Use_decl_annotations_
void AcquireIoSemaphore(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    KeWaitForSingleObject(&DeviceExtensionOf(DeviceObject)->IoSemaphore, Executive, KernelMode, FALSE, nullptr);
}

_Use_decl_annotations_
void ReleaseIoSemaphore(PDEVICE_OBJECT DeviceObject)
{
    KeReleaseSemaphore(&DeviceExtensionOf(DeviceObject)->IoSemaphore, 0, 1, FALSE);
}

_Use_decl_annotations_
NTSTATUS PassPowerGate(PDEVICE_OBJECT DeviceObject, GATE_TEST* Ready)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    while (Ready(DeviceObject)) {
        WaitForPowerUp(DeviceObject);
        if (extension->Removed) {
            return STATUS_DELETE_PENDING;
        }
        AcquireIoSemaphore(DeviceObject);
        // PoweredDown only changes under the semaphore, so this test is
        // decisive. Readiness is tested again too: a stop or a removal may
        // have come while the request waited, and the USB copies a body uses
        // may be gone or half made again by a restart.
        if (!extension->PoweredDown && Ready(DeviceObject)) {
            return STATUS_SUCCESS;
        }
        ReleaseIoSemaphore(DeviceObject);
    }
    return STATUS_INVALID_DEVICE_STATE;
}

_Use_decl_annotations_
NTSTATUS RunGatedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, GATED_BODY* Body)
{
    PAGED_CODE();
    // Counted before the readiness test, so a removal that starts after the
    // test waits for this request.
    AcquireIoReference(DeviceObject);
    Irp->IoStatus.Information = 0;

    NTSTATUS status = PassPowerGate(DeviceObject, IsDeviceReady);
    if (NT_SUCCESS(status)) {
        status = Body(DeviceObject, Irp);
        ReleaseIoSemaphore(DeviceObject);
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseIoReference(DeviceObject);
    return status;
}
