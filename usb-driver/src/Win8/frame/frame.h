/*++

Module Name:

    frame.h

Abstract:

    The driver frame: entry point and dispatch table, device creation and
    deletion, the operating-system generation, the capabilities query, the
    serial defaults and the request gates every request passes through.

Environment:

    Kernel mode.

--*/

#pragma once

#include "frame/device_extension.h"

// Entry points called by the I/O and Plug and Play managers.
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;

// Device deletion.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DetachAndDeleteDevice(PDEVICE_OBJECT DeviceObject);

// Operating-system generations; anything older than XP is 0 and refused.
constexpr ULONG OsClassXp = 1;  // XP and Server 2003
constexpr ULONG OsClassVista = 2;
constexpr ULONG OsClassWindows7 = 3;
constexpr ULONG OsClassWindows8 = 4;  // and every later Windows

_IRQL_requires_max_(PASSIVE_LEVEL)
BOOLEAN IsOsVersionAvailable(ULONG Version);

_IRQL_requires_max_(PASSIVE_LEVEL)
ULONG QueryOsClass();

// Capabilities of the stack below, asked for with a request of our own.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QueryLowerCapabilities(PDEVICE_OBJECT TargetDevice, PDEVICE_CAPABILITIES Capabilities);

// Completion routine of the requests the driver sends down and waits for.
IO_COMPLETION_ROUTINE SignalEventCompletion;

void InitializeSerialDefaults(PDEVICE_EXTENSION DeviceExtension);

// Request gates.
void InitializeIoReference(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(DISPATCH_LEVEL)
void AcquireIoReference(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(DISPATCH_LEVEL)
void ReleaseIoReference(PDEVICE_OBJECT DeviceObject);

BOOLEAN IsDeviceReady(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
void AcquireIoSemaphore(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(DISPATCH_LEVEL)
void ReleaseIoSemaphore(PDEVICE_OBJECT DeviceObject);

// A request's own readiness test: IsDeviceReady for open, read and write,
// only "not removed" for a close.
typedef BOOLEAN GATE_TEST(PDEVICE_OBJECT DeviceObject);

// The readiness test, the wait for D0 and the semaphore. STATUS_SUCCESS,
// holding IoSemaphore, once the device is in D0 and Ready still holds under
// the semaphore; otherwise, without it, STATUS_DELETE_PENDING when the
// device was removed while the request waited for D0, and
// STATUS_INVALID_DEVICE_STATE when Ready failed.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PassPowerGate(PDEVICE_OBJECT DeviceObject, GATE_TEST* Ready);

// The body of a gated request: runs holding IoSemaphore with the device in
// D0, and returns the request's status.
typedef NTSTATUS GATED_BODY(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The gated dispatch of open, read and write: reference, readiness test,
// power gate, body, completion.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RunGatedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, GATED_BODY* Body);
