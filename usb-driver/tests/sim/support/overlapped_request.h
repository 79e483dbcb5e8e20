// OVERLAPPEDs with an event of their own, and control requests sent with
// them, for tests that keep several pending at once and cancel them.
#pragma once

#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "application_side.h"
#include "win32_api.h"

namespace bulkcom_test {

// An OVERLAPPED with a manual-reset event of its own, not signalled at first.
struct OverlappedWithEvent : OVERLAPPED {
    OverlappedWithEvent() : OVERLAPPED{} { hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~OverlappedWithEvent() { EXPECT_TRUE(CloseHandle(hEvent)); }
    OverlappedWithEvent(const OverlappedWithEvent&) = delete;
    OverlappedWithEvent& operator=(const OverlappedWithEvent&) = delete;
};

struct OverlappedRequest : OverlappedWithEvent {
    // Sends the request; true when it was left pending.
    bool Send(HANDLE port, DWORD code)
    {
        DWORD bytes = 0;
        return !DeviceIoControl(port, code, nullptr, 0, nullptr, 0, &bytes, this) && GetLastError() == ERROR_IO_PENDING;
    }

    // GetOverlappedResult without waiting: its result and last error.
    DWORD Outcome()
    {
        DWORD bytes = 0;
        return GetOverlappedResult(nullptr, this, &bytes, FALSE) ? DWORD{ERROR_SUCCESS} : GetLastError();
    }
};

// A request sent by an application thread of its own, which stays alive
// until End: the end of the thread cancels what it left pending.
class RequestFromAnotherThread : public OverlappedRequest {
public:
    RequestFromAnotherThread(HANDLE port, DWORD code)
        : thread_([this, port, code] {
              sim::ApplicationThreadScope scope;
              EXPECT_TRUE(Send(port, code));
              sent_.set_value();
              end_.get_future().wait();
          })
    {
        sent_.get_future().wait();
    }

    ~RequestFromAnotherThread()
    {
        if (thread_.joinable()) {
            End();
        }
    }

    void End()
    {
        end_.set_value();
        thread_.join();
    }

private:
    std::promise<void> sent_;
    std::promise<void> end_;
    std::thread thread_;
};

}  // namespace bulkcom_test
