// A synchronous handle lets one call at a time have a request on its file:
// a call from another thread waits in the I/O manager, before its request
// is built, until the call in progress has completed, whatever the two
// calls are. An overlapped handle lets them through together. CancelIoEx
// ends the call in progress and the waiting call then goes on; CancelIo
// finds nothing of its caller's to cancel.

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "application_side.h"
#include "sim/support/held_requests.h"
#include "sim/support/win32_port.h"
#include "support/wait_watcher.h"

namespace bulkcom_test {
namespace {

constexpr DWORD IoctlHeld = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x850, METHOD_BUFFERED, FILE_ANY_ACCESS);

class Win32SynchronousHandlesTest : public Win32PortTest {
protected:
    void SetUp() override
    {
        Win32PortTest::SetUp();
        On(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) { return held_.Hold(irp); });
    }

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

    // Runs the call in a thread of its own; what it returns lands in `error`.
    static std::thread InThread(std::function<DWORD()> call, std::atomic<DWORD>& error)
    {
        return std::thread([call = std::move(call), &error] { error = call(); });
    }

    size_t ControlRequestsArrived()
    {
        std::vector<UCHAR> majors = Majors();
        return static_cast<size_t>(std::count(majors.begin(), majors.end(), UCHAR{IRP_MJ_DEVICE_CONTROL}));
    }

    HeldRequests held_;
};

TEST_F(Win32SynchronousHandlesTest, ACallFromAnotherThreadReachesTheDriverOnlyOnceTheCallInProgressCompleted)
{
    HANDLE port = OpenPort(false);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    WaitWatcher watcher;
    std::atomic<DWORD> firstError{ERROR_GEN_FAILURE};
    std::atomic<DWORD> purgeError{ERROR_GEN_FAILURE};
    std::thread first = InThread([port] { return SendHeld(port, false); }, firstError);
    held_.WaitUntilHeld(1);
    std::thread purge =
        InThread([port] { return PurgeComm(port, PURGE_RXCLEAR) ? DWORD{ERROR_SUCCESS} : GetLastError(); }, purgeError);

    // Its first wait is the one for the file object lock, before any request.
    watcher.WaitUntilThreadBlocked(purge.get_id());
    EXPECT_EQ(ControlRequestsArrived(), 1u) << "the purge waits in the I/O manager, not in the driver";
    CompleteWith(held_.Take(), STATUS_SUCCESS);
    first.join();
    held_.WaitUntilHeld(2);
    EXPECT_EQ(ControlRequestsArrived(), 2u);
    CompleteWith(held_.Take(), STATUS_SUCCESS);
    purge.join();
    EXPECT_EQ(firstError.load(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(purgeError.load(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32SynchronousHandlesTest, CallsOnAnOverlappedHandleReachTheDriverTogether)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::FileObjectLockOf(port), nullptr);
    std::atomic<DWORD> firstError{ERROR_GEN_FAILURE};
    std::atomic<DWORD> secondError{ERROR_GEN_FAILURE};
    std::thread first = InThread([port] { return SendHeld(port, true); }, firstError);
    held_.WaitUntilHeld(1);
    std::thread second = InThread([port] { return SendHeld(port, true); }, secondError);

    held_.WaitUntilHeld(2);
    EXPECT_EQ(ControlRequestsArrived(), 2u);
    CompleteWith(held_.Take(), STATUS_SUCCESS);
    CompleteWith(held_.Take(), STATUS_SUCCESS);
    first.join();
    second.join();
    EXPECT_EQ(firstError.load(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(secondError.load(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32SynchronousHandlesTest, CancelIoExEndsTheCallInProgressAndTheWaitingCallGoesOn)
{
    HANDLE port = OpenPort(false);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    WaitWatcher watcher;
    std::atomic<DWORD> firstError{ERROR_GEN_FAILURE};
    std::atomic<DWORD> secondError{ERROR_GEN_FAILURE};
    std::thread first = InThread([port] { return SendHeld(port, false); }, firstError);
    held_.WaitUntilHeld(1);
    std::thread second = InThread([port] { return SendHeld(port, false); }, secondError);
    watcher.WaitUntilThreadBlocked(second.get_id());

    EXPECT_TRUE(CancelIo(port));
    EXPECT_EQ(held_.Cancelled(), 0u) << "CancelIo cancels only its caller's requests";
    EXPECT_TRUE(CancelIoEx(port, nullptr));
    first.join();
    EXPECT_EQ(firstError.load(), DWORD{ERROR_OPERATION_ABORTED});
    held_.WaitUntilHeld(2);
    EXPECT_EQ(held_.Cancelled(), 1u) << "the waiting call had no request yet";
    CompleteWith(held_.Take(), STATUS_SUCCESS);
    second.join();
    EXPECT_EQ(secondError.load(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace bulkcom_test
