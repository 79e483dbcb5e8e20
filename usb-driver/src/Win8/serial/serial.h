/*++

Module Name:

    serial.h

Abstract:

    What the driver looks like to an application: the COM port's names, and
    its open and close.

Environment:

    Kernel mode.

--*/

#pragma once

#include "frame/device_extension.h"

// COM port naming.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RegisterPortInterface(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS UnregisterPortInterface(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CreatePortName(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RemovePortName(PDEVICE_OBJECT DeviceObject);

// Reads a value's data into Destination when it fits; ValueNameSize counts
// the name's bytes with its terminator.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Destination,
                            ULONG DestinationSize);

// Copies a serial setting in or out of the extension whole, under the
// settings lock, so readers never see a half-written record.
_IRQL_requires_max_(DISPATCH_LEVEL)
void StoreSetting(PDEVICE_EXTENSION DeviceExtension, PVOID Field, const void* Value, ULONG Size);

_IRQL_requires_max_(DISPATCH_LEVEL)
void LoadSetting(PDEVICE_EXTENSION DeviceExtension, PVOID Destination, const void* Field, ULONG Size);

// Open and close.
_Dispatch_type_(IRP_MJ_CREATE) DRIVER_DISPATCH DispatchCreate;
_Dispatch_type_(IRP_MJ_CLOSE) DRIVER_DISPATCH DispatchClose;

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject, PIRP Irp);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject);

// Read and write: one bulk transfer each.
_Dispatch_type_(IRP_MJ_READ) DRIVER_DISPATCH DispatchRead;
_Dispatch_type_(IRP_MJ_WRITE) DRIVER_DISPATCH DispatchWrite;

// Serial control requests.
_Dispatch_type_(IRP_MJ_DEVICE_CONTROL) DRIVER_DISPATCH DispatchDeviceControl;

// The one wait-on-mask request the device may hold: taken in, completed by
// whoever takes it out first, or cancelled by its sender.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS HoldPendingWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

_IRQL_requires_max_(DISPATCH_LEVEL)
void CompletePendingWait(PDEVICE_OBJECT DeviceObject, NTSTATUS Status);
