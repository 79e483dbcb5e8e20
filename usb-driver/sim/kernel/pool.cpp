#include "pool.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "bugcheck.h"
#include "hooks.h"
#include "irql.h"

namespace sim {

namespace {

std::mutex poolLock;
std::unordered_map<PVOID, PoolAllocation> allocations;
unsigned long long allocationCount = 0;
// What is outstanding now, and the most there ever was since the last reset.
SIZE_T bytesNow = 0;
Pool::Peak peak;
bool fillPattern = true;

bool IsPaged(POOL_TYPE type)
{
    return (type & 1) != 0;
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, CallSite site)
{
    KIRQL irql = CurrentIrql();
    if (IsPaged(type) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
        BugCheck("BAD_POOL_CALLER", std::string(IsPaged(type) ? "paged" : "non-paged") +
                                        " pool allocation at IRQL " + std::to_string(irql));
    }
    // malloc's 16-byte alignment matches what x64 pool returns.
    PVOID block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(poolLock);
    if (fillPattern) {
        std::memset(block, Pool::FillByte, size);
    }
    allocations[block] = PoolAllocation{block, size, tag, type, site};
    allocationCount++;
    bytesNow += size;
    peak.bytes = std::max(peak.bytes, bytesNow);
    peak.blocks = std::max(peak.blocks, allocations.size());
    return block;
}

void Free(PVOID block, const ULONG* expectedTag)
{
    KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        BugCheck("BAD_POOL_CALLER", "pool freed above DISPATCH_LEVEL", block);
    }
    {
        std::lock_guard lock(poolLock);
        auto found = allocations.find(block);
        if (found == allocations.end()) {
            BugCheck("BAD_POOL_CALLER", "free of memory that is not an outstanding pool allocation (double free?)",
                     block);
        }
        if (IsPaged(found->second.type) && irql > APC_LEVEL) {
            BugCheck("BAD_POOL_CALLER", "paged pool freed at IRQL " + std::to_string(irql), block);
        }
        if (expectedTag != nullptr && found->second.tag != *expectedTag) {
            BugCheck("BAD_POOL_CALLER", "ExFreePoolWithTag with tag '" + PoolTagText(*expectedTag) +
                                            "' on memory allocated with tag '" + PoolTagText(found->second.tag) + "'",
                     block);
        }
        bytesNow -= found->second.size;
        allocations.erase(found);
    }
    std::free(block);
}

}  // namespace

std::string PoolTagText(ULONG tag)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        text += static_cast<char>((tag >> shift) & 0xFF);
    }
    return text;
}

void Pool::SetFillPattern(bool enabled)
{
    std::lock_guard lock(poolLock);
    fillPattern = enabled;
}

std::vector<PoolAllocation> Pool::Outstanding()
{
    std::lock_guard lock(poolLock);
    std::vector<PoolAllocation> list;
    for (const auto& [address, allocation] : allocations) {
        list.push_back(allocation);
    }
    return list;
}

unsigned long long Pool::AllocationCount()
{
    std::lock_guard lock(poolLock);
    return allocationCount;
}

PVOID Pool::AllocateForKernel(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    return Allocate(type, size, tag, nullptr);
}

Pool::Peak Pool::PeakUse()
{
    std::lock_guard lock(poolLock);
    return peak;
}

void Pool::Reset()
{
    std::lock_guard lock(poolLock);
    for (auto& [address, allocation] : allocations) {
        std::free(address);
    }
    allocations.clear();
    allocationCount = 0;
    bytesNow = 0;
    peak = {};
    fillPattern = true;
}

}  // namespace sim

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    sim::CallSite site = SIM_CALL_SITE();
    if (sim::Hooks().poolAllocating) {
        sim::Hooks().poolAllocating(NumberOfBytes, Tag);
    }
    if (sim::Faults::ShouldFail(sim::Fault::PoolAllocation, site)) {
        return nullptr;
    }
    return sim::Allocate(PoolType, NumberOfBytes, Tag, site);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    sim::Free(P, &Tag);
}

VOID NTAPI ExFreePool(PVOID P)
{
    sim::Free(P, nullptr);
}

}  // extern "C"
