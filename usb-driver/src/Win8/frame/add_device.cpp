/*++

Module Name:

    add_device.cpp

Abstract:

    Creation of the functional device object for each USB function the Plug
    and Play manager gives to the driver, and its deletion.

Environment:

    Kernel mode, PASSIVE_LEVEL.

--*/

#include "frame/frame.h"
#include "serial/serial.h"

namespace {

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);

_Use_decl_annotations_
NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject)
{
    PAGED_CODE();
    ULONG osClass = QueryOsClass();
    if (osClass == 0) {
        return STATUS_NOT_SUPPORTED;
    }

    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE,
                                     &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PDEVICE_EXTENSION extension = DeviceExtensionOf(deviceObject);
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
    extension->OsClass = osClass;
    *DeviceObject = deviceObject;
    return status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status = CreateDeviceObject(DriverObject, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    deviceObject->Flags |= DO_DIRECT_IO;
    deviceObject->Flags |= DO_POWER_PAGABLE;

    PDEVICE_EXTENSION extension = DeviceExtensionOf(deviceObject);
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->Self = deviceObject;

    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == nullptr) {
        UnregisterPortInterface(deviceObject);
        DetachAndDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    // The base reference: held until the remove request drops it.
    InitializeIoReference(deviceObject);
    AcquireIoReference(deviceObject);

    KeInitializeSemaphore(&extension->IoSemaphore, 1, 1);
    KeInitializeEvent(&extension->PowerUpEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&extension->DeviceGoneEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->TransferAbortEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->PowerAbortEvent, NotificationEvent, FALSE);

    // Asked of the physical device object itself: filters above it must not
    // change what the bus reports.
    status = QueryLowerCapabilities(PhysicalDeviceObject, &extension->DeviceCapabilities);
    if (NT_SUCCESS(status)) {
        for (int state = PowerSystemUnspecified; state < PowerSystemMaximum; state++) {
            extension->DeviceStateMap[state] = extension->DeviceCapabilities.DeviceState[state];
        }
        extension->DeviceStateMap[PowerSystemWorking] = PowerDeviceD0;
        for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; state++) {
            extension->DeviceStateMap[state] = PowerDeviceD3;
        }
        extension->DevicePowerState = PowerDeviceD0;

        status = RegisterPortInterface(deviceObject);
        if (NT_SUCCESS(status)) {
            deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
            return status;
        }
    }

    UnregisterPortInterface(deviceObject);
    ReleaseIoReference(deviceObject);
    DetachAndDeleteDevice(deviceObject);
    return status;
}

_Use_decl_annotations_
NTSTATUS DetachAndDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if (extension->LowerDeviceObject != nullptr) {
        IoDetachDevice(extension->LowerDeviceObject);
    }
    // Frees the extension too: nothing of it may be touched afterwards.
    IoDeleteDevice(DeviceObject);
    return STATUS_SUCCESS;
}
