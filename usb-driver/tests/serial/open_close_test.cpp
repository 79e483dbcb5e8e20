// Open and close of the COM port: one open at a time, timeouts reset at each
// open, the held wait-on-mask request completed by close, and a close that
// always succeeds.

#include <atomic>
#include <thread>
#include <vector>

#include "kernel/irp.h"
#include "serial/serial.h"
#include "support/usb_device_under_test.h"
#include "support/port_access.h"
#include "support/sim_test.h"
#include "support/wait_watcher.h"

namespace bulkcom_test {
namespace {

// A request held the way the driver holds a wait-on-mask request, recording
// how it was completed.
struct HeldRequest {
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = ~ULONG_PTR{0};

    void HoldIn(PDEVICE_EXTENSION extension)
    {
        PIRP irp = sim::AllocateKernelIrp(1, [this](PIRP done) {
            status = done->IoStatus.Status;
            information = done->IoStatus.Information;
            completions++;
            sim::FreeKernelIrp(done);
        });
        IoSetNextIrpStackLocation(irp);
        irp->IoStatus.Information = 0;
        IoMarkIrpPending(irp);
        extension->PendingWaitIrp = irp;
    }
};

class OpenCloseTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        device_ = std::make_unique<UsbDeviceUnderTest>();
        device_->AddAndStart();
        extension_ = device_->Extension();
    }
    void TearDown() override
    {
        device_.reset();
        SimTest::TearDown();
    }

    std::unique_ptr<UsbDeviceUnderTest> device_;
    PDEVICE_EXTENSION extension_ = nullptr;
};

TEST_F(OpenCloseTest, EachOpenResetsTheTimeoutsAndKeepsEveryOtherSetting)
{
    HANDLE port = OpenComPort();
    extension_->Timeouts = SERIAL_TIMEOUTS{5, 6, 7, 8, 9};
    extension_->BaudRate = 300;
    extension_->LineControl = SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7};
    extension_->Chars.XonChar = 0x11;
    extension_->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    extension_->WaitMask = SERIAL_EV_RXCHAR;
    extension_->DtrRtsState = SERIAL_DTR_STATE | SERIAL_RTS_STATE;
    ASSERT_TRUE(CloseHandle(port));

    port = OpenComPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const SERIAL_TIMEOUTS& timeouts = extension_->Timeouts;
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(extension_->BaudRate, 300u);
    EXPECT_EQ(extension_->LineControl.Parity, EVEN_PARITY);
    EXPECT_EQ(extension_->LineControl.WordLength, 7);
    EXPECT_EQ(extension_->Chars.XonChar, 0x11);
    EXPECT_EQ(extension_->HandFlow.ControlHandShake, ULONG{SERIAL_DTR_CONTROL});
    EXPECT_EQ(extension_->WaitMask, ULONG{SERIAL_EV_RXCHAR});
    EXPECT_EQ(extension_->DtrRtsState, ULONG{SERIAL_DTR_STATE | SERIAL_RTS_STATE});
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(OpenCloseTest, CloseCompletesTheHeldWaitWithSuccessAndNoEventMask)
{
    HANDLE port = OpenComPort();
    HeldRequest wait;
    wait.HoldIn(extension_);
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(wait.completions, 1);
    EXPECT_EQ(wait.status, STATUS_SUCCESS);
    EXPECT_EQ(wait.information, 0u);
    EXPECT_EQ(extension_->PendingWaitIrp, nullptr);
}

TEST_F(OpenCloseTest, CloseOfARemovedDeviceNeitherWaitsForPowerNorForTheSemaphore)
{
    HANDLE port = OpenComPort();
    extension_->Removed = TRUE;
    extension_->PoweredDown = TRUE;
    KeClearEvent(&extension_->PowerUpEvent);
    AcquireIoSemaphore(device_->Fdo());

    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(extension_->PortOpen);
    EXPECT_EQ(extension_->OutstandingIo, 1);

    ReleaseIoSemaphore(device_->Fdo());
}

TEST_F(OpenCloseTest, CloseOfAPresentDeviceOutOfD0WaitsUntilItIsBack)
{
    HANDLE port = OpenComPort();
    extension_->PoweredDown = TRUE;
    KeClearEvent(&extension_->PowerUpEvent);

    WaitWatcher watcher;
    std::atomic<bool> closed{false};
    std::thread closer([&] { closed = CloseHandle(port) == TRUE; });
    watcher.WaitUntilBlockedOn(&extension_->PowerUpEvent);
    EXPECT_TRUE(extension_->PortOpen);

    extension_->PoweredDown = FALSE;
    KeSetEvent(&extension_->PowerUpEvent, IO_NO_INCREMENT, FALSE);
    closer.join();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(extension_->PortOpen);
}

TEST_F(OpenCloseTest, CloseIsOrdinaryWhileAStopOrRemovalIsPendingOrAfterAStop)
{
    for (BOOLEAN DEVICE_EXTENSION::*flag : {&DEVICE_EXTENSION::StopPending, &DEVICE_EXTENSION::RemovePending}) {
        HANDLE port = OpenComPort();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        extension_->*flag = TRUE;
        EXPECT_EQ(OpenComPort(), INVALID_HANDLE_VALUE) << "no new open meanwhile";
        EXPECT_TRUE(CloseHandle(port));
        EXPECT_FALSE(extension_->PortOpen);
        extension_->*flag = FALSE;
    }
    HANDLE port = OpenComPort();
    extension_->Started = FALSE;
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(extension_->PortOpen);
}

TEST_F(OpenCloseTest, HeldWaitIsCompletedExactlyOnceByRacingCallers)
{
    for (int round = 0; round < 300; round++) {
        HeldRequest wait;
        wait.HoldIn(extension_);
        std::atomic<bool> go{false};
        std::vector<std::thread> callers;
        for (int caller = 0; caller < 3; caller++) {
            callers.emplace_back([&] {
                while (!go) {
                }
                CompletePendingWait(device_->Fdo(), STATUS_SUCCESS);
            });
        }
        go = true;
        for (auto& thread : callers) {
            thread.join();
        }
        ASSERT_EQ(wait.completions, 1) << "round " << round;
        ASSERT_EQ(extension_->PendingWaitIrp, nullptr);
    }
}

}  // namespace
}  // namespace bulkcom_test
