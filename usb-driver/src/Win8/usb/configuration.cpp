/*++

Module Name:

    configuration.cpp

Abstract:

    Brings the USB device into its configured state and back: reads the
    device and configuration descriptors, selects the configuration with
    every interface in its first alternate setting, keeps copies of the
    interface information, and finds the bulk OUT and bulk IN pipes of the
    last interface. The copies are the extension's; the pipe pointers are
    views into them.

Environment:

    Kernel mode, PASSIVE_LEVEL, on Plug and Play start, stop and removal,
    which the system delivers one at a time.

--*/

#include "usb/usb.h"

namespace {

// Large enough for the configurations of most devices in one request.
constexpr ULONG InitialConfigurationSize = 521;
constexpr ULONG MaximumInterfaces = 2;

void FreeAndClear(PVOID* Memory)
{
    if (*Memory != nullptr) {
        ExFreePoolWithTag(*Memory, DriverPoolTag);
        *Memory = nullptr;
    }
}

void PrepareDescriptorRequest(struct _URB_CONTROL_DESCRIPTOR_REQUEST* Request, UCHAR DescriptorType, PVOID Buffer,
                              ULONG Length)
{
    Request->Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    Request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Request->TransferBuffer = Buffer;
    Request->TransferBufferLength = Length;
    Request->TransferBufferMDL = nullptr;
    Request->Index = 0;
    Request->DescriptorType = DescriptorType;
    Request->LanguageId = 0;
    Request->UrbLink = nullptr;
}

// Pipes a record of Length bytes can hold, whatever its NumberOfPipes says.
ULONG PipesWithin(const USBD_INTERFACE_INFORMATION* Interface)
{
    constexpr ULONG header = static_cast<ULONG>(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes));
    if (Interface->Length < header) {
        return 0;
    }
    ULONG room = (Interface->Length - header) / sizeof(USBD_PIPE_INFORMATION);
    return Interface->NumberOfPipes < room ? Interface->NumberOfPipes : room;
}

void TakeBulkPipes(PDEVICE_EXTENSION Extension, PUSBD_INTERFACE_INFORMATION Interface)
{
    Extension->BulkOutPipe = nullptr;
    Extension->BulkInPipe = nullptr;
    const ULONG pipes = PipesWithin(Interface);
    for (ULONG pipe = 0; pipe < pipes; pipe++) {
        if (Interface->Pipes[pipe].PipeType != UsbdPipeTypeBulk) {
            continue;
        }
        if ((Interface->Pipes[pipe].EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0) {
            Extension->BulkInPipe = &Interface->Pipes[pipe];
        } else {
            Extension->BulkOutPipe = &Interface->Pipes[pipe];
        }
    }
}

void FreeInterfaceCopies(PDEVICE_EXTENSION Extension)
{
    for (PUSBD_INTERFACE_INFORMATION& copy : Extension->InterfaceInfo) {
        FreeAndClear(reinterpret_cast<PVOID*>(&copy));
    }
}

}  // namespace

_Use_decl_annotations_
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    auto request = static_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(
        AllocateZeroedPool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (request == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto deviceDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateZeroedPool(sizeof(USB_DEVICE_DESCRIPTOR)));
    if (deviceDescriptor == nullptr) {
        ExFreePoolWithTag(request, DriverPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ReleaseUsbResources(DeviceObject);

    PrepareDescriptorRequest(request, USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    NTSTATUS status = SubmitUrbSync(DeviceObject, reinterpret_cast<PURB>(request));
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(deviceDescriptor, DriverPoolTag);
        ExFreePoolWithTag(request, DriverPoolTag);
        return status;
    }
    extension->DeviceDescriptor = deviceDescriptor;

    // Read into a buffer that holds the whole descriptor: a device whose
    // configuration is longer says so in wTotalLength, and is asked again.
    ULONG size = InitialConfigurationSize;
    for (;;) {
        extension->ConfigurationDescriptor =
            static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, size, DriverPoolTag));
        if (extension->ConfigurationDescriptor == nullptr) {
            ExFreePoolWithTag(request, DriverPoolTag);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(extension->ConfigurationDescriptor, size);
        PrepareDescriptorRequest(request, USB_CONFIGURATION_DESCRIPTOR_TYPE, extension->ConfigurationDescriptor, size);
        status = SubmitUrbSync(DeviceObject, reinterpret_cast<PURB>(request));
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(request, DriverPoolTag);
            return status;
        }
        if (request->TransferBufferLength == 0 || extension->ConfigurationDescriptor->wTotalLength <= size) {
            break;
        }
        size = extension->ConfigurationDescriptor->wTotalLength;
        FreeAndClear(reinterpret_cast<PVOID*>(&extension->ConfigurationDescriptor));
    }
    ExFreePoolWithTag(request, DriverPoolTag);

    status = SelectConfiguration(DeviceObject);
    if (!NT_SUCCESS(status)) {
        ReleaseUsbResources(DeviceObject);
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    PUSB_CONFIGURATION_DESCRIPTOR configuration = extension->ConfigurationDescriptor;
    const ULONG interfaces = configuration->bNumInterfaces;
    if (interfaces > MaximumInterfaces) {
        return STATUS_NOT_SUPPORTED;
    }

    auto interfaceList = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        AllocateZeroedPool((interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
    if (interfaceList == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG number = 0; number < interfaces; number++) {
        // The first descriptor with this number, whatever its alternate
        // setting and class.
        interfaceList[number].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, static_cast<LONG>(number), -1, -1, -1, -1);
        if (interfaceList[number].InterfaceDescriptor == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
    }

    PURB urb = nullptr;
    if (NT_SUCCESS(status)) {
        urb = USBD_CreateConfigurationRequestEx(configuration, interfaceList);
        if (urb == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        status = SubmitUrbSync(DeviceObject, urb);
    }

    if (NT_SUCCESS(status)) {
        auto record = &urb->UrbSelectConfiguration.Interface;
        for (ULONG number = 0; number < interfaces; number++) {
            auto copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
                ExAllocatePoolWithTag(NonPagedPool, record->Length, DriverPoolTag));
            if (copy == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            RtlCopyMemory(copy, record, record->Length);
            extension->InterfaceInfo[number] = copy;

            // The bulk pipes of the last interface decide.
            TakeBulkPipes(extension, copy);
            record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(record) + record->Length);
        }
        if (NT_SUCCESS(status) && (extension->BulkOutPipe == nullptr || extension->BulkInPipe == nullptr)) {
            FreeInterfaceCopies(extension);
            status = STATUS_NOT_SUPPORTED;
        }
    }

    // Built by USBD under its own tag.
    if (urb != nullptr) {
        ExFreePool(urb);
    }
    ExFreePoolWithTag(interfaceList, DriverPoolTag);
    return status;
}

_Use_decl_annotations_
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    auto urb =
        static_cast<struct _URB_SELECT_CONFIGURATION*>(AllocateZeroedPool(sizeof(struct _URB_SELECT_CONFIGURATION)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->Hdr.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    urb->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->ConfigurationDescriptor = nullptr;

    NTSTATUS status = SubmitUrbSync(DeviceObject, reinterpret_cast<PURB>(urb));
    ExFreePoolWithTag(urb, DriverPoolTag);
    if (NT_SUCCESS(status)) {
        ReleaseUsbResources(DeviceObject);
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS ReleaseUsbResources(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    FreeAndClear(reinterpret_cast<PVOID*>(&extension->DeviceDescriptor));
    FreeAndClear(reinterpret_cast<PVOID*>(&extension->ConfigurationDescriptor));
    FreeInterfaceCopies(extension);
    extension->BulkOutPipe = nullptr;
    extension->BulkInPipe = nullptr;
    return STATUS_SUCCESS;
}
