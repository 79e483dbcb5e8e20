/*++

Module Name:

    os_version.cpp

Abstract:

    Which generation of Windows the driver runs on. The version query
    routine is looked up at run time, since systems before Vista lack it.

Environment:

    Kernel mode, PASSIVE_LEVEL.

--*/

#include "frame/frame.h"

namespace {

typedef BOOLEAN(NTAPI* IS_NT_DDI_VERSION_AVAILABLE)(ULONG Version);

}  // namespace

_Use_decl_annotations_
BOOLEAN IsOsVersionAvailable(ULONG Version)
{
    PAGED_CODE();
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, WIDE("RtlIsNtDdiVersionAvailable"));
    auto isAvailable = reinterpret_cast<IS_NT_DDI_VERSION_AVAILABLE>(MmGetSystemRoutineAddress(&routineName));
    if (isAvailable != nullptr) {
        return isAvailable(Version);
    }

    // Without the routine only major and minor versions can be compared;
    // a service-pack requirement cannot be confirmed.
    if ((Version & 0xFFFF) != 0) {
        return FALSE;
    }
    ULONG major = 0;
    ULONG minor = 0;
    PsGetVersion(&major, &minor, nullptr, nullptr);
    ULONG running = ((major * 256) + minor) * 65536;
    return running >= Version ? TRUE : FALSE;
}

_Use_decl_annotations_
ULONG QueryOsClass()
{
    PAGED_CODE();
    if (IsOsVersionAvailable(NTDDI_WIN8)) {
        return OsClassWindows8;
    }
    if (IsOsVersionAvailable(NTDDI_WIN7)) {
        return OsClassWindows7;
    }
    if (IsOsVersionAvailable(NTDDI_VISTASP1) || IsOsVersionAvailable(NTDDI_VISTA)) {
        return OsClassVista;
    }
    if (IsOsVersionAvailable(NTDDI_WS03) || IsOsVersionAvailable(NTDDI_WINXP)) {
        return OsClassXp;
    }
    return 0;
}
