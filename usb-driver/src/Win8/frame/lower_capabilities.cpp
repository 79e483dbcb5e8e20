/*++

Module Name:

    lower_capabilities.cpp

Abstract:

    Asks a device stack for its capabilities with a request the driver
    allocates itself, and the completion routine that hands such requests
    back to the thread waiting for them.

Environment:

    Kernel mode. QueryLowerCapabilities at PASSIVE_LEVEL; the completion
    routine at up to DISPATCH_LEVEL.

--*/

#include "frame/frame.h"

_Use_decl_annotations_
NTSTATUS QueryLowerCapabilities(PDEVICE_OBJECT TargetDevice, PDEVICE_CAPABILITIES Capabilities)
{
    PAGED_CODE();
    PIRP irp = IoAllocateIrp(TargetDevice->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->Address = 0xFFFFFFFF;
    Capabilities->UINumber = 0xFFFFFFFF;

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    stack->Parameters.DeviceCapabilities.Capabilities = Capabilities;
    // A Plug and Play request nobody handles must end as not supported.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(TargetDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }

    // Still ours: the completion routine stopped its completion.
    IoFreeIrp(irp);
    return status;
}

_Use_decl_annotations_
NTSTATUS SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
