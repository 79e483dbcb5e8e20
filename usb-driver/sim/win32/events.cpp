// CreateEvent, SetEvent, ResetEvent and WaitForSingleObject. Win32 waits are
// kernel waits, so the kernel's wait hooks see them too.

#include <memory>

#include "events.h"
#include "kernel/bugcheck.h"
#include "last_error.h"

namespace sim {

namespace {

HANDLE CreateEventObject(BOOL manualReset, BOOL initialState, bool named)
{
    if (named) {
        BugCheck("SIMULATION_LIMIT", "named events are not simulated");
    }
    auto object = std::make_shared<EventObject>();
    KeInitializeEvent(&object->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    return InsertHandle(std::move(object));
}

}  // namespace

}  // namespace sim

using namespace sim;

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName)
{
    (void)lpEventAttributes;
    return CreateEventObject(bManualReset, bInitialState, lpName != nullptr);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    (void)lpEventAttributes;
    return CreateEventObject(bManualReset, bInitialState, lpName != nullptr);
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    std::shared_ptr<EventObject> object = LookupHandleAs<EventObject>(hEvent);
    if (object == nullptr) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    KeSetEvent(&object->event, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    std::shared_ptr<EventObject> object = LookupHandleAs<EventObject>(hEvent);
    if (object == nullptr) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    KeClearEvent(&object->event);
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    // Held for the wait, so that closing the handle meanwhile is harmless.
    std::shared_ptr<HandleObject> object = LookupHandle(hHandle);
    if (object == nullptr) {
        FailWithError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10'000LL * dwMilliseconds;
    NTSTATUS status = KeWaitForSingleObject(object->WaitableEvent(), UserRequest, UserMode, FALSE,
                                            dwMilliseconds == INFINITE ? nullptr : &timeout);
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

}  // extern "C"
