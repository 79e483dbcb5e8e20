/*++

Module Name:

    port_naming.cpp

Abstract:

    Gives a device its identity as a COM port and takes it away again: the
    COM port device interface, the DOS-device link named after the port,
    and the port's entry under SERIALCOMM in the hardware device map. Flags
    in the device extension record what exists, so that withdrawal can run
    more than once and after a partial failure.

Environment:

    Kernel mode, PASSIVE_LEVEL, in the thread of the Plug and Play request
    (AddDevice, surprise removal, removal), which the system serialises.

--*/

#include "frame/frame.h"
#include "serial/serial.h"

namespace {

// Value-name sizes in bytes, terminator included.
constexpr ULONG SkipExternalNamingNameSize = sizeof(WIDE("SerialSkipExternalNaming"));
constexpr ULONG PortNameValueNameSize = sizeof(WIDE("PortName"));
constexpr ULONG IdentifierNameSize = sizeof(WIDE("Identifier"));
static_assert(SkipExternalNamingNameSize == 50 && PortNameValueNameSize == 18 && IdentifierNameSize == 22,
              "value-name sizes");

constexpr USHORT NameBufferBytes = 512;

// Characters up to the first NUL, never past the end of the buffer.
USHORT BoundedLength(const WCHAR* Text, USHORT Capacity)
{
    USHORT length = 0;
    while (length < Capacity && Text[length] != 0) {
        length++;
    }
    return length;
}

// The DOS-device link and the port's entry under SERIALCOMM, for the name
// read from the device's key.
NTSTATUS PublishPortName(PDEVICE_EXTENSION Extension)
{
    NTSTATUS status = RtlAppendUnicodeToString(&Extension->DosName, WIDE("\\DosDevices\\"));
    if (NT_SUCCESS(status)) {
        status = RtlAppendUnicodeToString(&Extension->DosName, Extension->PortNameBuffer);
    }
    if (!NT_SUCCESS(status)) {
        Extension->DosName.Length = 0;
        return status;
    }

    status = IoCreateSymbolicLink(&Extension->DosName, &Extension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension->SymbolicLinkCreated = TRUE;

    // The port name, its terminator and one more NUL.
    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), Extension->InterfaceNameBuffer, REG_SZ,
                                   Extension->PortNameBuffer,
                                   static_cast<ULONG>(Extension->PortName.Length + sizeof(WCHAR)));
    if (!NT_SUCCESS(status)) {
        IoDeleteSymbolicLink(&Extension->DosName);
        Extension->SymbolicLinkCreated = FALSE;
        return status;
    }
    Extension->SerialCommWritten = TRUE;
    return status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS RegisterPortInterface(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if (extension->InterfaceRegistered) {
        return STATUS_SUCCESS;
    }

    UNICODE_STRING linkName;
    NTSTATUS status =
        IoRegisterDeviceInterface(extension->PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, nullptr, &linkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // The name must fit with its terminator; a longer one is refused rather
    // than overrunning the buffer.
    if (linkName.Length > (InterfaceNameChars - 1) * sizeof(WCHAR)) {
        RtlFreeUnicodeString(&linkName);
        return STATUS_NAME_TOO_LONG;
    }
    RtlCopyMemory(extension->InterfaceNameBuffer, linkName.Buffer, linkName.Length);
    extension->InterfaceNameBuffer[linkName.Length / sizeof(WCHAR)] = 0;

    status = IoSetDeviceInterfaceState(&linkName, TRUE);
    RtlInitUnicodeString(&extension->InterfaceName, extension->InterfaceNameBuffer);
    RtlFreeUnicodeString(&linkName);
    extension->InterfaceRegistered = TRUE;

    // A port whose naming failed is still reachable through its interface.
    CreatePortName(DeviceObject);
    return status;
}

_Use_decl_annotations_
NTSTATUS UnregisterPortInterface(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if (!extension->InterfaceRegistered) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
    RemovePortName(DeviceObject);
    extension->InterfaceRegistered = FALSE;
    return status;
}

_Use_decl_annotations_
NTSTATUS CreatePortName(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if (extension->SymbolicLinkCreated || extension->SerialCommWritten) {
        RemovePortName(DeviceObject);
    }

    InitializeSerialDefaults(extension);

    extension->PortName.Length = 0;
    extension->PortName.MaximumLength = NameBufferBytes;
    extension->PortName.Buffer = extension->PortNameBuffer;
    RtlZeroMemory(extension->PortNameBuffer, 4 * sizeof(WCHAR));
    extension->DosName.Length = 0;
    extension->DosName.MaximumLength = NameBufferBytes;
    extension->DosName.Buffer = extension->DosNameBuffer;
    RtlZeroMemory(extension->DosNameBuffer, 4 * sizeof(WCHAR));

    // KEY_READ: a key opened for STANDARD_RIGHTS_READ alone grants no right
    // to query its values where the kernel checks handle access.
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    QueryRegistryValue(key, WIDE("SerialSkipExternalNaming"), SkipExternalNamingNameSize,
                       &extension->SkipExternalNaming, sizeof(extension->SkipExternalNaming));
    if (extension->SkipExternalNaming != 0) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }

    const ULONG nameRoom = static_cast<ULONG>(extension->PortName.MaximumLength - sizeof(WCHAR));
    status = QueryRegistryValue(key, WIDE("PortName"), PortNameValueNameSize, extension->PortNameBuffer, nameRoom);
    if (!NT_SUCCESS(status)) {
        status = QueryRegistryValue(key, WIDE("Identifier"), IdentifierNameSize, extension->PortNameBuffer, nameRoom);
        if (!NT_SUCCESS(status)) {
            ZwClose(key);
            return status;
        }
    }

    // The stored length counts the terminator too.
    USHORT characters = BoundedLength(extension->PortNameBuffer, PortNameChars - 1);
    extension->PortName.Length = static_cast<USHORT>((characters + 1) * sizeof(WCHAR));
    ZwClose(key);

    // An empty name, or one too long for the DOS name, would make a link
    // under \DosDevices\ alone: such a port is not named.
    if (characters == 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return PublishPortName(extension);
}

_Use_decl_annotations_
NTSTATUS RemovePortName(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    if (extension->SymbolicLinkCreated) {
        IoDeleteSymbolicLink(&extension->DosName);
        extension->SymbolicLinkCreated = FALSE;
    }
    if (extension->SerialCommWritten) {
        NTSTATUS status =
            RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, WIDE("SERIALCOMM"), extension->InterfaceNameBuffer);
        extension->SerialCommWritten = FALSE;
        return status;
    }
    return STATUS_SUCCESS;
}
