/*++

Module Name:

    bulk_transfer.cpp

Abstract:

    One bulk transfer between a caller's buffer and the device: a write is
    one bulk OUT transfer, a read one bulk IN transfer that ends at the
    device's first short packet. The transfer is waited for with a time
    limit and cancelled when the limit passes or a stop or power-down
    aborts it. BulkTransfer and its completion routine agree through a
    state word, without a lock, on who frees the URB and the context and who
    lets the completion go on after a timeout; each side acts on the value
    its atomic exchange replaced.

Environment:

    Kernel mode. BulkTransfer at PASSIVE_LEVEL in the thread of a read or
    write holding the port's semaphore; the completion routine at up to
    DISPATCH_LEVEL, in whatever context the bus driver completes in.

--*/

#include "usb/usb.h"

namespace {

// The state word's values.
constexpr LONG TransferSent = 0;
constexpr LONG TransferTimedOut = 1;    // BulkTransfer is about to cancel
constexpr LONG TransferCancelled = 2;   // BulkTransfer has cancelled
constexpr LONG TransferCompleted = 3;   // the completion routine has run

struct TransferContext {
    PURB Urb;
    volatile LONG* CancelState;
    ULONG TotalLength;
};

void FreeIfAllocated(PVOID Memory)
{
    if (Memory != nullptr) {
        ExFreePoolWithTag(Memory, DriverPoolTag);
    }
}

}  // namespace

_Use_decl_annotations_
NTSTATUS CheckBulkTransfer(PDEVICE_OBJECT DeviceObject, BOOLEAN Read, ULONG Length)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if ((Read ? extension->BulkInPipe : extension->BulkOutPipe) == nullptr) {
        return STATUS_DEVICE_NOT_READY;
    }
    if (Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (extension->Removed) {
        return STATUS_DELETE_PENDING;
    }
    return Length > BulkBufferSize ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, BOOLEAN Read, PVOID Buffer, ULONG Length, PULONG Transferred,
                      PLARGE_INTEGER Timeout)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    NTSTATUS refused = CheckBulkTransfer(DeviceObject, Read, Length);
    if (refused == STATUS_DEVICE_NOT_READY) {
        return refused;
    }
    *Transferred = 0;
    if (Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(refused)) {
        return refused;
    }
    PUSBD_PIPE_INFORMATION pipe = Read ? extension->BulkInPipe : extension->BulkOutPipe;

    // All data pass through a buffer of our own: the bus never sees the
    // caller's memory.
    auto transferBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, BulkBufferSize, DriverPoolTag));
    if (transferBuffer != nullptr && !Read) {
        RtlCopyMemory(transferBuffer, Buffer, Length);
    }
    auto urb = transferBuffer != nullptr
                   ? static_cast<PURB>(AllocateZeroedPool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)))
                   : nullptr;
    auto context = urb != nullptr ? static_cast<TransferContext*>(AllocateZeroedPool(sizeof(TransferContext))) : nullptr;
    auto statusBlock =
        context != nullptr ? static_cast<PIO_STATUS_BLOCK>(AllocateZeroedPool(sizeof(IO_STATUS_BLOCK))) : nullptr;
    if (statusBlock == nullptr) {
        FreeIfAllocated(context);
        FreeIfAllocated(urb);
        FreeIfAllocated(transferBuffer);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = pipe->PipeHandle;
    // A read always offers the whole buffer, so that it ends with the
    // device's message, whatever the caller asked for.
    transfer.TransferFlags = Read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    transfer.TransferBufferLength = Read ? BulkBufferSize : Length;
    transfer.TransferBuffer = transferBuffer;
    transfer.TransferBufferMDL = nullptr;
    transfer.UrbLink = nullptr;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->LowerDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &event, statusBlock);
    if (irp == nullptr) {
        ExFreePoolWithTag(statusBlock, DriverPoolTag);
        ExFreePoolWithTag(context, DriverPoolTag);
        ExFreePoolWithTag(urb, DriverPoolTag);
        ExFreePoolWithTag(transferBuffer, DriverPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    volatile LONG cancelState;
    InterlockedExchange(&cancelState, TransferSent);
    context->Urb = urb;
    context->CancelState = &cancelState;
    context->TotalLength = 0;
    IoSetCompletionRoutine(irp, BulkTransferCompletion, context, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;

    NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        // A stop or a power-down ends the transfer early through its abort
        // event, the same way an expired time limit does.
        LARGE_INTEGER relativeTimeout;
        relativeTimeout.QuadPart = -Timeout->QuadPart;
        PVOID waitObjects[] = {&event, &extension->TransferAbortEvent, &extension->PowerAbortEvent};
        NTSTATUS waited = KeWaitForMultipleObjects(3, waitObjects, WaitAny, Executive, KernelMode, FALSE,
                                                   &relativeTimeout, nullptr);
        if (waited != STATUS_WAIT_0) {
            // The request is certain to exist until we let its completion go
            // on: a completion routine that finds TransferTimedOut stops it.
            if (InterlockedExchange(&cancelState, TransferTimedOut) == TransferSent) {
                IoCancelIrp(irp);
                if (InterlockedExchange(&cancelState, TransferCancelled) == TransferCompleted) {
                    ExFreePoolWithTag(context, DriverPoolTag);
                    ExFreePoolWithTag(urb, DriverPoolTag);
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                }
            }
            // Returns only once the request has fully completed, so the
            // completion routine never writes to a stale frame. Data that
            // arrived meanwhile are dropped.
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            ExFreePoolWithTag(statusBlock, DriverPoolTag);
            ExFreePoolWithTag(transferBuffer, DriverPoolTag);
            return waited == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : STATUS_CANCELLED;
        }
        status = statusBlock->Status;
    }

    // Recovery is pointless after a cancel or for a device that is gone.
    if (!NT_SUCCESS(status) && status != STATUS_CANCELLED && status != STATUS_DEVICE_NOT_CONNECTED) {
        RecoverPipes(DeviceObject);
    }

    NTSTATUS result;
    if (status != STATUS_SUCCESS) {
        result = (status == STATUS_TIMEOUT || status == STATUS_IO_TIMEOUT) ? status : STATUS_IO_DEVICE_ERROR;
    } else {
        const ULONG moved = static_cast<ULONG>(statusBlock->Information);
        *Transferred = moved;
        result = STATUS_SUCCESS;
        if (Read) {
            if (moved > Length) {
                // The message does not fit the caller's buffer: dropped.
                *Transferred = 0;
                result = STATUS_BUFFER_TOO_SMALL;
            } else if (moved != 0) {
                RtlCopyMemory(Buffer, transferBuffer, moved);
            }
        } else if (moved != Length) {
            *Transferred = 0;
            result = STATUS_IO_DEVICE_ERROR;
        }
    }

    ExFreePoolWithTag(statusBlock, DriverPoolTag);
    ExFreePoolWithTag(transferBuffer, DriverPoolTag);
    return result;
}

_Use_decl_annotations_
NTSTATUS BulkTransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto context = static_cast<TransferContext*>(Context);

    // BulkTransfer is between its two exchanges: it owns the rest.
    if (InterlockedExchange(context->CancelState, TransferCompleted) == TransferTimedOut) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    NTSTATUS status = Irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        // The bus leaves the bytes actually moved in the URB.
        context->TotalLength += context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        Irp->IoStatus.Information = context->TotalLength;
        status = STATUS_SUCCESS;
    }
    ExFreePoolWithTag(context->Urb, DriverPoolTag);
    ExFreePoolWithTag(context, DriverPoolTag);
    return status;
}
