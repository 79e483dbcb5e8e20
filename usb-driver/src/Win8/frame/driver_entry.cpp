/*++

Module Name:

    driver_entry.cpp

Abstract:

    The driver's entry point: fills the dispatch table. Major functions
    without an entry keep the I/O manager's default refusal.

Environment:

    Kernel mode, PASSIVE_LEVEL.

--*/

#include "frame/frame.h"
#include "pnp-power/pnp_power.h"
#include "serial/serial.h"

_Use_decl_annotations_
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
void DriverUnload(PDRIVER_OBJECT DriverObject)
{
    // Every device object and all it owned are gone by the time of unload.
    UNREFERENCED_PARAMETER(DriverObject);
}
