/*++

Module Name:

    read_write.cpp

Abstract:

    IRP_MJ_READ and IRP_MJ_WRITE: each write becomes exactly one bulk OUT
    transfer of the caller's bytes, each read exactly one bulk IN transfer,
    bounded by a timeout computed from the port's serial timeouts. A request
    runs from start to end inside its dispatch call, holding the port's
    semaphore for the whole transfer.

Environment:

    Kernel mode, PASSIVE_LEVEL, in the requesting thread.

--*/

#include "frame/frame.h"
#include "serial/serial.h"
#include "usb/usb.h"

namespace {

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadPort(PDEVICE_OBJECT DeviceObject, PIRP Irp);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS WritePort(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// A transfer always gets at least this long, so a zero timeout never means
// "do not wait at all".
constexpr ULONG MinimumTimeoutMs = 50;

// A zero-length request comes without a memory descriptor.
NTSTATUS CallerBufferLength(PIRP Irp, ULONG* Length)
{
    PMDL mdl = Irp->MdlAddress;
    // The described address is computed as a number: pointer arithmetic
    // may not produce null, so the compiler would drop the test.
    if (mdl == nullptr || MmGetMdlByteCount(mdl) == 0 ||
        reinterpret_cast<ULONG_PTR>(mdl->StartVa) + mdl->ByteOffset == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *Length = MmGetMdlByteCount(mdl);
    return STATUS_SUCCESS;
}

// The caller's buffer is reached through a system-space mapping of its
// memory descriptor: the user address is valid only in the caller's process.
// A transfer that would be refused is refused before anything is mapped.
NTSTATUS Transfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TRANSFER_DIRECTION Direction, ULONG Length, ULONG TimeoutMs,
                  ULONG* Transferred)
{
    NTSTATUS refused = CheckBulkTransfer(DeviceObject, Direction, Length);
    if (!NT_SUCCESS(refused)) {
        return refused;
    }
    PVOID buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = static_cast<LONGLONG>(TimeoutMs) * 10000;
    return BulkTransfer(DeviceObject, Direction, buffer, Length, Transferred, &timeout);
}

// What a read and a write check and take before their transfer: the device
// still there, a buffer to move, and a consistent copy of the timeouts.
NTSTATUS PrepareTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG* Length, SERIAL_TIMEOUTS* Timeouts)
{
    Irp->IoStatus.Information = 0;
    if (!IsPortConnected(DeviceObject)) {
        return STATUS_DELETE_PENDING;
    }
    NTSTATUS status = CallerBufferLength(Irp, Length);
    if (NT_SUCCESS(status)) {
        PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
        LoadSetting(extension, Timeouts, &extension->Timeouts, sizeof(SERIAL_TIMEOUTS));
    }
    return status;
}

// A transfer that failed because the device went away reports that, not
// the transfer's own error.
BOOLEAN DeviceGone(PDEVICE_OBJECT DeviceObject)
{
    return DeviceExtensionOf(DeviceObject)->Removed || !IsPortConnected(DeviceObject);
}

_Use_decl_annotations_
NTSTATUS ReadPort(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    ULONG length;
    SERIAL_TIMEOUTS timeouts;
    NTSTATUS status = PrepareTransfer(DeviceObject, Irp, &length, &timeouts);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Timing between received bytes does not exist here: the interval
    // timeout only selects the constant alone.
    ULONG timeoutMs = (timeouts.ReadIntervalTimeout == MAXULONG || timeouts.ReadTotalTimeoutMultiplier == MAXULONG)
                          ? timeouts.ReadTotalTimeoutConstant
                          : timeouts.ReadTotalTimeoutMultiplier * length + timeouts.ReadTotalTimeoutConstant;
    if (timeoutMs < MinimumTimeoutMs) {
        timeoutMs = MinimumTimeoutMs;
    }
    extension->ReadTimeoutMs = timeoutMs;

    ULONG received = 0;
    status = Transfer(DeviceObject, Irp, TransferIn, length, timeoutMs, &received);
    if (status == STATUS_TIMEOUT) {
        return STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = received;
        return status;
    }
    if (DeviceGone(DeviceObject)) {
        return STATUS_DELETE_PENDING;
    }
    // A read whose time ran out on a present device received nothing.
    return status == STATUS_IO_TIMEOUT ? STATUS_SUCCESS : status;
}

_Use_decl_annotations_
NTSTATUS WritePort(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    ULONG length;
    SERIAL_TIMEOUTS timeouts;
    NTSTATUS status = PrepareTransfer(DeviceObject, Irp, &length, &timeouts);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    ULONG timeoutMs = timeouts.WriteTotalTimeoutMultiplier * length + timeouts.WriteTotalTimeoutConstant;
    if (timeoutMs < MinimumTimeoutMs) {
        timeoutMs = MinimumTimeoutMs;
    }
    extension->WriteTimeoutMs = timeoutMs;

    ULONG sent = 0;
    status = Transfer(DeviceObject, Irp, TransferOut, length, timeoutMs, &sent);
    if (status == STATUS_TIMEOUT) {
        Irp->IoStatus.Information = sent;
        return STATUS_IO_TIMEOUT;
    }
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = sent;
        return status;
    }
    return DeviceGone(DeviceObject) ? STATUS_DELETE_PENDING : status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RunGatedRequest(DeviceObject, Irp, ReadPort);
}

_Use_decl_annotations_
NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RunGatedRequest(DeviceObject, Irp, WritePort);
}
