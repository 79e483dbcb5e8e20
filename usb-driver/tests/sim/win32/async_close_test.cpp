// Closing a file while requests are pending on it: CloseHandle sends the
// cleanup at once and never blocks; the close follows the last completion,
// sent at PASSIVE_LEVEL by the system's worker thread. And FlushFileBuffers.

#include <thread>

#include "application_side.h"
#include "kernel/irql.h"
#include "sim/support/driver_thread.h"
#include "sim/support/held_control_port.h"

namespace bulkcom_test {
namespace {

constexpr DWORD IoctlHeld = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x840, METHOD_BUFFERED, FILE_ANY_ACCESS);

class Win32CloseTest : public Win32HeldControlTest {
protected:
    void SetUp() override
    {
        Win32HeldControlTest::SetUp();
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event_, nullptr);
    }

    void TearDown() override
    {
        EXPECT_TRUE(CloseHandle(event_));
        Win32HeldControlTest::TearDown();
    }

    void SendHeld(HANDLE port, OVERLAPPED& overlapped)
    {
        overlapped.hEvent = event_;
        DWORD bytes = 0;
        EXPECT_FALSE(DeviceIoControl(port, IoctlHeld, nullptr, 0, nullptr, 0, &bytes, &overlapped));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    }

    // Completes the oldest held request on a thread of its own at
    // DISPATCH_LEVEL, as a bus driver's completion would; returns that
    // thread's id.
    std::thread::id CompleteOnBusThread()
    {
        std::thread bus([this] {
            sim::ScopedIrql dpc(DISPATCH_LEVEL);
            CompleteWith(held_.Take(), STATUS_SUCCESS);
        });
        std::thread::id id = bus.get_id();
        bus.join();
        return id;
    }

    HANDLE event_ = nullptr;
};

TEST_F(Win32CloseTest, CloseHandleReturnsAtOnceAndTheCloseFollowsTheLastCompletion)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    SendHeld(port, overlapped);

    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP}));
    EXPECT_EQ(sim::OpenApplicationHandles(), 1u) << "only the event";

    std::thread::id bus = CompleteOnBusThread();
    sim::WaitForDeferredCloses();
    std::vector<Arrival> arrivals = Arrivals();
    ASSERT_EQ(arrivals.size(), 4u);
    const Arrival& close = arrivals.back();
    EXPECT_EQ(close.major, IRP_MJ_CLOSE);
    EXPECT_EQ(close.irql, PASSIVE_LEVEL);
    EXPECT_NE(close.thread, bus) << "not from the completing thread";
    EXPECT_NE(close.thread, std::this_thread::get_id()) << "not from the application";
    EXPECT_EQ(close.file, arrivals.front().file);

    // The caller still learns of the completion through its OVERLAPPED.
    EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_OBJECT_0);
    DWORD bytes = 1;
    EXPECT_TRUE(GetOverlappedResult(nullptr, &overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, 0u);
}

TEST_F(Win32CloseTest, TheCloseWaitsForEveryPendingRequest)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED first{};
    OVERLAPPED second{};
    SendHeld(port, first);
    SendHeld(port, second);
    EXPECT_TRUE(CloseHandle(port));

    CompleteOnBusThread();
    sim::WaitForDeferredCloses();
    EXPECT_EQ(CountOf(IRP_MJ_CLOSE), 0u) << "one request still holds the file";
    CompleteOnBusThread();
    sim::WaitForDeferredCloses();
    EXPECT_EQ(CountOf(IRP_MJ_CLOSE), 1u);
}

TEST_F(Win32CloseTest, ACleanupThatCompletesThePendingRequestsLetsCloseHandleSendTheClose)
{
    On(IRP_MJ_CLEANUP, [this](PDEVICE_OBJECT, PIRP irp) {
        while (PIRP pending = held_.Take()) {
            CompleteWith(pending, STATUS_CANCELLED);
        }
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    SendHeld(port, overlapped);

    EXPECT_TRUE(CloseHandle(port));
    std::vector<Arrival> arrivals = Arrivals();
    ASSERT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(arrivals.back().thread, std::this_thread::get_id()) << "nothing held the file: CloseHandle sent it";
    EXPECT_EQ(overlapped.Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_CANCELLED)));
}

TEST_F(Win32CloseTest, AThreadThatClosedItsHandleAndEndsLetsTheCloseFollowItsCancelledRequest)
{
    OVERLAPPED overlapped{};
    std::thread application([&] {
        sim::ApplicationThreadScope scope;
        HANDLE port = OpenPort(true);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        SendHeld(port, overlapped);
        EXPECT_TRUE(CloseHandle(port));
        EXPECT_EQ(CountOf(IRP_MJ_CLOSE), 0u);
    });
    std::thread::id ended = application.get_id();
    application.join();
    EXPECT_EQ(held_.Cancelled(), 1u);
    sim::WaitForDeferredCloses();
    std::vector<Arrival> arrivals = Arrivals();
    ASSERT_EQ(arrivals.back().major, IRP_MJ_CLOSE);
    EXPECT_NE(arrivals.back().thread, ended);
    EXPECT_EQ(arrivals.back().irql, PASSIVE_LEVEL);
}

TEST_F(Win32CloseTest, FlushFileBuffersSendsAFlushAndFailsWhenTheDriverRefusesIt)
{
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(FlushFileBuffers(port)) << "a driver without a flush handler refuses it";
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_FUNCTION});

    // On an overlapped handle too the call waits for a pending flush.
    On(IRP_MJ_FLUSH_BUFFERS, [this](PDEVICE_OBJECT, PIRP irp) { return held_.Hold(irp); });
    DriverThread driver(held_, [this] { CompleteWith(held_.Take(), STATUS_SUCCESS); });
    EXPECT_TRUE(FlushFileBuffers(port));
    driver.Join();
    std::vector<Arrival> arrivals = Arrivals();
    ASSERT_EQ(arrivals.back().major, IRP_MJ_FLUSH_BUFFERS);
    EXPECT_EQ(arrivals.back().file, arrivals.front().file);

    On(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_DEVICE_BUSY); });
    EXPECT_FALSE(FlushFileBuffers(port));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BUSY});
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace bulkcom_test
