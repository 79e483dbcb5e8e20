// CancelIoEx cancels one request by its OVERLAPPED, or every request of a
// handle whichever thread issued it, and fails with ERROR_NOT_FOUND when
// nothing matches. Whoever cancels, the I/O manager calls IoCancelIrp at
// APC_LEVEL, where a cancel routine goes on after releasing the cancel spin
// lock.

#include <future>
#include <thread>

#include "application_side.h"
#include "sim/support/held_requests.h"
#include "sim/support/win32_port.h"

namespace bulkcom_test {
namespace {

constexpr DWORD IoctlHeld = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x832, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Overlapped {
    Overlapped() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(overlapped.hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    bool Send(HANDLE port)
    {
        DWORD bytes = 0;
        return !DeviceIoControl(port, IoctlHeld, nullptr, 0, nullptr, 0, &bytes, &overlapped) &&
               GetLastError() == ERROR_IO_PENDING;
    }

    DWORD Outcome()
    {
        DWORD bytes = 0;
        return GetOverlappedResult(nullptr, &overlapped, &bytes, FALSE) ? DWORD{ERROR_SUCCESS} : GetLastError();
    }

    OVERLAPPED overlapped{};
};

class Win32CancelExTest : public Win32PortTest {
protected:
    void SetUp() override
    {
        Win32PortTest::SetUp();
        On(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) { return held_.Hold(irp); });
    }

    HeldRequests held_;
};

TEST_F(Win32CancelExTest, CancelsOneRequestByItsOverlapped)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Overlapped first;
    Overlapped second;
    ASSERT_TRUE(first.Send(port));
    ASSERT_TRUE(second.Send(port));

    EXPECT_TRUE(CancelIoEx(port, &second.overlapped));
    EXPECT_EQ(held_.Cancelled(), 1u);
    EXPECT_EQ(second.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(first.Outcome(), DWORD{ERROR_IO_INCOMPLETE});

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CancelIoEx(port, &second.overlapped)) << "that request has completed";
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
    Overlapped mine;
    Overlapped otherThread;
    Overlapped otherHandle;
    ASSERT_TRUE(mine.Send(port));
    ASSERT_TRUE(otherHandle.Send(other));
    std::promise<void> sent;
    std::promise<void> end;
    std::thread application([&] {
        sim::ApplicationThreadScope scope;
        EXPECT_TRUE(otherThread.Send(port));
        sent.set_value();
        end.get_future().wait();
    });
    sent.get_future().wait();

    EXPECT_TRUE(CancelIoEx(port, nullptr));
    EXPECT_EQ(held_.Cancelled(), 2u);
    EXPECT_EQ(mine.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(otherThread.Outcome(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(otherHandle.Outcome(), DWORD{ERROR_IO_INCOMPLETE});
    end.set_value();
    application.join();

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CancelIoEx(port, nullptr)) << "nothing is pending on the handle";
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_FOUND});
    EXPECT_FALSE(CancelIoEx(other, &mine.overlapped)) << "the OVERLAPPED belongs to another handle's request";
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
    Overlapped byCancelIo;
    ASSERT_TRUE(byCancelIo.Send(port));
    EXPECT_TRUE(CancelIo(port));
    EXPECT_EQ(held_.CancelRoutineIrql(), KIRQL{APC_LEVEL});

    Overlapped byCancelIoEx;
    ASSERT_TRUE(byCancelIoEx.Send(port));
    EXPECT_TRUE(CancelIoEx(port, &byCancelIoEx.overlapped));
    EXPECT_EQ(held_.CancelRoutineIrql(), KIRQL{APC_LEVEL});

    Overlapped byThreadEnd;
    std::thread application([&] {
        sim::ApplicationThreadScope scope;
        EXPECT_TRUE(byThreadEnd.Send(port));
    });
    application.join();
    EXPECT_EQ(held_.CancelRoutineIrql(), KIRQL{APC_LEVEL});
    EXPECT_EQ(held_.Cancelled(), 3u);
    EXPECT_EQ(KeGetCurrentIrql(), KIRQL{PASSIVE_LEVEL});
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace bulkcom_test
