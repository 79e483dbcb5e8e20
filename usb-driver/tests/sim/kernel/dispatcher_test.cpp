// Events, semaphores and KeWaitForSingleObject, as Windows documents them.

#include <thread>

#include "kernel/dispatcher.h"
#include "kernel/hooks.h"
#include "kernel/irql.h"
#include "support/sim_test.h"
#include "support/wait_watcher.h"

namespace bulkcom_test {
namespace {

class DispatcherTest : public SimTest {};

constexpr LONGLONG TwentyMilliseconds = 20 * 10'000;

// A relative wait: Windows takes relative times as negative 100 ns counts.
NTSTATUS WaitAtMost(PVOID object, LONGLONG hundredsOfNanoseconds)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -hundredsOfNanoseconds;
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

NTSTATUS Poll(PVOID object)
{
    return WaitAtMost(object, 0);
}

NTSTATUS WaitForever(PVOID object)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(DispatcherTest, NotificationEventStaysSignalledForEveryWaitUntilReset)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);

    // KeSetEvent and KeResetEvent return the state before the call.
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_NE(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
    EXPECT_EQ(WaitForever(&event), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&event), 0);

    EXPECT_NE(KeResetEvent(&event), 0);
    EXPECT_EQ(KeResetEvent(&event), 0);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, SynchronizationEventSatisfiesOneWaitAndResetsItself)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);

    // Setting it twice does not store two signals.
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitForever(&event), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, SemaphoreCountsReleasesUpToItsLimitAndEachWaitTakesOne)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 1, 3);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);
    EXPECT_EQ(Poll(&semaphore), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&semaphore), STATUS_TIMEOUT);

    // KeReleaseSemaphore returns the count before the release; reaching the
    // limit exactly is allowed.
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 2, FALSE), 0);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 1, FALSE), 2);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
    for (int taken = 0; taken < 3; taken++) {
        EXPECT_EQ(Poll(&semaphore), STATUS_SUCCESS);
    }
    EXPECT_EQ(Poll(&semaphore), STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

TEST_F(DispatcherTest, ShortRelativeTimeoutExpiresAndTheHooksSeeIt)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    PVOID started = nullptr;
    LONGLONG relative = 0;
    PVOID expired = nullptr;
    sim::Hooks().timedWaitStarted = [&](PVOID object, LONGLONG timeout) {
        started = object;
        relative = timeout;
    };
    sim::Hooks().timedWaitExpired = [&](PVOID object) { expired = object; };

    EXPECT_EQ(WaitAtMost(&event, TwentyMilliseconds), STATUS_TIMEOUT);
    EXPECT_EQ(started, &event);
    EXPECT_EQ(relative, TwentyMilliseconds);
    EXPECT_EQ(expired, &event);
    EXPECT_EQ(sim::TimedOutWaitCount(), 1u);
}

TEST_F(DispatcherTest, ZeroTimeoutPollsWithoutBlockingEvenAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int timedWaits = 0;
    sim::Hooks().timedWaitStarted = [&](PVOID, LONGLONG) { timedWaits++; };
    sim::Hooks().timedWaitExpired = [&](PVOID) { timedWaits++; };

    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
    {
        sim::ScopedIrql dpc(DISPATCH_LEVEL);
        EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
    }
    EXPECT_EQ(timedWaits, 0);
}

TEST_F(DispatcherTest, SignalRacingATimedWaitIsNeitherLostNorCountedTwice)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);

    // Set as the wait begins: the wait takes it.
    sim::Hooks().timedWaitStarted = [&](PVOID, LONGLONG) { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); };
    EXPECT_EQ(WaitAtMost(&event, TwentyMilliseconds), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);

    // Set just after the wait ran out: the wait still times out and the
    // signal stays for the next one.
    sim::Hooks().timedWaitStarted = nullptr;
    sim::Hooks().timedWaitExpired = [&](PVOID) { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); };
    EXPECT_EQ(WaitAtMost(&event, TwentyMilliseconds), STATUS_TIMEOUT);
    EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
}

TEST_F(DispatcherTest, BlockedWaitersAreReleasedByAnotherThread)
{
    WaitWatcher watcher;

    // One set of a notification event releases every waiter.
    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    NTSTATUS first = STATUS_PENDING;
    NTSTATUS second = STATUS_PENDING;
    std::thread firstWaiter([&] { first = WaitForever(&notification); });
    std::thread secondWaiter([&] { second = WaitForever(&notification); });
    watcher.WaitUntilBlockedOn(&notification, 2);
    KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
    firstWaiter.join();
    secondWaiter.join();
    EXPECT_EQ(first, STATUS_SUCCESS);
    EXPECT_EQ(second, STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&notification), 0);

    // A timed waiter released by a semaphore, long before its limit, takes
    // the count it was given.
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 1);
    NTSTATUS timed = STATUS_PENDING;
    std::thread timedWaiter([&] { timed = WaitAtMost(&semaphore, 600LL * 10'000'000); });
    watcher.WaitUntilBlockedOn(&semaphore);
    KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 1, FALSE);
    timedWaiter.join();
    EXPECT_EQ(timed, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

}  // namespace
}  // namespace bulkcom_test
