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

IO_COMPLETION_ROUTINE BulkTransferCompletion;

// The state word's values.
constexpr LONG TransferSent = 0;
constexpr LONG TransferTimedOut = 1;   // BulkTransfer is about to cancel
constexpr LONG TransferCancelled = 2;  // BulkTransfer has cancelled
constexpr LONG TransferCompleted = 3;  // the completion routine has run

struct TransferContext {
    PURB Urb;
    volatile LONG* CancelState;
    ULONG TotalLength;
};

// What one transfer allocates. BulkTransfer frees the buffer and the status
// block itself; the URB and the context travel with the request, and the
// handshake decides which side frees them.
struct TransferParts {
    PUCHAR Buffer;
    PURB Urb;
    TransferContext* Context;
    PIO_STATUS_BLOCK StatusBlock;
};

void FreeIfAllocated(PVOID Memory)
{
    if (Memory != nullptr) {
        ExFreePoolWithTag(Memory, DriverPoolTag);
    }
}

// All four or none.
BOOLEAN AllocateTransferParts(TransferParts* Parts)
{
    Parts->Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, BulkBufferSize, DriverPoolTag));
    Parts->Urb = Parts->Buffer != nullptr
                     ? static_cast<PURB>(AllocateZeroedPool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)))
                     : nullptr;
    Parts->Context =
        Parts->Urb != nullptr ? static_cast<TransferContext*>(AllocateZeroedPool(sizeof(TransferContext))) : nullptr;
    Parts->StatusBlock = Parts->Context != nullptr
                             ? static_cast<PIO_STATUS_BLOCK>(AllocateZeroedPool(sizeof(IO_STATUS_BLOCK)))
                             : nullptr;
    if (Parts->StatusBlock == nullptr) {
        FreeIfAllocated(Parts->Context);
        FreeIfAllocated(Parts->Urb);
        FreeIfAllocated(Parts->Buffer);
        return FALSE;
    }
    return TRUE;
}

// All data pass through a buffer of our own: the bus never sees the
// caller's memory.
void BuildBulkUrb(const TransferParts& Parts, PUSBD_PIPE_INFORMATION Pipe, TRANSFER_DIRECTION Direction, PVOID Buffer,
                  ULONG Length)
{
    if (Direction == TransferOut) {
        RtlCopyMemory(Parts.Buffer, Buffer, Length);
    }
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = Parts.Urb->UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = Pipe->PipeHandle;
    // A read always offers the whole buffer, so that it ends with the
    // device's message, whatever the caller asked for.
    transfer.TransferFlags =
        Direction == TransferIn ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    transfer.TransferBufferLength = Direction == TransferIn ? BulkBufferSize : Length;
    transfer.TransferBuffer = Parts.Buffer;
    transfer.TransferBufferMDL = nullptr;
    transfer.UrbLink = nullptr;
}

// The request is certain to exist until we let its completion go on: a
// completion routine that finds TransferTimedOut stops it. The context is
// not read here: the completion routine may have freed it already.
void CancelTransfer(PIRP Irp, volatile LONG* CancelState, PURB Urb, TransferContext* Context)
{
    if (InterlockedExchange(CancelState, TransferTimedOut) == TransferSent) {
        IoCancelIrp(Irp);
        if (InterlockedExchange(CancelState, TransferCancelled) == TransferCompleted) {
            ExFreePoolWithTag(Context, DriverPoolTag);
            ExFreePoolWithTag(Urb, DriverPoolTag);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
        }
    }
}

// Sends the request and waits for it. *Abandoned tells a request that the
// wait gave up on, cancelled and saw fully completed (STATUS_IO_TIMEOUT or
// STATUS_CANCELLED) from one that completed by itself with its own status.
NTSTATUS SendAndWait(PDEVICE_EXTENSION Extension, PIRP Irp, PKEVENT Event, const TransferParts& Parts,
                     PLARGE_INTEGER Timeout, BOOLEAN* Abandoned)
{
    volatile LONG cancelState;
    InterlockedExchange(&cancelState, TransferSent);
    Parts.Context->Urb = Parts.Urb;
    Parts.Context->CancelState = &cancelState;
    Parts.Context->TotalLength = 0;
    IoSetCompletionRoutine(Irp, BulkTransferCompletion, Parts.Context, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = Parts.Urb;

    *Abandoned = FALSE;
    NTSTATUS status = IoCallDriver(Extension->LowerDeviceObject, Irp);
    if (status != STATUS_PENDING) {
        return status;
    }
    // A stop or a power-down ends the transfer early through its abort
    // event, the same way an expired time limit does.
    LARGE_INTEGER relativeTimeout;
    relativeTimeout.QuadPart = -Timeout->QuadPart;
    PVOID waitObjects[] = {Event, &Extension->TransferAbortEvent, &Extension->PowerAbortEvent};
    NTSTATUS waited =
        KeWaitForMultipleObjects(3, waitObjects, WaitAny, Executive, KernelMode, FALSE, &relativeTimeout, nullptr);
    if (waited == STATUS_WAIT_0) {
        return Parts.StatusBlock->Status;
    }
    CancelTransfer(Irp, &cancelState, Parts.Urb, Parts.Context);
    // Returns only once the request has fully completed, so the completion
    // routine never writes to a stale frame. Data that arrived meanwhile are
    // dropped.
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
    *Abandoned = TRUE;
    return waited == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : STATUS_CANCELLED;
}

// Builds the request and sends it. *Finished is FALSE when there was no
// request to send, or when the wait gave it up: the status is then final.
NTSTATUS RunTransfer(PDEVICE_EXTENSION Extension, const TransferParts& Parts, PLARGE_INTEGER Timeout, BOOLEAN* Finished)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Extension->LowerDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &event, Parts.StatusBlock);
    if (irp == nullptr) {
        ExFreePoolWithTag(Parts.Context, DriverPoolTag);
        ExFreePoolWithTag(Parts.Urb, DriverPoolTag);
        *Finished = FALSE;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BOOLEAN abandoned;
    NTSTATUS status = SendAndWait(Extension, irp, &event, Parts, Timeout, &abandoned);
    *Finished = !abandoned;
    return status;
}

// What the caller learns of a transfer that completed by itself, and the
// data a read brings back.
NTSTATUS MapTransferResult(PDEVICE_OBJECT DeviceObject, NTSTATUS Status, const TransferParts& Parts,
                           TRANSFER_DIRECTION Direction, PVOID Buffer, ULONG Length, PULONG Transferred)
{
    // Recovery is pointless after a cancel or for a device that is gone.
    if (!NT_SUCCESS(Status) && Status != STATUS_CANCELLED && Status != STATUS_DEVICE_NOT_CONNECTED) {
        RecoverPipes(DeviceObject);
    }
    if (Status != STATUS_SUCCESS) {
        return (Status == STATUS_TIMEOUT || Status == STATUS_IO_TIMEOUT) ? Status : STATUS_IO_DEVICE_ERROR;
    }
    const ULONG moved = static_cast<ULONG>(Parts.StatusBlock->Information);
    if (Direction == TransferOut) {
        if (moved != Length) {
            return STATUS_IO_DEVICE_ERROR;
        }
        *Transferred = moved;
        return STATUS_SUCCESS;
    }
    if (moved > Length) {
        // The message does not fit the caller's buffer: dropped.
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (moved != 0) {
        RtlCopyMemory(Buffer, Parts.Buffer, moved);
    }
    *Transferred = moved;
    return STATUS_SUCCESS;
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

}  // namespace

_Use_decl_annotations_
NTSTATUS CheckBulkTransfer(PDEVICE_OBJECT DeviceObject, TRANSFER_DIRECTION Direction, ULONG Length)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if ((Direction == TransferIn ? extension->BulkInPipe : extension->BulkOutPipe) == nullptr) {
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
NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, TRANSFER_DIRECTION Direction, PVOID Buffer, ULONG Length,
                      PULONG Transferred, PLARGE_INTEGER Timeout)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    NTSTATUS refused = CheckBulkTransfer(DeviceObject, Direction, Length);
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

    TransferParts parts;
    if (!AllocateTransferParts(&parts)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildBulkUrb(parts, Direction == TransferIn ? extension->BulkInPipe : extension->BulkOutPipe, Direction, Buffer,
                 Length);
    BOOLEAN finished;
    NTSTATUS status = RunTransfer(extension, parts, Timeout, &finished);
    if (finished) {
        status = MapTransferResult(DeviceObject, status, parts, Direction, Buffer, Length, Transferred);
    }
    ExFreePoolWithTag(parts.StatusBlock, DriverPoolTag);
    ExFreePoolWithTag(parts.Buffer, DriverPoolTag);
    return status;
}
