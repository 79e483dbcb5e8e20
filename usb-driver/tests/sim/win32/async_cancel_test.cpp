// Cancellation by the sender: CancelIo cancels the calling thread's pending
// requests on one handle and returns at once; the end of an application
// thread cancels all of that thread's pending requests and waits for them.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "application_side.h"
#include "kernel/hooks.h"
#include "sim/support/held_requests.h"
#include "sim/support/overlapped_request.h"
#include "sim/support/win32_port.h"

namespace bulkcom_test {
namespace {

// Held with a cancel routine, and held with none: a driver that only looks
// at the Cancel flag now and then.
constexpr DWORD IoctlCancellable = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x830, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD IoctlUncancellable = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x831, METHOD_BUFFERED, FILE_ANY_ACCESS);

ULONG_PTR AsInternal(NTSTATUS status)
{
    return static_cast<ULONG_PTR>(static_cast<ULONG>(status));
}

class Win32CancelTest : public Win32PortTest {
protected:
    void SetUp() override
    {
        Win32PortTest::SetUp();
        On(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode == IoctlCancellable) {
                return held_.Hold(irp);
            }
            IoMarkIrpPending(irp);
            uncancellable_ = irp;
            return STATUS_PENDING;
        });
    }

    HeldRequests held_;
    std::atomic<PIRP> uncancellable_{nullptr};
};

TEST_F(Win32CancelTest, CancelIoCancelsOnlyTheCallingThreadsRequestsOnThatHandle)
{
    HANDLE first = OpenPort(true);
    HANDLE second = OpenPort(true);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    OverlappedRequest mine;
    OverlappedRequest otherHandle;
    ASSERT_TRUE(mine.Send(first, IoctlCancellable));
    ASSERT_TRUE(otherHandle.Send(second, IoctlCancellable));
    RequestFromAnotherThread otherThread(first, IoctlCancellable);

    EXPECT_TRUE(CancelIo(first));
    EXPECT_EQ(held_.Cancelled(), 1u);
    EXPECT_EQ(held_.Count(), 2u);
    EXPECT_EQ(mine.Internal, AsInternal(STATUS_CANCELLED));
    EXPECT_EQ(mine.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(otherHandle.Outcome(), DWORD{ERROR_IO_INCOMPLETE});
    EXPECT_EQ(otherThread.Outcome(), DWORD{ERROR_IO_INCOMPLETE});

    // The other thread's end takes its own request with it, and no other.
    otherThread.End();
    EXPECT_EQ(held_.Cancelled(), 2u);
    EXPECT_EQ(otherThread.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(otherHandle.Outcome(), DWORD{ERROR_IO_INCOMPLETE});

    CompleteWith(held_.Take(), STATUS_SUCCESS);
    EXPECT_EQ(otherHandle.Outcome(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));
}

TEST_F(Win32CancelTest, CancelIoOnlyAsksAndReturnsAtOnce)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OverlappedRequest request;
    ASSERT_TRUE(request.Send(port, IoctlUncancellable));
    EXPECT_TRUE(CancelIo(port));
    PIRP irp = uncancellable_;
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(request.Outcome(), DWORD{ERROR_IO_INCOMPLETE}) << "the driver has not completed it yet";

    // The driver notices the flag later.
    CompleteWith(irp, STATUS_CANCELLED);
    EXPECT_EQ(WaitForSingleObject(request.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(request.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32CancelTest, TheEndOfAThreadCancelsItsRequestsAndWaitsUntilTheyHaveCompleted)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OverlappedRequest cancellable;
    OverlappedRequest uncancellable;

    // The application thread either blocks in its end, as it should, or
    // gets past it.
    std::mutex lock;
    std::condition_variable changed;
    bool blocked = false;
    bool ended = false;
    std::atomic<std::thread::id> ending;
    sim::Hooks().waitBlocking = [&](PVOID) {
        if (std::this_thread::get_id() == ending.load()) {
            std::lock_guard guard(lock);
            blocked = true;
            changed.notify_all();
        }
    };
    std::thread application([&] {
        {
            sim::ApplicationThreadScope scope;
            EXPECT_TRUE(cancellable.Send(port, IoctlCancellable));
            EXPECT_TRUE(uncancellable.Send(port, IoctlUncancellable));
            ending = std::this_thread::get_id();
        }
        std::lock_guard guard(lock);
        ended = true;
        changed.notify_all();
    });
    {
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return blocked || ended; });
        EXPECT_FALSE(ended) << "the thread's end must wait for the request still pending";
    }

    EXPECT_EQ(held_.Cancelled(), 1u);
    EXPECT_EQ(cancellable.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    PIRP irp = uncancellable_;
    EXPECT_TRUE(irp->Cancel);
    CompleteWith(irp, STATUS_CANCELLED);
    application.join();
    sim::Hooks().waitBlocking = nullptr;
    EXPECT_EQ(uncancellable.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32CancelTest, AThreadWithNothingPendingEndsAtOnce)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OverlappedRequest request;
    std::thread application([&] {
        sim::ApplicationThreadScope scope;
        EXPECT_TRUE(request.Send(port, IoctlCancellable));
        CompleteWith(held_.Take(), STATUS_SUCCESS);
    });
    application.join();
    EXPECT_EQ(held_.Cancelled(), 0u);
    EXPECT_EQ(request.Outcome(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace bulkcom_test
