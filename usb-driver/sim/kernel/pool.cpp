#include "pool.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "bugcheck.h"
#include "hooks.h"
#include "irql.h"

namespace sim {

namespace {

// The outstanding blocks are spread over shards by address, each with its
// own lock and cache lines, so that threads allocating at once do not wait
// for each other. Each call takes one shard's lock and never another lock
// with it. The running totals are atomics: every allocation and free moves
// them at one point of a single order, and the peak is the highest total
// any allocation left in that order, so it is exact.
constexpr int shardBits = 6;
constexpr size_t shardCount = size_t{1} << shardBits;

struct alignas(64) Shard {
    std::mutex lock;
    std::unordered_map<PVOID, PoolAllocation> allocations;
    unsigned long long allocationCount = 0;
};

std::array<Shard, shardCount> shards;
// What is outstanding now, and the most there ever was since the last reset.
std::atomic<SIZE_T> bytesNow{0};
std::atomic<size_t> blocksNow{0};
std::atomic<SIZE_T> peakBytes{0};
std::atomic<size_t> peakBlocks{0};
std::atomic<bool> fillPattern{true};

Shard& ShardOf(PVOID block)
{
    // malloc's blocks are 16-byte aligned; the multiplier spreads the rest.
    auto bits = reinterpret_cast<uintptr_t>(block) >> 4;
    return shards[(bits * 0x9E3779B97F4A7C15ull) >> (64 - shardBits)];
}

template <class T>
void RaiseTo(std::atomic<T>& peak, T value)
{
    T seen = peak.load();
    while (seen < value && !peak.compare_exchange_weak(seen, value)) {
    }
}

bool IsPaged(POOL_TYPE type)
{
    return (type & 1) != 0;
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, CallSite site)
{
    KIRQL irql = CurrentIrql();
    if (IsPaged(type) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
        BugCheck("BAD_POOL_CALLER", std::string(IsPaged(type) ? "paged" : "non-paged") + " pool allocation at IRQL " +
                                        std::to_string(irql));
    }
    // malloc's 16-byte alignment matches what x64 pool returns.
    PVOID block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        return nullptr;
    }
    if (fillPattern.load(std::memory_order_relaxed)) {
        std::memset(block, Pool::FillByte, size);
    }
    {
        Shard& shard = ShardOf(block);
        std::lock_guard lock(shard.lock);
        shard.allocations.emplace(block, PoolAllocation{block, size, tag, type, site});
        shard.allocationCount++;
    }
    RaiseTo(peakBytes, bytesNow += size);
    RaiseTo(peakBlocks, ++blocksNow);
    return block;
}

void Free(PVOID block, const ULONG* expectedTag)
{
    KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        BugCheck("BAD_POOL_CALLER", "pool freed above DISPATCH_LEVEL", block);
    }
    SIZE_T size;
    {
        Shard& shard = ShardOf(block);
        std::lock_guard lock(shard.lock);
        auto found = shard.allocations.find(block);
        if (found == shard.allocations.end()) {
            BugCheck("BAD_POOL_CALLER", "free of memory that is not an outstanding pool allocation (double free?)",
                     block);
        }
        if (IsPaged(found->second.type) && irql > APC_LEVEL) {
            BugCheck("BAD_POOL_CALLER", "paged pool freed at IRQL " + std::to_string(irql), block);
        }
        if (expectedTag != nullptr && found->second.tag != *expectedTag) {
            BugCheck("BAD_POOL_CALLER",
                     "ExFreePoolWithTag with tag '" + PoolTagText(*expectedTag) + "' on memory allocated with tag '" +
                         PoolTagText(found->second.tag) + "'",
                     block);
        }
        size = found->second.size;
        shard.allocations.erase(found);
    }
    // Before the memory goes back: malloc may hand the address out again
    // only once this free has left the totals.
    bytesNow -= size;
    blocksNow--;
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
    fillPattern = enabled;
}

std::vector<PoolAllocation> Pool::Outstanding()
{
    std::vector<PoolAllocation> list;
    for (Shard& shard : shards) {
        std::lock_guard lock(shard.lock);
        for (const auto& [address, allocation] : shard.allocations) {
            list.push_back(allocation);
        }
    }
    return list;
}

unsigned long long Pool::AllocationCount()
{
    unsigned long long count = 0;
    for (Shard& shard : shards) {
        std::lock_guard lock(shard.lock);
        count += shard.allocationCount;
    }
    return count;
}

PVOID Pool::AllocateForKernel(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    return Allocate(type, size, tag, nullptr);
}

Pool::Peak Pool::PeakUse()
{
    return Peak{peakBytes, peakBlocks};
}

void Pool::Reset()
{
    for (Shard& shard : shards) {
        std::lock_guard lock(shard.lock);
        for (auto& [address, allocation] : shard.allocations) {
            std::free(address);
        }
        shard.allocations.clear();
        shard.allocationCount = 0;
    }
    bytesNow = 0;
    blocksNow = 0;
    peakBytes = 0;
    peakBlocks = 0;
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
