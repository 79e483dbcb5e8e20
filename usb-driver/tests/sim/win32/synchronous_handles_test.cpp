// A synchronous handle lets one call at a time have a request on its file:
// a call from another thread waits in the I/O manager, before its request
// is built, until the call in progress has completed, whatever the two
// calls are. An overlapped handle lets them through together. CancelIoEx
// ends the call in progress and the waiting call then goes on; CancelIo
// finds nothing of its caller's to cancel.

#include <functional>
#include <thread>

#include "application_side.h"
#include "sim/support/held_control_port.h"
#include "support/wait_watcher.h"

namespace bulkcom_test {
namespace {

constexpr DWORD IoctlHeld = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x850, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A call made on a thread of its own.
class ThreadedCall {
public:
    explicit ThreadedCall(std::function<DWORD()> call) : thread_([this, call = std::move(call)] { error_ = call(); }) {}
    ~ThreadedCall()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    ThreadedCall(const ThreadedCall&) = delete;
    ThreadedCall& operator=(const ThreadedCall&) = delete;

    std::thread::id Id() const { return thread_.get_id(); }

    // Waits for the call to return; its Win32 error, ERROR_SUCCESS when it
    // succeeded.
    DWORD Finish()
    {
        thread_.join();
        return error_;
    }

private:
    DWORD error_ = ERROR_GEN_FAILURE;
    std::thread thread_;
};

class Win32SynchronousHandlesTest : public Win32HeldControlTest {
protected:
    // A control request the driver holds, waited for as the handle's kind
    // asks; returns its Win32 error, ERROR_SUCCESS when it succeeds.
    static DWORD SendHeld(HANDLE port, bool overlapped)
    {
        OVERLAPPED request{};
        request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(port, IoctlHeld, nullptr, 0, nullptr, 0, &bytes, overlapped ? &request : nullptr);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(port, &request, &bytes, TRUE);
        }
        DWORD error = ok ? DWORD{ERROR_SUCCESS} : GetLastError();
        CloseHandle(request.hEvent);
        return error;
    }
};

TEST_F(Win32SynchronousHandlesTest, ACallFromAnotherThreadReachesTheDriverOnlyOnceTheCallInProgressCompleted)
{
    HANDLE port = OpenPort(false);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    WaitWatcher watcher;
    ThreadedCall first([port] { return SendHeld(port, false); });
    held_.WaitUntilHeld(1);
    ThreadedCall purge([port] { return PurgeComm(port, PURGE_RXCLEAR) ? DWORD{ERROR_SUCCESS} : GetLastError(); });

    // Its first wait is the one for the file object lock, before any request.
    watcher.WaitUntilThreadBlocked(purge.Id());
    EXPECT_EQ(CountOf(IRP_MJ_DEVICE_CONTROL), 1u) << "the purge waits in the I/O manager, not in the driver";
    CompleteWith(held_.Take(), STATUS_SUCCESS);
    EXPECT_EQ(first.Finish(), DWORD{ERROR_SUCCESS});
    held_.WaitUntilHeld(2);
    EXPECT_EQ(CountOf(IRP_MJ_DEVICE_CONTROL), 2u);
    CompleteWith(held_.Take(), STATUS_SUCCESS);
    EXPECT_EQ(purge.Finish(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32SynchronousHandlesTest, CallsOnAnOverlappedHandleReachTheDriverTogether)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::FileObjectLockOf(port), nullptr);
    ThreadedCall first([port] { return SendHeld(port, true); });
    held_.WaitUntilHeld(1);
    ThreadedCall second([port] { return SendHeld(port, true); });

    held_.WaitUntilHeld(2);
    EXPECT_EQ(CountOf(IRP_MJ_DEVICE_CONTROL), 2u);
    CompleteWith(held_.Take(), STATUS_SUCCESS);
    CompleteWith(held_.Take(), STATUS_SUCCESS);
    EXPECT_EQ(first.Finish(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(second.Finish(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32SynchronousHandlesTest, CancelIoExEndsTheCallInProgressAndTheWaitingCallGoesOn)
{
    HANDLE port = OpenPort(false);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    WaitWatcher watcher;
    ThreadedCall first([port] { return SendHeld(port, false); });
    held_.WaitUntilHeld(1);
    ThreadedCall second([port] { return SendHeld(port, false); });
    watcher.WaitUntilThreadBlocked(second.Id());

    EXPECT_TRUE(CancelIo(port));
    EXPECT_EQ(held_.Cancelled(), 0u) << "CancelIo cancels only its caller's requests";
    EXPECT_TRUE(CancelIoEx(port, nullptr));
    EXPECT_EQ(first.Finish(), DWORD{ERROR_OPERATION_ABORTED});
    held_.WaitUntilHeld(2);
    EXPECT_EQ(held_.Cancelled(), 1u) << "the waiting call had no request yet";
    CompleteWith(held_.Take(), STATUS_SUCCESS);
    EXPECT_EQ(second.Finish(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace bulkcom_test
