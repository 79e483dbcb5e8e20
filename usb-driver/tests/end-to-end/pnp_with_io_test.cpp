// Plug and Play requests meeting requests in progress: a query-remove that
// waits for a read, a stop that ends a transfer instead of waiting out its
// timeout, and the held wait request at removal.

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "application_side.h"
#include "kernel/hooks.h"
#include "support/port_access.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"
#include "support/wait_watcher.h"
#include "usb/scripted_device.h"

namespace bulkcom_test {
namespace {

class PnpWithIoTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        scripted_ = std::make_shared<sim::ScriptedDevice>();
        device_ = std::make_unique<UsbDeviceUnderTest>(scripted_);
        device_->AddAndStart();
        device_->Bus().SetUnplugHandler([this](PDEVICE_OBJECT pdo) { device_->Pnp().ReportUnplugged(pdo); });
        sim::Hooks().timedWaitStarted = [this](PVOID, LONGLONG) {
            if (!transferStarted_.exchange(true)) {
                transferWaiting_.set_value();
            }
        };
    }
    void TearDown() override
    {
        sim::Hooks().timedWaitStarted = nullptr;
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
        sim::WaitForDeferredCloses();
        device_->Pnp().WaitUntilIdle();
        device_.reset();
        SimTest::TearDown();
    }

    // A read in another thread, returning once its transfer waits at the device.
    std::thread StartRead(std::vector<UCHAR>& buffer, std::atomic<DWORD>& result)
    {
        std::thread reader([this, &buffer, &result] {
            DWORD bytes = 0;
            result = ReadFile(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes, nullptr)
                         ? bytes
                         : 0x80000000u | GetLastError();
        });
        transferWaiting_.get_future().wait();
        return reader;
    }

    BOOL HoldWait(OVERLAPPED& overlapped, ULONG& mask)
    {
        DWORD bytes = 0;
        return DeviceIoControl(port_, IOCTL_SERIAL_WAIT_ON_MASK, &mask, sizeof mask, &mask, sizeof mask, &bytes,
                               &overlapped);
    }

    std::shared_ptr<sim::ScriptedDevice> scripted_;
    std::unique_ptr<UsbDeviceUnderTest> device_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::promise<void> transferWaiting_;
    std::atomic<bool> transferStarted_{false};
};

TEST_F(PnpWithIoTest, QueryRemoveWaitsForTheReadInProgressAndRefusesNewOnes)
{
    port_ = OpenComPort();
    std::vector<UCHAR> buffer(16);
    std::atomic<DWORD> result{0};
    std::thread reader = StartRead(buffer, result);

    WaitWatcher watcher;
    std::atomic<NTSTATUS> queried{STATUS_PENDING};
    std::thread pnp([&] { queried = device_->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE); });
    watcher.WaitUntilBlockedOn(&device_->Extension()->StopEvent);
    EXPECT_EQ(queried.load(), STATUS_PENDING) << "held while the read is in the driver";

    std::vector<UCHAR> other(4);
    DWORD bytes = 0;
    EXPECT_FALSE(ReadFile(port_, other.data(), 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_COMMAND}) << "a new read is refused";

    scripted_->SendMessage(std::vector<UCHAR>(6, 0x42));
    reader.join();
    pnp.join();
    EXPECT_EQ(result.load(), 6u) << "the read in progress finished first";
    EXPECT_EQ(queried.load(), STATUS_SUCCESS);

    ASSERT_EQ(device_->SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    scripted_->SendMessage(std::vector<UCHAR>(2, 0x43));
    EXPECT_TRUE(ReadFile(port_, other.data(), 4, &bytes, nullptr)) << "served again";
    EXPECT_EQ(bytes, 2u);
}

TEST_F(PnpWithIoTest, AStopEndsTheTransferInFlightInsteadOfWaitingOutItsTimeout)
{
    port_ = OpenComPort();
    // A read that would wait about 49 days for its data.
    COMMTIMEOUTS patient{MAXDWORD, 0, MAXDWORD, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &patient));
    std::vector<UCHAR> buffer(16);
    std::atomic<DWORD> result{0};
    std::thread reader = StartRead(buffer, result);

    EXPECT_EQ(device_->Pnp().Rebalance(device_->Pdo()), STATUS_SUCCESS);
    reader.join();
    EXPECT_EQ(result.load(), 0x80000000u | ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(device_->Extension()->Started) << "stopped and started again";

    COMMTIMEOUTS usual{0, 0, 1000, 0, 1000};
    ASSERT_TRUE(SetCommTimeouts(port_, &usual));
    scripted_->SendMessage(std::vector<UCHAR>(3, 0x51));
    DWORD bytes = 0;
    EXPECT_TRUE(ReadFile(port_, buffer.data(), 16, &bytes, nullptr));
    EXPECT_EQ(bytes, 3u);
}

TEST_F(PnpWithIoTest, HeldWaitStaysAcrossAQueryRemoveAndEndsAtSurpriseRemoval)
{
    port_ = OpenComPortOverlapped();
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ULONG mask = SERIAL_EV_RXCHAR;
    EXPECT_FALSE(HoldWait(overlapped, mask));
    ASSERT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});

    ASSERT_EQ(device_->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS) << "a held wait does not delay it";
    EXPECT_NE(device_->Extension()->PendingWaitIrp, nullptr);
    ASSERT_EQ(device_->SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);

    device_->Bus().Unplug(device_->Pdo());
    device_->Pnp().WaitUntilIdle();
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED}) << "completed as delete-pending";
    EXPECT_EQ(bytes, 0u);
    CloseHandle(overlapped.hEvent);
}

TEST_F(PnpWithIoTest, HeldWaitEndsAtRemovalAndTheCloseStillSucceeds)
{
    port_ = OpenComPortOverlapped();
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ULONG mask = SERIAL_EV_RXCHAR;
    EXPECT_FALSE(HoldWait(overlapped, mask));

    EXPECT_EQ(device_->Pnp().QueryAndRemove(device_->Pdo()), STATUS_SUCCESS);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(device_->Pdo()->AttachedDevice, nullptr);
    CloseHandle(overlapped.hEvent);
    // The file opened before the removal still sends its cleanup and close.
    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
}

}  // namespace
}  // namespace bulkcom_test
