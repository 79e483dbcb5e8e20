// Counted-string routines of the runtime library.

#include "bugcheck.h"
#include "fault_injection.h"
#include "irql.h"

namespace {

size_t TextLength(PCWSTR text)
{
    size_t length = 0;
    while (text[length] != 0) {
        length++;
    }
    return length;
}

NTSTATUS Append(PUNICODE_STRING Destination, PCWSTR source, size_t bytes)
{
    if (Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(reinterpret_cast<UCHAR*>(Destination->Buffer) + Destination->Length, source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        *DestinationString = UNICODE_STRING{0, 0, nullptr};
        return;
    }
    size_t bytes = TextLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        sim::BugCheck("INVALID_PARAMETER", "RtlInitUnicodeString with a string longer than a counted string holds");
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    // Its one documented failure: the text does not fit.
    if (sim::Faults::ShouldFail(sim::Fault::AppendUnicodeToString, SIM_CALL_SITE())) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    return Append(Destination, Source, TextLength(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    return Append(Destination, Source->Buffer, Source->Length);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    auto fold = [CaseInSensitive](WCHAR c) {
        return CaseInSensitive && c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c;
    };
    size_t length1 = String1->Length / sizeof(WCHAR);
    size_t length2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < length1 && i < length2; i++) {
        WCHAR a = fold(String1->Buffer[i]);
        WCHAR b = fold(String2->Buffer[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    return length1 == length2 ? 0 : (length1 < length2 ? -1 : 1);
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    sim::RequireIrqlAtMost(APC_LEVEL, "RtlFreeUnicodeString");
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    *UnicodeString = UNICODE_STRING{0, 0, nullptr};
}

}  // extern "C"
