// IRQL and spin locks: what each routine does to the caller's level, and
// real mutual exclusion between processors.

#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class SpinLockIrqlTest : public SimTest {};

TEST_F(SpinLockIrqlTest, RaiseReturnsThePreviousLevelAndLowerRestoresIt)
{
    KIRQL fromPassive;
    KeRaiseIrql(APC_LEVEL, &fromPassive);
    EXPECT_EQ(fromPassive, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KIRQL fromApc;
    KeRaiseIrql(DISPATCH_LEVEL, &fromApc);
    EXPECT_EQ(fromApc, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);

    // The level belongs to the processor running the thread, not to all.
    KIRQL elsewhere = HIGH_LEVEL;
    std::thread([&] { elsewhere = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(elsewhere, PASSIVE_LEVEL);

    KeLowerIrql(fromApc);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(fromPassive);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockIrqlTest, AcquireRaisesToDispatchAndReleaseReturnsToTheCallersLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (KIRQL start : {KIRQL{PASSIVE_LEVEL}, KIRQL{APC_LEVEL}, KIRQL{DISPATCH_LEVEL}}) {
        SCOPED_TRACE(static_cast<int>(start));
        KIRQL entry;
        KeRaiseIrql(start, &entry);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        EXPECT_EQ(old, start);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeReleaseSpinLock(&lock, old);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        KeLowerIrql(entry);
    }

    // At DISPATCH_LEVEL already, the DPC-level pair leaves the level alone.
    KIRQL entry;
    KeRaiseIrql(DISPATCH_LEVEL, &entry);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(entry);
}

TEST_F(SpinLockIrqlTest, SpinLockExcludesOtherProcessors)
{
    constexpr int threads = 4;
    constexpr int rounds = 20000;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    // Deliberately not atomic: only the lock keeps the increments whole.
    unsigned long counter = 0;
    bool levelsRight = true;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; i++) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                counter = counter + 1;
                bool held = KeGetCurrentIrql() == DISPATCH_LEVEL;
                KeReleaseSpinLock(&lock, old);
                if (!held || KeGetCurrentIrql() != PASSIVE_LEVEL) {
                    KeAcquireSpinLock(&lock, &old);
                    levelsRight = false;
                    KeReleaseSpinLock(&lock, old);
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(counter, static_cast<unsigned long>(threads) * rounds);
    EXPECT_TRUE(levelsRight);
}

}  // namespace
}  // namespace bulkcom_test
