/*++

Module Name:

    usb_requests.cpp

Abstract:

    The requests the driver sends to the USB bus driver and waits for: URBs,
    the port status, port reset and cycle, pipe reset, and the recovery
    sequence after a failed transfer. Each call builds its own internal
    device control request, which the I/O manager frees when it completes.

Environment:

    Kernel mode, PASSIVE_LEVEL (IsPortConnected at any IRQL up to
    DISPATCH_LEVEL).

--*/

#include "usb/usb.h"

namespace {

// Sends an internal control request with its argument in Argument1 and
// waits for it. Built tells whether the request could be made at all.
NTSTATUS SendUsbRequestAndWait(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID Argument,
                               PIO_STATUS_BLOCK StatusBlock, BOOLEAN* Built)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, extension->LowerDeviceObject, nullptr, 0, nullptr, 0, TRUE,
                                             &event, StatusBlock);
    *Built = irp != nullptr;
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Argument != nullptr) {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument;
    }
    NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = StatusBlock->Status;
    }
    return status;
}

NTSTATUS SendPortRequest(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode)
{
    if (DeviceExtensionOf(DeviceObject)->Removed) {
        return STATUS_DELETE_PENDING;
    }
    IO_STATUS_BLOCK statusBlock = {};
    BOOLEAN built;
    return SendUsbRequestAndWait(DeviceObject, IoControlCode, nullptr, &statusBlock, &built);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    PAGED_CODE();
    auto statusBlock = static_cast<PIO_STATUS_BLOCK>(AllocateZeroedPool(sizeof(IO_STATUS_BLOCK)));
    if (statusBlock == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Only the request's status counts, never the URB header's.
    BOOLEAN built;
    NTSTATUS status = SendUsbRequestAndWait(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, statusBlock, &built);

    ExFreePoolWithTag(statusBlock, DriverPoolTag);
    return status;
}

_Use_decl_annotations_
BOOLEAN IsPortConnected(PDEVICE_OBJECT DeviceObject)
{
    // A completion routine cannot wait for the bus: it assumes the best.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return TRUE;
    }
    if (DeviceExtensionOf(DeviceObject)->Removed) {
        return FALSE;
    }
    ULONG portStatus = 0;
    IO_STATUS_BLOCK statusBlock = {};
    BOOLEAN built;
    NTSTATUS status =
        SendUsbRequestAndWait(DeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, &statusBlock, &built);
    // Only a port the bus positively reports as gone counts as gone.
    if (!built || !NT_SUCCESS(status)) {
        return TRUE;
    }
    return (portStatus & USBD_PORT_CONNECTED) != 0 ? TRUE : FALSE;
}

_Use_decl_annotations_
NTSTATUS CyclePort(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    return SendPortRequest(DeviceObject, IOCTL_INTERNAL_USB_CYCLE_PORT);
}

_Use_decl_annotations_
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    return SendPortRequest(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT);
}

_Use_decl_annotations_
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe)
{
    PAGED_CODE();
    if (DeviceExtensionOf(DeviceObject)->Removed || !IsPortConnected(DeviceObject)) {
        return STATUS_DELETE_PENDING;
    }
    auto urb = static_cast<struct _URB_PIPE_REQUEST*>(AllocateZeroedPool(sizeof(struct _URB_PIPE_REQUEST)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb->PipeHandle = Pipe->PipeHandle;

    NTSTATUS status = SubmitUrbSync(DeviceObject, reinterpret_cast<PURB>(urb));
    ExFreePoolWithTag(urb, DriverPoolTag);
    return status;
}

_Use_decl_annotations_
NTSTATUS RecoverPipes(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    // Each step is tried whatever the one before did.
    if (extension->BulkOutPipe != nullptr) {
        ResetPipe(DeviceObject, extension->BulkOutPipe);
    }
    if (extension->BulkInPipe != nullptr) {
        ResetPipe(DeviceObject, extension->BulkInPipe);
    }
    ResetPort(DeviceObject);
    return STATUS_SUCCESS;
}
