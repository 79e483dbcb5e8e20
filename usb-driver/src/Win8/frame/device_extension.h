/*++

Module Name:

    device_extension.h

Abstract:

    The one state record of a bulkcom device, allocated with its functional
    device object and filled with zero bytes at creation. Every part of the
    driver reaches the device's state only through it.

Environment:

    Kernel mode.

--*/

#pragma once

#include "platform/platform.h"

// "Qzel" in a pool dump: every allocation of the driver carries it.
constexpr ULONG DriverPoolTag = ULONG{'Q'} | ULONG{'z'} << 8 | ULONG{'e'} << 16 | ULONG{'l'} << 24;

// Non-paged and zero-filled under the driver's tag; null when pool is short.
FORCEINLINE PVOID AllocateZeroedPool(SIZE_T Size)
{
    PVOID memory = ExAllocatePoolWithTag(NonPagedPool, Size, DriverPoolTag);
    if (memory != nullptr) {
        RtlZeroMemory(memory, Size);
    }
    return memory;
}

// Character counts of the naming buffers, terminator included.
constexpr USHORT InterfaceNameChars = 259;
constexpr USHORT PortNameChars = 258;
constexpr USHORT DosNameChars = 256;

// Read and write timeouts, in milliseconds, of a new device and of each open.
constexpr SERIAL_TIMEOUTS DefaultTimeouts = {0, 0, 1000, 0, 1000};

typedef struct _DEVICE_EXTENSION {
    // Stack and identity.
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT Self;
    ULONG OsClass;
    DEVICE_CAPABILITIES DeviceCapabilities;

    // Power.
    DEVICE_POWER_STATE DevicePowerState;
    DEVICE_POWER_STATE DeviceStateMap[PowerSystemMaximum];
    PIRP PendingSystemPowerIrp;

    // I/O references.
    volatile LONG OutstandingIo;
    KSPIN_LOCK IoCountLock;
    KEVENT RemoveEvent;
    KEVENT StopEvent;

    // Plug and Play state.
    BOOLEAN Started;
    BOOLEAN StartSeen;
    BOOLEAN Removed;
    BOOLEAN RemovePending;
    BOOLEAN StopPending;

    // Power gate.
    KEVENT PowerUpEvent;
    KSEMAPHORE IoSemaphore;
    BOOLEAN PoweredDown;

    // Set once Removed is: lets requests waiting for D0 go when the device
    // will never return to it.
    KEVENT DeviceGoneEvent;

    // Set by a stop, and by a power-down, to end the transfer in flight at
    // once instead of after its timeout. One event each, so that neither
    // clears the other's while both are under way.
    KEVENT TransferAbortEvent;
    KEVENT PowerAbortEvent;

    // COM port naming.
    BOOLEAN InterfaceRegistered;
    WCHAR InterfaceNameBuffer[InterfaceNameChars];
    UNICODE_STRING InterfaceName;
    ULONG SkipExternalNaming;
    WCHAR PortNameBuffer[PortNameChars];
    UNICODE_STRING PortName;
    WCHAR DosNameBuffer[DosNameChars];
    UNICODE_STRING DosName;
    BOOLEAN SymbolicLinkCreated;
    BOOLEAN SerialCommWritten;

    // Serial settings. SettingsLock is held while they are copied in or
    // out, so a reader never sees half of an update.
    KSPIN_LOCK SettingsLock;
    ULONG DtrRtsState;
    ULONG WaitMask;
    PIRP PendingWaitIrp;
    ULONG BaudRate;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_CHARS Chars;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_STATUS CommStatus;
    SERIAL_COMMPROP CommProperties;
    ULONG WriteTimeoutMs;
    ULONG ReadTimeoutMs;

    // USB configuration.
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo[2];
    PUSBD_PIPE_INFORMATION BulkOutPipe;
    PUSBD_PIPE_INFORMATION BulkInPipe;

    // Open state.
    BOOLEAN PortOpen;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

static_assert(FIELD_OFFSET(DEVICE_EXTENSION, Chars) ==
                  FIELD_OFFSET(DEVICE_EXTENSION, LineControl) + sizeof(SERIAL_LINE_CONTROL),
              "the special characters follow the line control with no gap");
static_assert(sizeof(DEVICE_POWER_STATE) == 4, "power states are 32-bit");

FORCEINLINE PDEVICE_EXTENSION DeviceExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}
