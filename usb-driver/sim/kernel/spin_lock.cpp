// Spin locks: real mutual exclusion between simulated processors, with the
// IRQL rules Windows enforces around them.

#include <atomic>
#include <thread>

#include "bugcheck.h"
#include "irql.h"

namespace {

// The lock word holds the owner's identity, so recursion and foreign
// releases are caught instead of deadlocking or corrupting.
ULONG_PTR CurrentOwnerTag()
{
    thread_local char marker;
    return reinterpret_cast<ULONG_PTR>(&marker) | 1;
}

void Acquire(PKSPIN_LOCK SpinLock)
{
    ULONG_PTR self = CurrentOwnerTag();
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    if (word.load() == self) {
        sim::BugCheck("SPIN_LOCK_ALREADY_OWNED", "spin lock acquired again by its owner", SpinLock);
    }
    ULONG_PTR expected = 0;
    while (!word.compare_exchange_weak(expected, self, std::memory_order_acquire)) {
        expected = 0;
        std::this_thread::yield();
    }
}

void Release(PKSPIN_LOCK SpinLock)
{
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    if (word.load() != CurrentOwnerTag()) {
        sim::BugCheck("SPIN_LOCK_NOT_OWNED", "spin lock released by a thread that does not hold it", SpinLock);
    }
    word.store(0, std::memory_order_release);
}

void RequireDispatchLevel(const char* routine, PKSPIN_LOCK SpinLock)
{
    if (sim::CurrentIrql() != DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_DISPATCH_LEVEL", std::string(routine) + " called below DISPATCH_LEVEL", SpinLock);
    }
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    KIRQL old = sim::CurrentIrql();
    sim::SetIrql(DISPATCH_LEVEL);
    Acquire(SpinLock);
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    RequireDispatchLevel("KeReleaseSpinLock", SpinLock);
    if (NewIrql > DISPATCH_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeReleaseSpinLock to a level above DISPATCH_LEVEL", SpinLock);
    }
    Release(SpinLock);
    sim::SetIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatchLevel("KeAcquireSpinLockAtDpcLevel", SpinLock);
    Acquire(SpinLock);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatchLevel("KeReleaseSpinLockFromDpcLevel", SpinLock);
    Release(SpinLock);
}

}  // extern "C"
