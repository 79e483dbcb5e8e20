// What a USB physical device object received, in order of arrival, and how
// each request ended, so tests can assert the sequences a driver sends.
#pragma once

#include "platform/platform.h"

namespace sim {

enum class UsbRequestKind {
    SubmitUrb,
    GetPortStatus,
    ResetPort,
    CyclePort,
    OtherInternalControl,
    Pnp,
    Power,
    Other,
};

struct UsbRequestRecord {
    UsbRequestKind kind = UsbRequestKind::Other;
    UCHAR majorFunction = 0;
    UCHAR minorFunction = 0;
    ULONG ioControlCode = 0;

    // Submitted URBs, as they arrived.
    USHORT urbFunction = 0;
    // Of the pipe a transfer or pipe reset names; 0 when the handle is unknown.
    UCHAR endpointAddress = 0;
    UCHAR descriptorType = 0;
    ULONG transferFlags = 0;
    ULONG requestedLength = 0;
    // A select-configuration request with no configuration descriptor.
    bool deconfigures = false;

    // Power requests: the power type, and the system or device state asked for.
    POWER_STATE_TYPE powerType = SystemPowerState;
    ULONG powerState = 0;
    // The device power state the bus had recorded when the request arrived.
    DEVICE_POWER_STATE devicePowerState = PowerDeviceD0;

    // How the request ended.
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
    ULONG transferredLength = 0;
};

}  // namespace sim
