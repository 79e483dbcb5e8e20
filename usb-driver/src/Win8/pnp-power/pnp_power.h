/*++

Module Name:

    pnp_power.h

Abstract:

    The device's life cycle: the Plug and Play requests (start, stop,
    removal and their queries, capabilities), the pass-through of system
    control requests, and the power requests (sleep and resume).

Environment:

    Kernel mode, PASSIVE_LEVEL: the Plug and Play manager sends one request
    at a time, and the power manager delivers power requests at
    PASSIVE_LEVEL to this power-pageable device.

--*/

#pragma once

#include "frame/device_extension.h"

_Dispatch_type_(IRP_MJ_PNP) DRIVER_DISPATCH DispatchPnp;
_Dispatch_type_(IRP_MJ_SYSTEM_CONTROL) DRIVER_DISPATCH DispatchSystemControl;
_Dispatch_type_(IRP_MJ_POWER) DRIVER_DISPATCH DispatchPower;

// Hands the request to the lower driver unchanged and drops the dispatch
// routine's reference.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PassDownPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Sends the request down and waits until the lower drivers have completed
// it; the request comes back to the caller, not completed.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
