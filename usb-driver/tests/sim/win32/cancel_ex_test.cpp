// CancelIoEx cancels one request by its OVERLAPPED, or every request of a
// handle whichever thread issued it, and fails with ERROR_NOT_FOUND when
// nothing matches. Whoever cancels, the I/O manager calls IoCancelIrp at
// APC_LEVEL, where a cancel routine goes on after releasing the cancel spin
// lock.

#include <thread>

#include "application_side.h"
#include "sim/support/held_control_port.h"
#include "sim/support/overlapped_request.h"

namespace bulkcom_test {
namespace {

constexpr DWORD IoctlHeld = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x832, METHOD_BUFFERED, FILE_ANY_ACCESS);

using Win32CancelExTest = Win32HeldControlTest;

TEST_F(Win32CancelExTest, CancelsOneRequestByItsOverlapped)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OverlappedRequest first;
    OverlappedRequest second;
    ASSERT_TRUE(first.Send(port, IoctlHeld));
    ASSERT_TRUE(second.Send(port, IoctlHeld));

    EXPECT_TRUE(CancelIoEx(port, &second));
    EXPECT_EQ(held_.Cancelled(), 1u);
    EXPECT_EQ(second.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(first.Outcome(), DWORD{ERROR_IO_INCOMPLETE});

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CancelIoEx(port, &second)) << "that request has completed";
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_FOUND});

    CompleteWith(held_.Take(), STATUS_SUCCESS);
    EXPECT_EQ(first.Outcome(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32CancelExTest, CancelsEveryRequestOfTheHandleWhicheverThreadIssuedIt)
{
    HANDLE port = OpenPort(true);
    HANDLE other = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    OverlappedRequest mine;
    OverlappedRequest otherHandle;
    ASSERT_TRUE(mine.Send(port, IoctlHeld));
    ASSERT_TRUE(otherHandle.Send(other, IoctlHeld));
    RequestFromAnotherThread otherThread(port, IoctlHeld);

    EXPECT_TRUE(CancelIoEx(port, nullptr));
    EXPECT_EQ(held_.Cancelled(), 2u);
    EXPECT_EQ(mine.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(otherThread.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(otherHandle.Outcome(), DWORD{ERROR_IO_INCOMPLETE});
    otherThread.End();

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CancelIoEx(port, nullptr)) << "nothing is pending on the handle";
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_FOUND});
    EXPECT_FALSE(CancelIoEx(other, &mine)) << "the OVERLAPPED belongs to another handle's request";
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_FOUND});

    CompleteWith(held_.Take(), STATUS_SUCCESS);
    EXPECT_EQ(otherHandle.Outcome(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(CloseHandle(other));
    EXPECT_FALSE(CancelIoEx(port, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(Win32CancelExTest, CancelRoutinesGoOnAtApcLevelWhoeverCancels)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OverlappedRequest byCancelIo;
    ASSERT_TRUE(byCancelIo.Send(port, IoctlHeld));
    EXPECT_TRUE(CancelIo(port));
    EXPECT_EQ(held_.CancelRoutineIrql(), KIRQL{APC_LEVEL});

    OverlappedRequest byCancelIoEx;
    ASSERT_TRUE(byCancelIoEx.Send(port, IoctlHeld));
    EXPECT_TRUE(CancelIoEx(port, &byCancelIoEx));
    EXPECT_EQ(held_.CancelRoutineIrql(), KIRQL{APC_LEVEL});

    OverlappedRequest byThreadEnd;
    std::thread application([&] {
        sim::ApplicationThreadScope scope;
        EXPECT_TRUE(byThreadEnd.Send(port, IoctlHeld));
    });
    application.join();
    EXPECT_EQ(held_.CancelRoutineIrql(), KIRQL{APC_LEVEL});
    EXPECT_EQ(held_.Cancelled(), 3u);
    EXPECT_EQ(KeGetCurrentIrql(), KIRQL{PASSIVE_LEVEL});
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace bulkcom_test
