// System-space mapping of memory descriptors. Host memory is one address
// space, so the mapping is the described address itself; what matters is
// that the call can fail and that the descriptor records the mapping.

#include "fault_injection.h"
#include "irql.h"

extern "C" {

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                         ULONG Priority)
{
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    if (sim::Faults::ShouldFail(sim::Fault::MapLockedPages, SIM_CALL_SITE())) {
        return nullptr;
    }
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags = static_cast<CSHORT>(MemoryDescriptorList->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
    return MemoryDescriptorList->MappedSystemVa;
}

}  // extern "C"
