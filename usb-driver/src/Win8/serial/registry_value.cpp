/*++

Module Name:

    registry_value.cpp

Abstract:

    Reads one value of the device's hardware key into a fixed buffer.

Environment:

    Kernel mode, PASSIVE_LEVEL (the query buffer is paged).

--*/

#include "serial/serial.h"

namespace {

// Room for the fixed part of KEY_VALUE_FULL_INFORMATION and the alignment
// of its data.
constexpr ULONG FullInformationOverhead = 24;

}  // namespace

_Use_decl_annotations_
NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Destination, ULONG DestinationSize)
{
    PAGED_CODE();
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, ValueName);

    ULONG bufferSize = ValueNameSize + DestinationSize + FullInformationOverhead;
    auto information =
        static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, bufferSize, DriverPoolTag));
    if (information == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &valueName, KeyValueFullInformation, information, bufferSize, &resultLength);
    // A value too long for the destination leaves it as it was; the query's
    // own status still stands.
    if (NT_SUCCESS(status) && information->DataLength <= DestinationSize && information->DataOffset <= bufferSize &&
        information->DataLength <= bufferSize - information->DataOffset) {
        RtlCopyMemory(Destination, reinterpret_cast<PUCHAR>(information) + information->DataOffset,
                      information->DataLength);
    }

    ExFreePoolWithTag(information, DriverPoolTag);
    return status;
}
