/*
    bus.c: a root-enumerated test USB bus with one child device, for running
    the unchanged bulkcom.sys on Wine's kernel.

    The child carries the IDs of a device with one interface and a bulk IN
    (0x81) and bulk OUT (0x02) endpoint of 64-byte packets, and answers the
    internal USB requests bulkcom sends. Its bulk pipes are a loopback:
    bytes written OUT are queued, and an IN transfer completes as soon as
    there is data, with at most its length, as a device ends a transfer
    with a short packet. An IN transfer with nothing to read waits,
    cancellable. A transfer failed with one of the host controller's codes
    halts its endpoint, as a controller does, until a pipe or port reset. A control device (\\.\BulkcomTestBus, test_bus_control.h)
    unplugs and replugs the child, arms the next transfer per direction and
    reads the request log.

    Wine dispatches one request at a time in a driver host, so nothing here
    waits in a dispatch routine: enumeration changes go to a work item.

Environment:
    Kernel mode (Wine's driver host). One bus instance.
*/
#include "bus.h"

#include <stddef.h>
#include <usb.h>
#include <usbioctl.h>

#include "../test_bus_control.h"

#define BUS_POOL_TAG 0x73426342 /* 'BcBs' */
#define QUEUE_CAPACITY (256 * 1024)
#define PACKET_SIZE 64
#define ENDPOINT_IN 0x81
#define ENDPOINT_OUT 0x02

enum BUS_OBJECT_KIND { BusControlObject = 1, BusFunctionObject, BusChildObject };

typedef struct _BUS_EXTENSION {
    ULONG Kind;
    BOOLEAN Gone;               /* child: no longer reported, ends on its remove request */
    PDEVICE_OBJECT LowerDevice; /* function object: the root device object below */
    PDEVICE_OBJECT PhysicalDevice;
} BUS_EXTENSION, *PBUS_EXTENSION;

typedef struct _BUS_STATE {
    KSPIN_LOCK Lock;
    PDRIVER_OBJECT Driver;
    PDEVICE_OBJECT Control;
    PDEVICE_OBJECT Function;
    PDEVICE_OBJECT Child; /* the child reported now, or NULL */
    BOOLEAN Plugged;
    BOOLEAN Configured;
    LIST_ENTRY WaitingIn;
    LIST_ENTRY WaitingOut;
    LIST_ENTRY Held; /* transfers armed never to complete */
    BOOLEAN Armed[2];
    BCTEST_ARM Arm[2];
    BOOLEAN Halted[2];
    ULONG QueueHead;
    ULONG QueueCount;
    BCTEST_LOG Log;
    UCHAR Queue[QUEUE_CAPACITY];
} BUS_STATE;

static BUS_STATE Bus;

/* The host controller's own codes carry both of usb.h's error and halt bits
   (USBD_HALTED): an error on the wire, after which the controller halts the
   endpoint. */
static BOOLEAN HaltsEndpoint(USBD_STATUS Status)
{
    return ((ULONG)Status >> 30) == 3 && ((ULONG)Status & 0x0FFFFFFF) <= 0xFF;
}

/* Pipe handles point at the endpoint address they stand for. */
static const UCHAR PipeEndpoints[2] = {ENDPOINT_IN, ENDPOINT_OUT};
static const UCHAR InterfaceHandleTag = 1;
static const UCHAR ConfigurationHandleTag = 1;

static const UCHAR DeviceDescriptor[18] = {
    18,   USB_DEVICE_DESCRIPTOR_TYPE,
    0x00, 0x02,
    0x00, 0x00,
    0x00, PACKET_SIZE,
    0x09, 0x12,
    0xC0, 0xB1,
    0x00, 0x01,
    0,    0,
    0,    1,
};

static const UCHAR ConfigurationDescriptor[32] = {
    9,
    USB_CONFIGURATION_DESCRIPTOR_TYPE,
    32,
    0,
    1,
    1,
    0,
    0x80,
    50,
    9,
    USB_INTERFACE_DESCRIPTOR_TYPE,
    0,
    0,
    2,
    0xFF,
    0x00,
    0x00,
    0,
    7,
    USB_ENDPOINT_DESCRIPTOR_TYPE,
    ENDPOINT_IN,
    USB_ENDPOINT_TYPE_BULK,
    PACKET_SIZE,
    0,
    0,
    7,
    USB_ENDPOINT_DESCRIPTOR_TYPE,
    ENDPOINT_OUT,
    USB_ENDPOINT_TYPE_BULK,
    PACKET_SIZE,
    0,
    0,
};

static const WCHAR DeviceId[] = L"USB\\VID_1209&PID_B1C0";
static const WCHAR HardwareIds[] = L"USB\\VID_1209&PID_B1C0&REV_0100\0USB\\VID_1209&PID_B1C0\0";
static const WCHAR CompatibleIds[] = L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF&SubClass_00\0USB\\Class_FF\0";
static const WCHAR InstanceId[] = L"B1C0TEST";
static const WCHAR DeviceText[] = L"bulkcom test device";

static PBUS_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return (PBUS_EXTENSION)DeviceObject->DeviceExtension;
}

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* Caller holds the lock. */
static void RecordLocked(ULONG Kind, ULONG Function, ULONG Endpoint, ULONG Length, ULONG Transferred, NTSTATUS Status)
{
    if (Bus.Log.Count < BCTEST_LOG_CAPACITY) {
        BCTEST_RECORD* record = &Bus.Log.Records[Bus.Log.Count];
        record->Kind = Kind;
        record->Function = Function;
        record->Endpoint = Endpoint;
        record->Length = Length;
        record->Transferred = Transferred;
        record->Status = Status;
    }
    if (Bus.Log.Count != MAXULONG) {
        Bus.Log.Count++;
    }
}

static void Record(ULONG Kind, ULONG Function, ULONG Endpoint, ULONG Length, ULONG Transferred, NTSTATUS Status)
{
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    RecordLocked(Kind, Function, Endpoint, Length, Transferred, Status);
    KeReleaseSpinLock(&Bus.Lock, irql);
}

static PURB UrbOf(PIRP Irp)
{
    return (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
}

static ULONG EndpointOfPipe(USBD_PIPE_HANDLE Pipe)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(PipeEndpoints); i++) {
        if (Pipe == (USBD_PIPE_HANDLE)&PipeEndpoints[i]) {
            return PipeEndpoints[i];
        }
    }
    return 0;
}

static PUCHAR TransferBufferOf(struct _URB_BULK_OR_INTERRUPT_TRANSFER* Transfer)
{
    if (Transfer->TransferBuffer != NULL || Transfer->TransferBufferMDL == NULL) {
        return (PUCHAR)Transfer->TransferBuffer;
    }
    return (PUCHAR)MmGetSystemAddressForMdlSafe(Transfer->TransferBufferMDL, NormalPagePriority);
}

/* A transfer's requested length, kept for the log once the URB holds the
   length moved. */
static ULONG RequestedLengthOf(PIRP Irp)
{
    return (ULONG)(ULONG_PTR)Irp->Tail.Overlay.DriverContext[0];
}

static void FinishTransfer(PIRP Irp, NTSTATUS Status, USBD_STATUS UsbdStatus, ULONG Moved)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &UrbOf(Irp)->UrbBulkOrInterruptTransfer;
    transfer->Hdr.Status = UsbdStatus;
    transfer->TransferBufferLength = Moved;
    Record(BctestUrb, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, EndpointOfPipe(transfer->PipeHandle),
           RequestedLengthOf(Irp), Moved, Status);
    Complete(Irp, Status, 0);
}

static void FinishList(PLIST_ENTRY Done, NTSTATUS Status, USBD_STATUS UsbdStatus)
{
    while (!IsListEmpty(Done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(Done), IRP, Tail.Overlay.ListEntry);
        FinishTransfer(irp, Status, UsbdStatus, (ULONG)irp->IoStatus.Information);
    }
}

/* Moves every waiting transfer whose cancel routine can still be taken
   from Source to Done. Caller holds the lock. */
static void TakeAllLocked(PLIST_ENTRY Source, PLIST_ENTRY Done)
{
    PLIST_ENTRY entry = Source->Flink;
    while (entry != Source) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            irp->IoStatus.Information = 0;
            InsertTailList(Done, &irp->Tail.Overlay.ListEntry);
        }
    }
}

/* Lets queued data meet waiting transfers: OUT transfers enter the queue
   while it has room, IN transfers take what is there. Finished transfers
   go to Done with their byte count in IoStatus.Information. Caller holds
   the lock. */
static void PumpLocked(PLIST_ENTRY Done)
{
    BOOLEAN moved = TRUE;
    while (moved) {
        moved = FALSE;
        for (PLIST_ENTRY entry = Bus.WaitingOut.Flink; entry != &Bus.WaitingOut;) {
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            entry = entry->Flink;
            ULONG length = RequestedLengthOf(irp);
            if (QUEUE_CAPACITY - Bus.QueueCount < length) {
                break;
            }
            if (IoSetCancelRoutine(irp, NULL) == NULL) {
                continue;
            }
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            PUCHAR source = TransferBufferOf(&UrbOf(irp)->UrbBulkOrInterruptTransfer);
            for (ULONG i = 0; i < length; i++) {
                Bus.Queue[(Bus.QueueHead + Bus.QueueCount + i) % QUEUE_CAPACITY] = source[i];
            }
            Bus.QueueCount += length;
            irp->IoStatus.Information = length;
            InsertTailList(Done, &irp->Tail.Overlay.ListEntry);
            moved = TRUE;
        }
        for (PLIST_ENTRY entry = Bus.WaitingIn.Flink; entry != &Bus.WaitingIn && Bus.QueueCount != 0;) {
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            entry = entry->Flink;
            if (IoSetCancelRoutine(irp, NULL) == NULL) {
                continue;
            }
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            ULONG length = RequestedLengthOf(irp);
            ULONG count = length < Bus.QueueCount ? length : Bus.QueueCount;
            PUCHAR target = TransferBufferOf(&UrbOf(irp)->UrbBulkOrInterruptTransfer);
            for (ULONG i = 0; i < count; i++) {
                target[i] = Bus.Queue[(Bus.QueueHead + i) % QUEUE_CAPACITY];
            }
            Bus.QueueHead = (Bus.QueueHead + count) % QUEUE_CAPACITY;
            Bus.QueueCount -= count;
            irp->IoStatus.Information = count;
            InsertTailList(Done, &irp->Tail.Overlay.ListEntry);
            moved = TRUE;
        }
    }
}

static VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Bus.Lock, irql);
    FinishTransfer(Irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
}

static VOID NTAPI InvalidateRelationsWork(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_OBJECT function = Bus.Function;
    if (function != NULL) {
        IoInvalidateDeviceRelations(ExtensionOf(function)->PhysicalDevice, BusRelations);
    }
    IoFreeWorkItem((PIO_WORKITEM)Context);
}

/* Plug and Play enumerates again on another thread: a dispatch routine of
   this host must not wait for the removal it starts. */
static void RequestEnumeration(void)
{
    PIO_WORKITEM item = IoAllocateWorkItem(Bus.Control);
    if (item != NULL) {
        IoQueueWorkItem(item, InvalidateRelationsWork, DelayedWorkQueue, item);
    }
}

/* The child leaves: every transfer on it ends as on an unplug and queued
   data are lost. */
static void Unplug(void)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    Bus.Plugged = FALSE;
    Bus.Configured = FALSE;
    if (Bus.Child != NULL) {
        ExtensionOf(Bus.Child)->Gone = TRUE;
        Bus.Child = NULL;
    }
    TakeAllLocked(&Bus.WaitingIn, &done);
    TakeAllLocked(&Bus.WaitingOut, &done);
    TakeAllLocked(&Bus.Held, &done);
    Bus.QueueHead = 0;
    Bus.QueueCount = 0;
    KeReleaseSpinLock(&Bus.Lock, irql);
    FinishList(&done, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    RequestEnumeration();
}

static void Replug(void)
{
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    Bus.Plugged = TRUE;
    KeReleaseSpinLock(&Bus.Lock, irql);
    RequestEnumeration();
}

/* Parks a transfer on List with a cancel routine, or finishes it at once
   if it was cancelled already. Caller holds the lock, which this releases. */
static NTSTATUS ParkAndUnlock(PIRP Irp, PLIST_ENTRY List, KIRQL Irql)
{
    IoMarkIrpPending(Irp);
    InsertTailList(List, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, CancelTransfer);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&Bus.Lock, Irql);
        FinishTransfer(Irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
        return STATUS_PENDING;
    }
    LIST_ENTRY done;
    InitializeListHead(&done);
    PumpLocked(&done);
    KeReleaseSpinLock(&Bus.Lock, Irql);
    FinishList(&done, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    return STATUS_PENDING;
}

static NTSTATUS BulkTransfer(PIRP Irp, struct _URB_BULK_OR_INTERRUPT_TRANSFER* Transfer)
{
    ULONG endpoint = EndpointOfPipe(Transfer->PipeHandle);
    Irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)Transfer->TransferBufferLength;
    if (endpoint == 0) {
        FinishTransfer(Irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, 0);
        return STATUS_INVALID_PARAMETER;
    }
    if (Transfer->TransferBufferLength != 0 && TransferBufferOf(Transfer) == NULL) {
        FinishTransfer(Irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG direction = (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0 ? BctestIn : BctestOut;

    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    if (!Bus.Configured) {
        KeReleaseSpinLock(&Bus.Lock, irql);
        FinishTransfer(Irp, STATUS_INVALID_DEVICE_STATE, USBD_STATUS_INVALID_PIPE_HANDLE, 0);
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Bus.Halted[direction]) {
        KeReleaseSpinLock(&Bus.Lock, irql);
        FinishTransfer(Irp, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, 0);
        return STATUS_UNSUCCESSFUL;
    }
    if (Bus.Armed[direction]) {
        BCTEST_ARM arm = Bus.Arm[direction];
        Bus.Armed[direction] = FALSE;
        switch (arm.Action) {
        case BctestNeverAnswer:
            return ParkAndUnlock(Irp, &Bus.Held, irql);
        case BctestFail:
            Bus.Halted[direction] = HaltsEndpoint((USBD_STATUS)arm.UsbdStatus);
            KeReleaseSpinLock(&Bus.Lock, irql);
            FinishTransfer(Irp, arm.Status, (USBD_STATUS)arm.UsbdStatus, 0);
            return arm.Status;
        case BctestUnplugOnArrival:
            KeReleaseSpinLock(&Bus.Lock, irql);
            Unplug();
            FinishTransfer(Irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
            return STATUS_DEVICE_NOT_CONNECTED;
        default:
            break;
        }
    }
    if (Transfer->TransferBufferLength == 0) {
        KeReleaseSpinLock(&Bus.Lock, irql);
        FinishTransfer(Irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    return ParkAndUnlock(Irp, direction == BctestIn ? &Bus.WaitingIn : &Bus.WaitingOut, irql);
}

static void ClearHalt(ULONG Direction)
{
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    Bus.Halted[Direction] = FALSE;
    KeReleaseSpinLock(&Bus.Lock, irql);
}

static NTSTATUS GetDescriptor(struct _URB_CONTROL_DESCRIPTOR_REQUEST* Request, USBD_STATUS* UsbdStatus)
{
    const UCHAR* descriptor;
    ULONG size;
    if (Request->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        descriptor = DeviceDescriptor;
        size = sizeof(DeviceDescriptor);
    } else if (Request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        descriptor = ConfigurationDescriptor;
        size = sizeof(ConfigurationDescriptor);
    } else {
        *UsbdStatus = USBD_STATUS_STALL_PID;
        return STATUS_UNSUCCESSFUL;
    }
    PVOID buffer = Request->TransferBuffer;
    if (buffer == NULL && Request->TransferBufferMDL != NULL) {
        buffer = MmGetSystemAddressForMdlSafe(Request->TransferBufferMDL, NormalPagePriority);
    }
    if (buffer == NULL) {
        *UsbdStatus = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = Request->TransferBufferLength < size ? Request->TransferBufferLength : size;
    RtlCopyMemory(buffer, descriptor, count);
    Request->TransferBufferLength = count;
    *UsbdStatus = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

/* Fills the interface records as the USB stack does; a NULL configuration
   unconfigures the device. */
static NTSTATUS SelectConfiguration(struct _URB_SELECT_CONFIGURATION* Select, USBD_STATUS* UsbdStatus)
{
    *UsbdStatus = USBD_STATUS_SUCCESS;
    if (Select->ConfigurationDescriptor == NULL) {
        KIRQL irql;
        KeAcquireSpinLock(&Bus.Lock, &irql);
        Bus.Configured = FALSE;
        KeReleaseSpinLock(&Bus.Lock, irql);
        return STATUS_SUCCESS;
    }
    PUSBD_INTERFACE_INFORMATION record = &Select->Interface;
    const ULONG needed = (ULONG)(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 2 * sizeof(USBD_PIPE_INFORMATION));
    if (Select->Hdr.Length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + needed ||
        record->Length < needed || record->InterfaceNumber != 0 || record->AlternateSetting != 0) {
        *UsbdStatus = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    record->Class = 0xFF;
    record->SubClass = 0;
    record->Protocol = 0;
    record->InterfaceHandle = (USBD_INTERFACE_HANDLE)&InterfaceHandleTag;
    record->NumberOfPipes = 2;
    for (ULONG i = 0; i < 2; i++) {
        PUSBD_PIPE_INFORMATION pipe = &record->Pipes[i];
        pipe->MaximumPacketSize = PACKET_SIZE;
        pipe->EndpointAddress = PipeEndpoints[i];
        pipe->Interval = 0;
        pipe->PipeType = UsbdPipeTypeBulk;
        pipe->PipeHandle = (USBD_PIPE_HANDLE)&PipeEndpoints[i];
        if (pipe->MaximumTransferSize == 0) {
            pipe->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
    }
    Select->ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)&ConfigurationHandleTag;
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    Bus.Configured = TRUE;
    Bus.Halted[BctestOut] = FALSE;
    Bus.Halted[BctestIn] = FALSE;
    KeReleaseSpinLock(&Bus.Lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS SubmitUrb(PIRP Irp)
{
    PURB urb = UrbOf(Irp);
    if (urb == NULL) {
        Record(BctestUrb, 0, 0, 0, 0, STATUS_INVALID_PARAMETER);
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    const USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        return BulkTransfer(Irp, &urb->UrbBulkOrInterruptTransfer);
    }

    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    NTSTATUS status;
    ULONG endpoint = 0;
    ULONG length = 0;
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        length = urb->UrbControlDescriptorRequest.TransferBufferLength;
        status = GetDescriptor(&urb->UrbControlDescriptorRequest, &usbdStatus);
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        status = SelectConfiguration(&urb->UrbSelectConfiguration, &usbdStatus);
        break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        endpoint = EndpointOfPipe(urb->UrbPipeRequest.PipeHandle);
        status = endpoint != 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        usbdStatus = endpoint != 0 ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PIPE_HANDLE;
        if (endpoint != 0) {
            ClearHalt((endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0 ? BctestIn : BctestOut);
        }
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        usbdStatus = USBD_STATUS_INVALID_URB_FUNCTION;
        break;
    }
    urb->UrbHeader.Status = usbdStatus;
    ULONG transferred = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && NT_SUCCESS(status)
                            ? urb->UrbControlDescriptorRequest.TransferBufferLength
                            : 0;
    Record(BctestUrb, function, endpoint, length, transferred, status);
    return Complete(Irp, status, 0);
}

static NTSTATUS ChildInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG kind;
    switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        kind = BctestUrb;
        break;
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        kind = BctestPortStatus;
        break;
    case IOCTL_INTERNAL_USB_RESET_PORT:
        kind = BctestResetPort;
        break;
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        kind = BctestCyclePort;
        break;
    default:
        return Complete(Irp, STATUS_NOT_SUPPORTED, 0);
    }

    if (ExtensionOf(DeviceObject)->Gone) {
        // The hub still answers for its port, which is now empty.
        if (kind == BctestPortStatus && stack->Parameters.Others.Argument1 != NULL) {
            *(PULONG)stack->Parameters.Others.Argument1 = 0;
            Record(kind, 0, 0, 0, 0, STATUS_SUCCESS);
            return Complete(Irp, STATUS_SUCCESS, 0);
        }
        if (kind == BctestUrb && UrbOf(Irp) != NULL) {
            UrbOf(Irp)->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        }
        Record(kind, kind == BctestUrb && UrbOf(Irp) != NULL ? UrbOf(Irp)->UrbHeader.Function : 0, 0, 0, 0,
               STATUS_DEVICE_NOT_CONNECTED);
        return Complete(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (kind == BctestUrb) {
        return SubmitUrb(Irp);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (kind == BctestResetPort) {
        ClearHalt(BctestOut);
        ClearHalt(BctestIn);
    }
    if (kind == BctestPortStatus) {
        if (stack->Parameters.Others.Argument1 == NULL) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            *(PULONG)stack->Parameters.Others.Argument1 = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        }
    }
    Record(kind, 0, 0, 0, 0, status);
    return Complete(Irp, status, 0);
}

static NTSTATUS DuplicateString(const WCHAR* Source, SIZE_T Bytes, ULONG_PTR* Result)
{
    PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, Bytes, BUS_POOL_TAG);
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, Source, Bytes);
    *Result = (ULONG_PTR)copy;
    return STATUS_SUCCESS;
}

static NTSTATUS ChildQueryId(PIRP Irp)
{
    ULONG_PTR result = Irp->IoStatus.Information;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        status = DuplicateString(DeviceId, sizeof(DeviceId), &result);
        break;
    case BusQueryHardwareIDs:
        status = DuplicateString(HardwareIds, sizeof(HardwareIds), &result);
        break;
    case BusQueryCompatibleIDs:
        status = DuplicateString(CompatibleIds, sizeof(CompatibleIds), &result);
        break;
    case BusQueryInstanceID:
        status = DuplicateString(InstanceId, sizeof(InstanceId), &result);
        break;
    default:
        status = Irp->IoStatus.Status;
        break;
    }
    Irp->IoStatus.Information = result;
    return status;
}

static NTSTATUS ChildCapabilities(PIRP Irp)
{
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities->Version != 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return STATUS_UNSUCCESSFUL;
    }
    for (int state = PowerSystemUnspecified; state < PowerSystemMaximum; state++) {
        capabilities->DeviceState[state] = PowerDeviceD3;
    }
    capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    capabilities->DeviceD1 = FALSE;
    capabilities->DeviceD2 = FALSE;
    capabilities->Removable = TRUE;
    capabilities->SurpriseRemovalOK = FALSE;
    capabilities->UniqueID = FALSE;
    capabilities->Address = 1;
    capabilities->UINumber = 1;
    capabilities->SystemWake = PowerSystemUnspecified;
    capabilities->DeviceWake = PowerDeviceUnspecified;
    return STATUS_SUCCESS;
}

static NTSTATUS ChildPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR minor = stack->MinorFunction;
    NTSTATUS status = Irp->IoStatus.Status;
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        KIRQL irql;
        KeAcquireSpinLock(&Bus.Lock, &irql);
        RecordLocked(BctestPnp, minor, 0, 0, 0, STATUS_SUCCESS);
        const BOOLEAN gone = ExtensionOf(DeviceObject)->Gone;
        KeReleaseSpinLock(&Bus.Lock, irql);
        Complete(Irp, STATUS_SUCCESS, 0);
        /* A child still reported stays: only the bus ends it. */
        if (gone) {
            IoDeleteDevice(DeviceObject);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID:
        status = ChildQueryId(Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = ChildCapabilities(Irp);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            status = DuplicateString(DeviceText, sizeof(DeviceText), &Irp->IoStatus.Information);
        }
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS relations =
                (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), BUS_POOL_TAG);
            if (relations == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                ObReferenceObject(DeviceObject);
                relations->Count = 1;
                relations->Objects[0] = DeviceObject;
                Irp->IoStatus.Information = (ULONG_PTR)relations;
                status = STATUS_SUCCESS;
            }
        }
        break;
    default:
        break;
    }
    Record(BctestPnp, minor, 0, 0, 0, status);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS CreateChild(PDEVICE_OBJECT* Child)
{
    PDEVICE_OBJECT child = NULL;
    NTSTATUS status = IoCreateDevice(Bus.Driver, sizeof(BUS_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PBUS_EXTENSION extension = ExtensionOf(child);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Kind = BusChildObject;
    child->Flags |= DO_POWER_PAGABLE;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    *Child = child;
    return STATUS_SUCCESS;
}

/* Adds the child, when plugged, to the relations filters above reported. */
static NTSTATUS ReportBusRelations(PIRP Irp)
{
    PDEVICE_RELATIONS previous = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
    const ULONG previousCount = previous != NULL ? previous->Count : 0;
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + previousCount * sizeof(PDEVICE_OBJECT), BUS_POOL_TAG);
    if (relations == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = previousCount;
    for (ULONG i = 0; i < previousCount; i++) {
        relations->Objects[i] = previous->Objects[i];
    }

    PDEVICE_OBJECT fresh = NULL;
    if (Bus.Plugged && Bus.Child == NULL) {
        NTSTATUS status = CreateChild(&fresh);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(relations, BUS_POOL_TAG);
            return status;
        }
    }
    KIRQL irql;
    KeAcquireSpinLock(&Bus.Lock, &irql);
    if (fresh != NULL && Bus.Plugged && Bus.Child == NULL) {
        Bus.Child = fresh;
        fresh = NULL;
    }
    if (Bus.Child != NULL) {
        ObReferenceObject(Bus.Child);
        relations->Objects[relations->Count++] = Bus.Child;
    }
    KeReleaseSpinLock(&Bus.Lock, irql);
    if (fresh != NULL) {
        IoDeleteDevice(fresh);
    }
    if (previous != NULL) {
        ExFreePool(previous);
    }
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI SignalForwarded(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS FunctionPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PBUS_EXTENSION extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        /* The root device object below answers at once. */
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SignalForwarded, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(extension->LowerDevice, Irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        if (NT_SUCCESS(status)) {
            RequestEnumeration();
        }
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            NTSTATUS status = ReportBusRelations(Irp);
            if (!NT_SUCCESS(status)) {
                return Complete(Irp, status, 0);
            }
            Irp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(extension->LowerDevice, Irp);
        KIRQL irql;
        KeAcquireSpinLock(&Bus.Lock, &irql);
        PDEVICE_OBJECT child = Bus.Child;
        Bus.Child = NULL;
        Bus.Function = NULL;
        KeReleaseSpinLock(&Bus.Lock, irql);
        if (child != NULL) {
            IoDeleteDevice(child);
        }
        IoDetachDevice(extension->LowerDevice);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);
}

static NTSTATUS ControlDeviceControl(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_BCTEST_UNPLUG:
        Unplug();
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_BCTEST_REPLUG:
        Replug();
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_BCTEST_ARM: {
        if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BCTEST_ARM)) {
            return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        BCTEST_ARM arm = *(BCTEST_ARM*)buffer;
        if (arm.Direction > BctestIn || arm.Action < BctestNeverAnswer || arm.Action > BctestUnplugOnArrival) {
            return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        }
        KeAcquireSpinLock(&Bus.Lock, &irql);
        Bus.Arm[arm.Direction] = arm;
        Bus.Armed[arm.Direction] = TRUE;
        KeReleaseSpinLock(&Bus.Lock, irql);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BCTEST_GET_LOG:
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BCTEST_LOG)) {
            return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        KeAcquireSpinLock(&Bus.Lock, &irql);
        RtlCopyMemory(buffer, &Bus.Log, sizeof(BCTEST_LOG));
        KeReleaseSpinLock(&Bus.Lock, irql);
        return Complete(Irp, STATUS_SUCCESS, sizeof(BCTEST_LOG));
    case IOCTL_BCTEST_CLEAR:
        KeAcquireSpinLock(&Bus.Lock, &irql);
        Bus.Log.Count = 0;
        Bus.Armed[BctestOut] = FALSE;
        Bus.Armed[BctestIn] = FALSE;
        KeReleaseSpinLock(&Bus.Lock, irql);
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    switch (ExtensionOf(DeviceObject)->Kind) {
    case BusFunctionObject:
        return FunctionPnp(DeviceObject, Irp);
    case BusChildObject:
        return ChildPnp(DeviceObject, Irp);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PBUS_EXTENSION extension = ExtensionOf(DeviceObject);
    PoStartNextPowerIrp(Irp);
    if (extension->Kind == BusFunctionObject) {
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(extension->LowerDevice, Irp);
    }
    const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS status = Irp->IoStatus.Status;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (ExtensionOf(DeviceObject)->Kind != BusControlObject) {
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return ControlDeviceControl(Irp);
}

static NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (ExtensionOf(DeviceObject)->Kind != BusChildObject) {
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return ChildInternalControl(DeviceObject, Irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    if (Bus.Function != NULL) {
        return STATUS_DEVICE_ALREADY_ATTACHED;
    }
    PDEVICE_OBJECT function = NULL;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(BUS_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &function);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PBUS_EXTENSION extension = ExtensionOf(function);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Kind = BusFunctionObject;
    extension->PhysicalDevice = PhysicalDeviceObject;
    extension->LowerDevice = IoAttachDeviceToDeviceStack(function, PhysicalDeviceObject);
    if (extension->LowerDevice == NULL) {
        IoDeleteDevice(function);
        return STATUS_NO_SUCH_DEVICE;
    }
    function->Flags |= DO_POWER_PAGABLE;
    function->Flags &= ~DO_DEVICE_INITIALIZING;
    Bus.Function = function;
    return STATUS_SUCCESS;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    StopVersionHook();
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\BulkcomTestBus");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(Bus.Control);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    KeInitializeSpinLock(&Bus.Lock);
    InitializeListHead(&Bus.WaitingIn);
    InitializeListHead(&Bus.WaitingOut);
    InitializeListHead(&Bus.Held);
    Bus.Driver = DriverObject;
    Bus.Plugged = TRUE;

    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\BulkcomTestBus");
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\BulkcomTestBus");
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(BUS_EXTENSION), &name, BCTEST_DEVICE_TYPE, 0, FALSE, &Bus.Control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlZeroMemory(Bus.Control->DeviceExtension, sizeof(BUS_EXTENSION));
    ExtensionOf(Bus.Control)->Kind = BusControlObject;
    Bus.Control->Flags |= DO_BUFFERED_IO;
    status = IoCreateSymbolicLink(&link, &name);
    if (NT_SUCCESS(status)) {
        status = StartVersionHook();
        if (!NT_SUCCESS(status)) {
            IoDeleteSymbolicLink(&link);
        }
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(Bus.Control);
        return status;
    }
    Bus.Control->Flags &= ~DO_DEVICE_INITIALIZING;

    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    return STATUS_SUCCESS;
}
