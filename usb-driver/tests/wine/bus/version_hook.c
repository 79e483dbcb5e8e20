/*
    version_hook.c: gives bulkcom.sys a working RtlIsNtDdiVersionAvailable
    on Wine without changing the driver.

    Wine's MmGetSystemRoutineAddress finds RtlIsNtDdiVersionAvailable, but
    that routine answers FALSE for every version, so the driver would find
    no Windows generation and refuse AddDevice. When bulkcom.sys is loaded,
    its import slot for MmGetSystemRoutineAddress is pointed at a wrapper
    that answers that one name with a check built on PsGetVersion and passes
    every other name on.

    Wine reports 6.1 by default: the driver then runs as OsClassWindows7.
    After `winecfg -v win10` Wine reports 10.0 and the driver picks
    OsClassWindows8 (the class of Windows 8 and every later Windows).

Environment:
    Kernel mode (Wine's driver host), PASSIVE_LEVEL.
*/
#include "bus.h"

#include <ntimage.h>

typedef NTSTATUS(NTAPI* PROTECT_VIRTUAL_MEMORY)(HANDLE Process, PVOID* Base, PSIZE_T Size, ULONG NewProtection,
                                                PULONG OldProtection);
typedef PVOID(NTAPI* GET_SYSTEM_ROUTINE_ADDRESS)(PUNICODE_STRING Name);

static WCHAR HookedImage[] = L"bulkcom.sys";

static PVOID RealGetSystemRoutineAddress;

static ULONG ReportedNtddiVersion(void)
{
    ULONG major = 0;
    ULONG minor = 0;
    PsGetVersion(&major, &minor, NULL, NULL);
    return (major << 24) | (minor << 16);
}

/* PsGetVersion tells no service pack: only versions up to the bare
   major.minor count as available. */
static BOOLEAN NTAPI IsNtDdiVersionAvailable(ULONG Version)
{
    const BOOLEAN available = Version <= ReportedNtddiVersion() ? TRUE : FALSE;
    BusNote("version 0x%08lx available: %u\n", Version, available);
    return available;
}

static PVOID NTAPI HookedGetSystemRoutineAddress(PUNICODE_STRING Name)
{
    UNICODE_STRING versionRoutine = RTL_CONSTANT_STRING(L"RtlIsNtDdiVersionAvailable");
    if (RtlEqualUnicodeString(Name, &versionRoutine, FALSE)) {
        return (PVOID)IsNtDdiVersionAvailable;
    }
    return ((GET_SYSTEM_ROUTINE_ADDRESS)RealGetSystemRoutineAddress)(Name);
}

static BOOLEAN EndsWithImageName(PUNICODE_STRING FullName)
{
    const USHORT nameChars = (USHORT)(sizeof(HookedImage) / sizeof(WCHAR) - 1);
    if (FullName == NULL || FullName->Buffer == NULL || FullName->Length < nameChars * sizeof(WCHAR)) {
        return FALSE;
    }
    UNICODE_STRING tail;
    tail.Buffer = FullName->Buffer + FullName->Length / sizeof(WCHAR) - nameChars;
    tail.Length = tail.MaximumLength = nameChars * sizeof(WCHAR);
    UNICODE_STRING expected = RTL_CONSTANT_STRING(HookedImage);
    if (!RtlEqualUnicodeString(&tail, &expected, TRUE)) {
        return FALSE;
    }
    return FullName->Length == nameChars * sizeof(WCHAR) || tail.Buffer[-1] == L'\\' || tail.Buffer[-1] == L'/';
}

static PULONG_PTR FindImportSlot(PUCHAR Base, const char* Routine)
{
    PIMAGE_DOS_HEADER dos = (PIMAGE_DOS_HEADER)Base;
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
        return NULL;
    }
    PIMAGE_NT_HEADERS64 nt = (PIMAGE_NT_HEADERS64)(Base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) {
        return NULL;
    }
    IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return NULL;
    }
    for (PIMAGE_IMPORT_DESCRIPTOR module = (PIMAGE_IMPORT_DESCRIPTOR)(Base + directory.VirtualAddress);
         module->Name != 0 && module->FirstThunk != 0; module++) {
        if (_stricmp((const char*)(Base + module->Name), "ntoskrnl.exe") != 0) {
            continue;
        }
        /* The name table stays as linked; the address table is what the
           loader fills in. */
        ULONG names = module->OriginalFirstThunk != 0 ? module->OriginalFirstThunk : module->FirstThunk;
        PIMAGE_THUNK_DATA64 name = (PIMAGE_THUNK_DATA64)(Base + names);
        PULONG_PTR slot = (PULONG_PTR)(Base + module->FirstThunk);
        for (; name->u1.AddressOfData != 0; name++, slot++) {
            if (IMAGE_SNAP_BY_ORDINAL64(name->u1.Ordinal)) {
                continue;
            }
            PIMAGE_IMPORT_BY_NAME byName = (PIMAGE_IMPORT_BY_NAME)(Base + name->u1.AddressOfData);
            if (strcmp((const char*)byName->Name, Routine) == 0) {
                return slot;
            }
        }
    }
    return NULL;
}

static NTSTATUS WriteSlot(PULONG_PTR Slot, ULONG_PTR Value)
{
    UNICODE_STRING protectName = RTL_CONSTANT_STRING(L"ZwProtectVirtualMemory");
    PROTECT_VIRTUAL_MEMORY protect = (PROTECT_VIRTUAL_MEMORY)MmGetSystemRoutineAddress(&protectName);
    if (protect == NULL) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    PVOID base = Slot;
    SIZE_T size = sizeof(*Slot);
    ULONG old = 0;
    NTSTATUS status = protect(NtCurrentProcess(), &base, &size, PAGE_READWRITE, &old);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Slot = Value;
    base = Slot;
    size = sizeof(*Slot);
    ULONG ignored = 0;
    protect(NtCurrentProcess(), &base, &size, old, &ignored);
    return STATUS_SUCCESS;
}

static VOID NTAPI OnImageLoad(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo)
{
    UNREFERENCED_PARAMETER(ProcessId);
    if (!EndsWithImageName(FullImageName)) {
        return;
    }
    PULONG_PTR slot = FindImportSlot((PUCHAR)ImageInfo->ImageBase, "MmGetSystemRoutineAddress");
    if (slot == NULL) {
        BusNote("version hook: no MmGetSystemRoutineAddress import\n");
        return;
    }
    NTSTATUS status = WriteSlot(slot, (ULONG_PTR)HookedGetSystemRoutineAddress);
    ULONG major = 0;
    ULONG minor = 0;
    PsGetVersion(&major, &minor, NULL, NULL);
    /* Wine's DbgPrint knows no %wZ. */
    BusNote("version hook: import patched, status 0x%08lx, Wine reports %lu.%lu\n", status, major, minor);
}

NTSTATUS StartVersionHook(void)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"MmGetSystemRoutineAddress");
    RealGetSystemRoutineAddress = MmGetSystemRoutineAddress(&name);
    if (RealGetSystemRoutineAddress == NULL) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    return PsSetLoadImageNotifyRoutine(OnImageLoad);
}

void StopVersionHook(void)
{
    PsRemoveLoadImageNotifyRoutine(OnImageLoad);
}
