/*++

Module Name:

    serial_defaults.cpp

Abstract:

    The serial settings a new port starts with, and the properties it
    reports to applications.

Environment:

    Kernel mode, PASSIVE_LEVEL.

--*/

#include "frame/frame.h"

namespace {

// The size of the transfer buffer: the most one read can deliver.
constexpr ULONG ReportedReceiveQueue = 65536;

}  // namespace

void InitializeSerialDefaults(PDEVICE_EXTENSION DeviceExtension)
{
    KeInitializeSpinLock(&DeviceExtension->SettingsLock);
    DeviceExtension->BaudRate = 115200;

    DeviceExtension->Timeouts = DefaultTimeouts;

    DeviceExtension->LineControl.StopBits = STOP_BIT_1;
    DeviceExtension->LineControl.Parity = NO_PARITY;
    DeviceExtension->LineControl.WordLength = 8;

    RtlZeroMemory(&DeviceExtension->Chars, sizeof(DeviceExtension->Chars));
    DeviceExtension->DtrRtsState = 0;
    DeviceExtension->WaitMask = 0;
    DeviceExtension->PendingWaitIrp = nullptr;
    RtlZeroMemory(&DeviceExtension->HandFlow, sizeof(DeviceExtension->HandFlow));
    RtlZeroMemory(&DeviceExtension->CommStatus, sizeof(DeviceExtension->CommStatus));

    SERIAL_COMMPROP& properties = DeviceExtension->CommProperties;
    RtlZeroMemory(&properties, sizeof(properties));
    properties.PacketLength = sizeof(SERIAL_COMMPROP);
    properties.PacketVersion = 2;
    properties.ServiceMask = SERIAL_SP_SERIALCOMM;
    properties.MaxTxQueue = 0;
    properties.MaxRxQueue = 0;
    properties.MaxBaud = SERIAL_BAUD_115200;
    properties.ProvSubType = SERIAL_SP_RS232;
    properties.ProvCapabilities = SERIAL_PCF_TOTALTIMEOUTS;
    properties.SettableParams = 0;
    properties.SettableBaud = SERIAL_BAUD_115200;
    properties.SettableData = SERIAL_DATABITS_8;
    properties.SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_PARITY_NONE;
    properties.CurrentTxQueue = 0;
    properties.CurrentRxQueue = ReportedReceiveQueue;
}
