// Events, semaphores and waits on the real monotonic clock. One lock and one
// condition variable stand for the kernel's dispatcher lock: every signal
// wakes all waiters, each of which re-tests its own object.

#include "dispatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "bugcheck.h"
#include "hooks.h"
#include "irql.h"

namespace sim {

namespace {

constexpr UCHAR EventNotificationObject = 0;
constexpr UCHAR EventSynchronizationObject = 1;
constexpr UCHAR SemaphoreObject = 5;

std::mutex dispatcherLock;
std::condition_variable dispatcherSignalled;
std::atomic<unsigned long> timedOutWaits{0};

DISPATCHER_HEADER* ValidHeader(PVOID object, const char* routine)
{
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    if (header == nullptr) {
        BugCheck("INVALID_DISPATCHER_OBJECT", std::string(routine) + " given a null object");
    }
    bool known = (header->Type == EventNotificationObject && header->Size == sizeof(KEVENT) / sizeof(LONG)) ||
                 (header->Type == EventSynchronizationObject && header->Size == sizeof(KEVENT) / sizeof(LONG)) ||
                 (header->Type == SemaphoreObject && header->Size == sizeof(KSEMAPHORE) / sizeof(LONG));
    if (!known) {
        BugCheck("INVALID_DISPATCHER_OBJECT", std::string(routine) + " given an object that was never initialised",
                 object);
    }
    return header;
}

// Called with the dispatcher lock held: takes the object if it is signalled.
bool TrySatisfy(DISPATCHER_HEADER* header)
{
    if (header->SignalState <= 0) {
        return false;
    }
    if (header->Type == EventSynchronizationObject) {
        header->SignalState = 0;
    } else if (header->Type == SemaphoreObject) {
        header->SignalState = header->SignalState - 1;
    }
    return true;
}

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, UCHAR size, LONG state)
{
    std::lock_guard lock(dispatcherLock);
    header->Type = type;
    header->Absolute = 0;
    header->Size = size;
    header->Inserted = 0;
    header->SignalState = state;
    header->WaitListHead.Flink = &header->WaitListHead;
    header->WaitListHead.Blink = &header->WaitListHead;
}

// Called with the dispatcher lock held: takes the first signalled object.
bool TrySatisfyAny(DISPATCHER_HEADER* const* headers, ULONG count, ULONG* index)
{
    for (ULONG i = 0; i < count; i++) {
        if (TrySatisfy(headers[i])) {
            *index = i;
            return true;
        }
    }
    return false;
}

NTSTATUS WaitForAny(PVOID* objects, ULONG count, PLARGE_INTEGER timeout, const char* routine)
{
    KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && (timeout == nullptr || timeout->QuadPart != 0))) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL",
                 std::string(routine) + " that may block, called at IRQL " + std::to_string(irql), objects[0]);
    }
    std::vector<DISPATCHER_HEADER*> headers;
    for (ULONG i = 0; i < count; i++) {
        headers.push_back(ValidHeader(objects[i], routine));
    }
    if (timeout != nullptr && timeout->QuadPart > 0) {
        BugCheck("SIMULATION_LIMIT", "absolute wait times are not simulated; use a relative (negative) time",
                 objects[0]);
    }

    ULONG index = 0;
    auto satisfied = [&] { return TrySatisfyAny(headers.data(), count, &index); };
    std::unique_lock lock(dispatcherLock);
    if (satisfied()) {
        return STATUS_WAIT_0 + static_cast<NTSTATUS>(index);
    }
    if (Hooks().waitBlocking && (timeout == nullptr || timeout->QuadPart != 0)) {
        lock.unlock();
        Hooks().waitBlocking(objects[0]);
        lock.lock();
        if (satisfied()) {
            return STATUS_WAIT_0 + static_cast<NTSTATUS>(index);
        }
    }
    if (timeout == nullptr) {
        dispatcherSignalled.wait(lock, satisfied);
        return STATUS_WAIT_0 + static_cast<NTSTATUS>(index);
    }
    if (timeout->QuadPart == 0) {
        return STATUS_TIMEOUT;
    }

    // A year is as good as forever here, and keeps the clock arithmetic in range.
    constexpr LONGLONG longestSimulatedWait = 365LL * 24 * 3600 * 10'000'000;
    LONGLONG relative = -timeout->QuadPart;
    if (Hooks().timedWaitStarted) {
        lock.unlock();
        Hooks().timedWaitStarted(objects[0], relative);
        lock.lock();
        if (satisfied()) {
            return STATUS_WAIT_0 + static_cast<NTSTATUS>(index);
        }
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::nanoseconds(std::min(relative, longestSimulatedWait)) * 100;
    if (dispatcherSignalled.wait_until(lock, deadline, satisfied)) {
        return STATUS_WAIT_0 + static_cast<NTSTATUS>(index);
    }
    lock.unlock();
    timedOutWaits++;
    if (Hooks().timedWaitExpired) {
        Hooks().timedWaitExpired(objects[0]);
    }
    return STATUS_TIMEOUT;
}

}  // namespace

unsigned long TimedOutWaitCount()
{
    return timedOutWaits.load();
}

void ResetDispatcher()
{
    timedOutWaits = 0;
}

}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    InitializeHeader(&Event->Header, Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                     sizeof(KEVENT) / sizeof(LONG), State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    DISPATCHER_HEADER* header = ValidHeader(Event, "KeSetEvent");
    LONG previous;
    {
        std::lock_guard lock(dispatcherLock);
        previous = header->SignalState;
        header->SignalState = 1;
    }
    dispatcherSignalled.notify_all();
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    DISPATCHER_HEADER* header = ValidHeader(Event, "KeResetEvent");
    std::lock_guard lock(dispatcherLock);
    LONG previous = header->SignalState;
    header->SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    KeResetEvent(Event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    DISPATCHER_HEADER* header = ValidHeader(Event, "KeReadStateEvent");
    std::lock_guard lock(dispatcherLock);
    return header->SignalState;
}

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    if (Count < 0 || Limit <= 0 || Count > Limit) {
        BugCheck("INVALID_PARAMETER", "KeInitializeSemaphore with a count outside 0..limit", Semaphore);
    }
    InitializeHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE) / sizeof(LONG), Count);
    Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
    DISPATCHER_HEADER* header = ValidHeader(Semaphore, "KeReleaseSemaphore");
    if (header->Type != SemaphoreObject) {
        BugCheck("INVALID_DISPATCHER_OBJECT", "KeReleaseSemaphore given an event", Semaphore);
    }
    LONG previous;
    {
        std::lock_guard lock(dispatcherLock);
        previous = header->SignalState;
        if (Adjustment <= 0 || previous + Adjustment > Semaphore->Limit) {
            BugCheck("SEMAPHORE_LIMIT_EXCEEDED",
                     "KeReleaseSemaphore would raise the count to " + std::to_string(previous + Adjustment) +
                         " above its limit " + std::to_string(Semaphore->Limit),
                     Semaphore);
        }
        header->SignalState = previous + Adjustment;
    }
    dispatcherSignalled.notify_all();
    return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    DISPATCHER_HEADER* header = ValidHeader(Semaphore, "KeReadStateSemaphore");
    std::lock_guard lock(dispatcherLock);
    return header->SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    return WaitForAny(&Object, 1, Timeout, "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (Count == 0 || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        BugCheck("MAXIMUM_WAIT_OBJECTS_EXCEEDED", "KeWaitForMultipleObjects with more objects than the thread's own "
                                                  "wait blocks and no wait block array");
    }
    if (WaitType != WaitAny) {
        BugCheck("SIMULATION_LIMIT", "only WaitAny waits on several objects are simulated");
    }
    return WaitForAny(Object, Count, Timeout, "KeWaitForMultipleObjects");
}

}  // extern "C"
