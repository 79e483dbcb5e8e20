// SetCommMask, GetCommMask and WaitCommEvent: the wait mask in four bytes
// each way, and the wait on it, which carries no input and has the
// caller's own mask as its four-byte output, synchronous or overlapped.

#include "sim/support/driver_thread.h"
#include "sim/support/held_requests.h"
#include "sim/support/win32_comm_port.h"

namespace bulkcom_test {
namespace {

class Win32CommEventsTest : public Win32CommTest {
protected:
    // Wait-on-mask requests are held; everything else is answered as usual.
    void HoldWaits()
    {
        On(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
            const auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
            waits_.push_back(
                {parameters.IoControlCode, parameters.InputBufferLength, parameters.OutputBufferLength, {}});
            return held_.Hold(irp);
        });
    }

    // The driver reports events: the mask in the system buffer, 4 bytes.
    static void Report(PIRP irp, ULONG events)
    {
        *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = events;
        CompleteWith(irp, STATUS_SUCCESS, sizeof events);
    }

    HeldRequests held_;
    std::vector<ControlRequest> waits_;
};

TEST_F(Win32CommEventsTest, SetCommMaskAndGetCommMaskCarryTheMaskInFourBytes)
{
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_ERR));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, DWORD{EV_RXCHAR | EV_ERR});
    ASSERT_EQ(Codes(), (std::vector<DWORD>{IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK}));
    EXPECT_EQ(requests_[0].inputLength, 4u);
    EXPECT_EQ(requests_[0].outputLength, 0u);
    EXPECT_EQ(InputAs<ULONG>(requests_[0]), ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_ERR});
    EXPECT_EQ(requests_[1].inputLength, 0u);
    EXPECT_EQ(requests_[1].outputLength, 4u);
}

TEST_F(Win32CommEventsTest, AnOverlappedWaitIsPendingUntilTheDriverReportsEventsIntoTheCallersMask)
{
    HoldWaits();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD mask = 0xEEEE;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(WaitCommEvent(port_, &mask, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    ASSERT_EQ(waits_.size(), 1u);
    EXPECT_EQ(waits_[0].code, DWORD{IOCTL_SERIAL_WAIT_ON_MASK});
    EXPECT_EQ(waits_[0].inputLength, 0u) << "no input buffer";
    EXPECT_EQ(waits_[0].outputLength, 4u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    Report(held_.Take(), SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(mask, DWORD{EV_RXCHAR | EV_TXEMPTY});
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Win32CommEventsTest, ASynchronousWaitReturnsWhenTheDriverReportsEvents)
{
    ASSERT_TRUE(CloseHandle(port_));
    port_ = OpenPort(false);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    HoldWaits();
    DriverThread driver(held_, [this] { Report(held_.Take(), SERIAL_EV_DSR); });
    DWORD mask = 0xEEEE;
    EXPECT_TRUE(WaitCommEvent(port_, &mask, nullptr));
    driver.Join();
    EXPECT_EQ(mask, DWORD{EV_DSR});
    ASSERT_EQ(waits_.size(), 1u);
    EXPECT_EQ(waits_[0].inputLength, 0u);
    EXPECT_EQ(waits_[0].outputLength, 4u);
}

TEST_F(Win32CommEventsTest, ARefusedWaitFailsWithTheMaskAtZero)
{
    Refuse(IOCTL_SERIAL_WAIT_ON_MASK, STATUS_INVALID_PARAMETER);
    OVERLAPPED overlapped{};
    DWORD mask = 0xEEEE;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(WaitCommEvent(port_, &mask, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(mask, 0u);
    ASSERT_EQ(Codes(), std::vector<DWORD>{IOCTL_SERIAL_WAIT_ON_MASK});
    EXPECT_EQ(requests_[0].inputLength, 0u);
    EXPECT_EQ(requests_[0].outputLength, 4u);
}

TEST_F(Win32CommEventsTest, AnOverlappedHandleNeedsAnOverlappedToWait)
{
    DWORD mask = 0xEEEE;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(WaitCommEvent(port_, &mask, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(requests_.empty());
}

}  // namespace
}  // namespace bulkcom_test
