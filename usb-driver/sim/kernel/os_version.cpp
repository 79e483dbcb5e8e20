// The version query. Before Vista the kernel has no RtlIsNtDdiVersionAvailable,
// so a run-time lookup of it finds nothing and drivers fall back to PsGetVersion.

#include "os_version.h"

#include <atomic>
#include <string>

#include "irql.h"
#include "object_namespace.h"

namespace sim {

namespace {

struct VersionFacts {
    ULONG major;
    ULONG minor;
    ULONG build;
    ULONG ntddi;
    bool hasDdiQuery;
};

std::atomic<WindowsVersion> current{WindowsVersion::Windows10};

VersionFacts FactsOf(WindowsVersion version)
{
    switch (version) {
    case WindowsVersion::Windows2000:
        return {5, 0, 2195, NTDDI_WIN2K, false};
    case WindowsVersion::WindowsXP:
        return {5, 1, 2600, 0x05010300, false};
    case WindowsVersion::Server2003:
        return {5, 2, 3790, 0x05020200, false};
    case WindowsVersion::Vista:
        return {6, 0, 6000, NTDDI_VISTA, true};
    case WindowsVersion::VistaSp1:
        return {6, 0, 6001, NTDDI_VISTASP1, true};
    case WindowsVersion::Windows7:
        return {6, 1, 7601, 0x06010100, true};
    case WindowsVersion::Windows8:
        return {6, 2, 9200, NTDDI_WIN8, true};
    // Build 19045 (22H2) is an update of 20H1, whose DDI level is NTDDI_WIN10_VB.
    case WindowsVersion::Windows10:
        return {10, 0, 19045, 0x0A000008, true};
    }
    return {10, 0, 19045, 0x0A000008, true};
}

BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version)
{
    return Version <= FactsOf(current.load()).ntddi ? TRUE : FALSE;
}

}  // namespace

void SetWindowsVersion(WindowsVersion version)
{
    current = version;
}

WindowsVersion CurrentWindowsVersion()
{
    return current.load();
}

}  // namespace sim

using namespace sim;

extern "C" {

BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion)
{
    VersionFacts facts = FactsOf(current.load());
    if (MajorVersion != nullptr) {
        *MajorVersion = facts.major;
    }
    if (MinorVersion != nullptr) {
        *MinorVersion = facts.minor;
    }
    if (BuildNumber != nullptr) {
        *BuildNumber = facts.build;
    }
    if (CSDVersion != nullptr) {
        CSDVersion->Length = 0;
    }
    return FALSE;
}

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
    if (FromUnicodeString(SystemRoutineName) == u"RtlIsNtDdiVersionAvailable" && FactsOf(current.load()).hasDdiQuery) {
        return reinterpret_cast<PVOID>(&RtlIsNtDdiVersionAvailable);
    }
    return nullptr;
}

}  // extern "C"
