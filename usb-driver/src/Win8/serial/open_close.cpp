/*++

Module Name:

    open_close.cpp

Abstract:

    IRP_MJ_CREATE and IRP_MJ_CLOSE for the COM port. One open may exist at a
    time; each open puts the timeouts back to their defaults. A close always
    succeeds, also after the device has been removed.

Environment:

    Kernel mode, PASSIVE_LEVEL, in the caller's thread.

--*/

#include "frame/frame.h"
#include "serial/serial.h"

_Use_decl_annotations_
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RunGatedRequest(DeviceObject, Irp, OpenPort);
}

_Use_decl_annotations_
NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if (extension->PortOpen) {
        return STATUS_SHARING_VIOLATION;
    }
    extension->PortOpen = TRUE;
    // Control requests may set timeouts at this very moment.
    StoreSetting(extension, &extension->Timeouts, &DefaultTimeouts, sizeof(SERIAL_TIMEOUTS));
    return STATUS_SUCCESS;
}

namespace {

BOOLEAN IsNotRemoved(PDEVICE_OBJECT DeviceObject)
{
    return !DeviceExtensionOf(DeviceObject)->Removed;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AcquireIoReference(DeviceObject);

    // A removed device closes at once, without the semaphore: it may never
    // return to D0.
    BOOLEAN holdsSemaphore = NT_SUCCESS(PassPowerGate(DeviceObject, IsNotRemoved));
    ClosePort(DeviceObject);
    if (holdsSemaphore) {
        ReleaseIoSemaphore(DeviceObject);
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseIoReference(DeviceObject);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject)
{
    CompletePendingWait(DeviceObject, STATUS_SUCCESS);
    DeviceExtensionOf(DeviceObject)->PortOpen = FALSE;
    return STATUS_SUCCESS;
}
