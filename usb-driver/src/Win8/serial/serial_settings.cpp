/*++

Module Name:

    serial_settings.cpp

Abstract:

    Copies of the stored serial settings in and out of the device
    extension. Control requests run without the port's semaphore, at the
    same time as each other, as opens and as transfers, so each copy is made
    whole under a spin lock.

Environment:

    Kernel mode, up to DISPATCH_LEVEL.

--*/

#include "serial/serial.h"

_Use_decl_annotations_
void StoreSetting(PDEVICE_EXTENSION DeviceExtension, PVOID Field, const void* Value, ULONG Size)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->SettingsLock, &oldIrql);
    RtlCopyMemory(Field, Value, Size);
    KeReleaseSpinLock(&DeviceExtension->SettingsLock, oldIrql);
}

_Use_decl_annotations_
void LoadSetting(PDEVICE_EXTENSION DeviceExtension, PVOID Destination, const void* Field, ULONG Size)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->SettingsLock, &oldIrql);
    RtlCopyMemory(Destination, Field, Size);
    KeReleaseSpinLock(&DeviceExtension->SettingsLock, oldIrql);
}
