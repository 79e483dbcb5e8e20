/*++

Module Name:

    usb.h

Abstract:

    The USB transport: every request the driver sends to the USB bus driver
    below it. URB submission and port control, configuration of the device,
    and the bulk transfer that carries each read and write.

Environment:

    Kernel mode.

--*/

#pragma once

#include "frame/device_extension.h"

// The intermediate buffer of every bulk transfer, and the largest read or
// write the port takes.
constexpr ULONG BulkBufferSize = 65536;

// URB submission and port control. Each sends its own request to the lower
// driver and waits for it without a time limit.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);

// FALSE only when the device is marked removed or the bus reports the port
// not connected; TRUE above PASSIVE_LEVEL, where nothing can be asked.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsPortConnected(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CyclePort(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);

// After a failed transfer: reset the OUT pipe, the IN pipe, then the port.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RecoverPipes(PDEVICE_OBJECT DeviceObject);

// Device configuration.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReleaseUsbResources(PDEVICE_OBJECT DeviceObject);

// The direction of a bulk transfer, as the device sees it.
typedef enum _TRANSFER_DIRECTION { TransferOut, TransferIn } TRANSFER_DIRECTION;

// The refusals BulkTransfer makes before it touches a buffer: no pipe
// (STATUS_DEVICE_NOT_READY), a length of 0 or above BulkBufferSize
// (STATUS_INVALID_PARAMETER), a removed device (STATUS_DELETE_PENDING).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CheckBulkTransfer(PDEVICE_OBJECT DeviceObject, TRANSFER_DIRECTION Direction, ULONG Length);

// One bulk transfer, IN into Buffer or OUT from it, bounded by Timeout
// (positive, in 100 ns units).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, TRANSFER_DIRECTION Direction, PVOID Buffer, ULONG Length,
                      PULONG Transferred, PLARGE_INTEGER Timeout);
