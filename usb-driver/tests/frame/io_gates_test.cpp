// The request gates: reference counting with its transition events, the
// readiness test, and the power gate with its one-count semaphore, driven
// through real opens from other threads.

#include <atomic>
#include <thread>
#include <vector>

#include "support/usb_device_under_test.h"
#include "support/port_access.h"
#include "support/sim_test.h"
#include "support/wait_watcher.h"

namespace bulkcom_test {
namespace {

class IoGatesTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        device_ = std::make_unique<UsbDeviceUnderTest>();
        ASSERT_EQ(device_->Add(), STATUS_SUCCESS);
        fdo_ = device_->Fdo();
        extension_ = device_->Extension();
    }
    void TearDown() override
    {
        device_.reset();
        SimTest::TearDown();
    }

    std::unique_ptr<UsbDeviceUnderTest> device_;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_EXTENSION extension_ = nullptr;
};

TEST_F(IoGatesTest, EventsFollowTransitionsOfTheCount)
{
    AcquireIoReference(fdo_);
    EXPECT_EQ(extension_->OutstandingIo, 2);
    EXPECT_EQ(KeReadStateEvent(&extension_->StopEvent), 0);
    AcquireIoReference(fdo_);
    ReleaseIoReference(fdo_);
    EXPECT_EQ(KeReadStateEvent(&extension_->StopEvent), 0) << "3 to 2 is not a fall to 1";
    ReleaseIoReference(fdo_);
    EXPECT_EQ(extension_->OutstandingIo, 1);
    EXPECT_EQ(KeReadStateEvent(&extension_->StopEvent), 1);
    EXPECT_EQ(KeReadStateEvent(&extension_->RemoveEvent), 0);

    AcquireIoReference(fdo_);
    EXPECT_EQ(KeReadStateEvent(&extension_->StopEvent), 0) << "rising to 2 clears it again";
    ReleaseIoReference(fdo_);
}

TEST_F(IoGatesTest, CountStaysExactUnderConcurrentUseAtRaisedIrql)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; i++) {
                // Completion routines drop references at DISPATCH_LEVEL.
                KIRQL old = PASSIVE_LEVEL;
                if (t % 2 == 1) {
                    KeRaiseIrql(DISPATCH_LEVEL, &old);
                }
                AcquireIoReference(fdo_);
                ReleaseIoReference(fdo_);
                if (t % 2 == 1) {
                    KeLowerIrql(old);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(extension_->OutstandingIo, 1);
    EXPECT_EQ(KeReadStateEvent(&extension_->RemoveEvent), 0);
}

TEST_F(IoGatesTest, ReadinessNeedsStartedAndNoRemovalOrStopUnderWay)
{
    EXPECT_FALSE(IsDeviceReady(fdo_));
    ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(IsDeviceReady(fdo_));
    for (BOOLEAN DEVICE_EXTENSION::*flag :
         {&DEVICE_EXTENSION::Removed, &DEVICE_EXTENSION::RemovePending, &DEVICE_EXTENSION::StopPending}) {
        extension_->*flag = TRUE;
        EXPECT_FALSE(IsDeviceReady(fdo_));
        HANDLE handle = OpenComPort();
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_COMMAND});
        EXPECT_EQ(extension_->OutstandingIo, 1) << "the refused request left the driver";
        extension_->*flag = FALSE;
    }
}

TEST_F(IoGatesTest, OpenWaitsForPowerUpAndTheSemaphore)
{
    ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
    extension_->PoweredDown = TRUE;
    KeClearEvent(&extension_->PowerUpEvent);

    WaitWatcher watcher;
    std::atomic<HANDLE> opened{nullptr};
    std::thread opener([&] { opened = OpenComPort(); });

    watcher.WaitUntilBlockedOn(&extension_->PowerUpEvent);
    EXPECT_EQ(opened.load(), nullptr);
    EXPECT_EQ(extension_->OutstandingIo, 2) << "a waiting request is counted";

    // Back in D0, but a power change holds the semaphore.
    AcquireIoSemaphore(fdo_);
    extension_->PoweredDown = FALSE;
    KeSetEvent(&extension_->PowerUpEvent, IO_NO_INCREMENT, FALSE);
    watcher.WaitUntilBlockedOn(&extension_->IoSemaphore);
    EXPECT_EQ(opened.load(), nullptr);
    EXPECT_FALSE(extension_->PortOpen);

    ReleaseIoSemaphore(fdo_);
    opener.join();
    ASSERT_NE(opened.load(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(extension_->PortOpen);
    EXPECT_TRUE(CloseHandle(opened.load()));
    EXPECT_EQ(extension_->OutstandingIo, 1);
}

TEST_F(IoGatesTest, DeviceLeavingD0BeforeTheSemaphoreSendsTheRequestBackToTheReadinessTest)
{
    ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
    WaitWatcher watcher;
    AcquireIoSemaphore(fdo_);
    std::atomic<HANDLE> opened{nullptr};
    std::atomic<DWORD> error{0};
    std::thread opener([&] {
        opened = OpenComPort();
        error = GetLastError();
    });
    watcher.WaitUntilBlockedOn(&extension_->IoSemaphore);

    // The device powers down while the open waits for the semaphore, and a
    // stop is requested meanwhile: the open finds PoweredDown under the
    // semaphore, gives it back and is refused by the readiness test.
    extension_->PoweredDown = TRUE;
    KeClearEvent(&extension_->PowerUpEvent);
    extension_->StopPending = TRUE;
    ReleaseIoSemaphore(fdo_);
    opener.join();
    EXPECT_EQ(opened.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error.load(), DWORD{ERROR_BAD_COMMAND});
    EXPECT_FALSE(extension_->PortOpen);
    EXPECT_EQ(KeReadStateSemaphore(&extension_->IoSemaphore), 1);
    EXPECT_EQ(extension_->OutstandingIo, 1);
}

}  // namespace
}  // namespace bulkcom_test
