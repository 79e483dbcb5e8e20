// Pool memory: tracking by tag and type, the fill pattern, the two ways of
// freeing, the peak under threads allocating at once, and failing
// allocations on demand.

#include <algorithm>
#include <thread>

#include "kernel/kernel.h"
#include "kernel/pool.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class PoolTest : public SimTest {};

constexpr ULONG FirstTag = sim::PoolTag("Tst1");
constexpr ULONG SecondTag = sim::PoolTag("Tst2");

const sim::PoolAllocation* Find(const std::vector<sim::PoolAllocation>& allocations, PVOID address)
{
    auto found = std::find_if(allocations.begin(), allocations.end(),
                              [&](const sim::PoolAllocation& allocation) { return allocation.address == address; });
    return found == allocations.end() ? nullptr : &*found;
}

bool FilledWith(PVOID block, size_t size, UCHAR value)
{
    auto* bytes = static_cast<UCHAR*>(block);
    return std::all_of(bytes, bytes + size, [&](UCHAR byte) { return byte == value; });
}

// Two distinct call sites, kept out of line (and unlike each other, so that
// no optimiser folds them into one).
[[gnu::noinline]] PVOID AllocateAtFirstSite()
{
    return ExAllocatePoolWithTag(NonPagedPoolNx, 8, FirstTag);
}

[[gnu::noinline]] PVOID AllocateAtSecondSite()
{
    return ExAllocatePoolWithTag(NonPagedPoolNx, 16, FirstTag);
}

TEST_F(PoolTest, AllocationsAreTrackedByTagAndTypeUntilFreed)
{
    PVOID paged = ExAllocatePoolWithTag(PagedPool, 24, FirstTag);
    PVOID nonPaged = ExAllocatePoolWithTag(NonPagedPoolNx, 40, SecondTag);
    ASSERT_NE(paged, nullptr);
    ASSERT_NE(nonPaged, nullptr);

    auto outstanding = sim::Pool::Outstanding();
    ASSERT_EQ(outstanding.size(), 2u);
    const sim::PoolAllocation* first = Find(outstanding, paged);
    const sim::PoolAllocation* second = Find(outstanding, nonPaged);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->tag, FirstTag);
    EXPECT_EQ(first->type, PagedPool);
    EXPECT_EQ(first->size, 24u);
    EXPECT_EQ(second->tag, SecondTag);
    EXPECT_EQ(second->type, NonPagedPoolNx);
    EXPECT_EQ(sim::PoolTagText(second->tag), "Tst2");

    ExFreePoolWithTag(paged, FirstTag);
    EXPECT_EQ(Find(sim::Pool::Outstanding(), paged), nullptr);
    // ExFreePool frees whatever the tag, as the USB stack's own requests need.
    ExFreePool(nonPaged);
    EXPECT_TRUE(sim::Pool::Outstanding().empty());

    // The peak stays where the two were outstanding together, not where a
    // later single block would put it.
    ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 50, FirstTag));
    EXPECT_EQ(sim::Pool::PeakUse().bytes, 64u);
    EXPECT_EQ(sim::Pool::PeakUse().blocks, 2u);
}

TEST_F(PoolTest, ThreadsAllocatingAtOnceLeaveAnExactPeakAndCount)
{
    constexpr size_t threads = 4;
    constexpr size_t blocks = 500;
    std::vector<std::vector<PVOID>> held(threads);
    std::vector<std::thread> workers;
    for (size_t t = 0; t < threads; t++) {
        workers.emplace_back([&held, t] {
            for (size_t i = 0; i < blocks; i++) {
                held[t].push_back(ExAllocatePoolWithTag(NonPagedPoolNx, t + 1, FirstTag));
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(sim::Pool::AllocationCount(), threads * blocks);
    EXPECT_EQ(sim::Pool::Outstanding().size(), threads * blocks);
    for (const std::vector<PVOID>& list : held) {
        for (PVOID block : list) {
            ExFreePoolWithTag(block, FirstTag);
        }
    }
    ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 1, FirstTag));
    EXPECT_EQ(sim::Pool::PeakUse().bytes, blocks * (1 + 2 + 3 + 4));
    EXPECT_EQ(sim::Pool::PeakUse().blocks, threads * blocks);
}

TEST_F(PoolTest, FreshAllocationsCarryTheFillPatternAgainAfterAReset)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, FirstTag);
    ASSERT_NE(block, nullptr);
    EXPECT_NE(sim::Pool::FillByte, 0);
    EXPECT_TRUE(FilledWith(block, 64, sim::Pool::FillByte));
    ExFreePoolWithTag(block, FirstTag);

    // A benchmark turns filling off; the next test must not inherit that.
    sim::Pool::SetFillPattern(false);
    sim::ResetKernel();
    block = ExAllocatePoolWithTag(PagedPool, 64, FirstTag);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(FilledWith(block, 64, sim::Pool::FillByte));
    ExFreePool(block);
}

TEST_F(PoolTest, NthCallFailsOnceAndLeavesNothingBehind)
{
    sim::Faults::FailNthCall(sim::Fault::PoolAllocation, 2);
    PVOID first = AllocateAtFirstSite();
    PVOID second = AllocateAtFirstSite();
    PVOID third = AllocateAtFirstSite();
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(sim::Faults::CallCount(sim::Fault::PoolAllocation), 3u);
    EXPECT_EQ(sim::Pool::Outstanding().size(), 2u);
    ExFreePool(first);
    ExFreePool(third);
}

TEST_F(PoolTest, EveryCallFromOneSiteFailsUntilCleared)
{
    // A first run learns the sites, in the order they were first seen.
    ExFreePool(AllocateAtFirstSite());
    ExFreePool(AllocateAtSecondSite());
    ExFreePool(AllocateAtFirstSite());
    std::vector<sim::CallSite> sites = sim::Faults::CallSites(sim::Fault::PoolAllocation);
    ASSERT_EQ(sites.size(), 2u);

    sim::Faults::FailEveryCallFrom(sim::Fault::PoolAllocation, sites[0]);
    EXPECT_EQ(AllocateAtFirstSite(), nullptr);
    EXPECT_EQ(AllocateAtFirstSite(), nullptr);
    PVOID other = AllocateAtSecondSite();
    EXPECT_NE(other, nullptr);
    ExFreePool(other);

    sim::Faults::Clear();
    PVOID again = AllocateAtFirstSite();
    EXPECT_NE(again, nullptr);
    ExFreePool(again);
}

}  // namespace
}  // namespace bulkcom_test
