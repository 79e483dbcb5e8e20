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
