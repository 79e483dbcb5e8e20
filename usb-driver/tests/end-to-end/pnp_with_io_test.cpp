// Plug and Play requests meeting requests in progress: a query-remove that
// waits for a read, a stop that ends a transfer instead of waiting out its
// timeout, a write queued before a stop that must not meet the restart, and
// the held wait request at removal. Windows sends a query-remove only once
// no file is open on the device, so the port the query-remove meets is one
// an application opened just after that check.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "application_side.h"
#include "kernel/hooks.h"
#include "support/port_access.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"
#include "support/wait_watcher.h"
#include "usb/descriptor_variants.h"
#include "usb/scripted_device.h"
#include "usb/usb_descriptors.h"

namespace bulkcom_test {
namespace {

// Named points of an interleaving that threads reach and wait for.
class Interleaving {
public:
    void Reach(int point)
    {
        std::lock_guard lock(lock_);
        reached_.insert(point);
        changed_.notify_all();
    }
    bool Reached(int point)
    {
        std::lock_guard lock(lock_);
        return reached_.count(point) != 0;
    }
    // Returns the first of the points reached.
    int WaitFor(std::initializer_list<int> points)
    {
        std::unique_lock lock(lock_);
        int found = 0;
        changed_.wait(lock, [&] {
            for (int point : points) {
                if (reached_.count(point) != 0) {
                    found = point;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::set<int> reached_;
};

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
        sim::Hooks().requestArriving = nullptr;
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
            result = ReadAndWait(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes)
                         ? bytes
                         : 0x80000000u | GetLastError();
        });
        transferWaiting_.get_future().wait();
        return reader;
    }

    // Runs the action as the next query-remove reaches the driver, in the
    // thread that sent it.
    void AsTheQueryRemoveArrives(std::function<void()> action)
    {
        sim::Hooks().requestArriving = [this, action = std::move(action)](PDEVICE_OBJECT device, PIRP irp) {
            const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
            if (device == device_->Fdo() && stack.MajorFunction == IRP_MJ_PNP &&
                stack.MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && !queryRemoveArrived_.exchange(true)) {
                action();
            }
        };
    }

    BOOL HoldWait(OVERLAPPED& overlapped, ULONG& mask)
    {
        DWORD bytes = 0;
        return DeviceIoControl(port_, IOCTL_SERIAL_WAIT_ON_MASK, &mask, sizeof mask, &mask, sizeof mask, &bytes,
                               &overlapped);
    }

    // Opens the port overlapped and holds a wait request as the next
    // query-remove reaches the driver, the one moment a handle can be open
    // during it; heldWaitStatus_ then tells how the hold went.
    void HoldWaitAsTheQueryRemoveArrives(OVERLAPPED& overlapped)
    {
        AsTheQueryRemoveArrives([this, &overlapped] {
            port_ = OpenComPortOverlapped();
            heldWaitStatus_ = HoldWait(overlapped, heldMask_) ? ERROR_SUCCESS : GetLastError();
        });
    }

    std::shared_ptr<sim::ScriptedDevice> scripted_;
    std::unique_ptr<UsbDeviceUnderTest> device_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::promise<void> transferWaiting_;
    std::atomic<bool> transferStarted_{false};
    std::atomic<bool> queryRemoveArrived_{false};
    ULONG heldMask_ = SERIAL_EV_RXCHAR;
    DWORD heldWaitStatus_ = 0;
};

TEST_F(PnpWithIoTest, QueryRemoveWaitsForTheReadInProgressAndRefusesNewOnes)
{
    std::vector<UCHAR> buffer(16);
    std::atomic<DWORD> result{0};
    std::thread reader;
    AsTheQueryRemoveArrives([&] {
        // Overlapped, so that a second read reaches the driver while the
        // first is in progress: a synchronous handle would hold it back itself.
        port_ = OpenComPortOverlapped();
        reader = StartRead(buffer, result);
    });

    WaitWatcher watcher;
    std::atomic<NTSTATUS> queried{STATUS_PENDING};
    std::thread pnp([&] { queried = device_->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE); });
    watcher.WaitUntilBlockedOn(&device_->Extension()->StopEvent);
    EXPECT_EQ(queried.load(), STATUS_PENDING) << "held while the read is in the driver";

    std::vector<UCHAR> other(4);
    DWORD bytes = 0;
    EXPECT_FALSE(ReadAndWait(port_, other.data(), 4, &bytes));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_COMMAND}) << "a new read is refused";

    scripted_->SendMessage(std::vector<UCHAR>(6, 0x42));
    reader.join();
    pnp.join();
    EXPECT_EQ(result.load(), 6u) << "the read in progress finished first";
    EXPECT_EQ(queried.load(), STATUS_SUCCESS);

    ASSERT_EQ(device_->SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    scripted_->SendMessage(std::vector<UCHAR>(2, 0x43));
    EXPECT_TRUE(ReadAndWait(port_, other.data(), 4, &bytes)) << "served again";
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

// A write passes its readiness test, then waits for D0 while a stop comes
// and goes. The restart that follows fails half way, after the pipes point
// into a fresh interface copy and before that copy is freed. Hooks stop the
// write inside its body, if it ever gets there, until the restart is half
// made, and again once it has read its pipe, until the restart is over: a
// write that ran its body would then use freed pool.
TEST_F(PnpWithIoTest, AWriteQueuedBeforeAStopIsRefusedAndNeverMeetsARestartHalfMade)
{
    enum Point { WriterInBody = 1, WriterDone, HalfMade, WriterHasPipe, RestartOver };
    port_ = OpenComPort();
    sim::PowerManager& power = device_->Pnp().Power();
    ASSERT_EQ(power.SendDeviceRequest(device_->Pdo(), PowerDeviceD3), STATUS_SUCCESS);

    Interleaving steps;
    WaitWatcher watcher;
    std::atomic<DWORD> written{0};
    std::atomic<DWORD> error{0};
    std::thread writer([&] {
        std::vector<UCHAR> data(4, 0x77);
        DWORD bytes = 0;
        error = WriteFile(port_, data.data(), 4, &bytes, nullptr) ? 0 : GetLastError();
        written = bytes;
        steps.Reach(WriterDone);
    });
    watcher.WaitUntilBlockedOn(&device_->Extension()->PowerUpEvent);
    const std::thread::id writerThread = writer.get_id();
    const std::thread::id pnpThread = std::this_thread::get_id();

    std::atomic<bool> selecting{false};
    std::atomic<int> copies{0};
    sim::Hooks().requestArriving = [&](PDEVICE_OBJECT, PIRP irp) {
        const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
        if (stack.MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            return;
        }
        ULONG code = stack.Parameters.DeviceIoControl.IoControlCode;
        if (std::this_thread::get_id() == writerThread && code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
            steps.Reach(WriterInBody);
            steps.WaitFor({HalfMade});
        }
        auto* urb = static_cast<PURB>(stack.Parameters.Others.Argument1);
        if (std::this_thread::get_id() == pnpThread && code == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
            urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr) {
            selecting = true;
        }
    };
    sim::Hooks().poolAllocating = [&](SIZE_T bytes, ULONG) {
        if (std::this_thread::get_id() == writerThread && bytes == 65536) {
            steps.Reach(WriterHasPipe);
            steps.WaitFor({RestartOver});
        }
        // The restart's second interface copy: the pipes point into the first.
        if (std::this_thread::get_id() == pnpThread && selecting && ++copies == 2 && steps.Reached(WriterInBody)) {
            steps.Reach(HalfMade);
            steps.WaitFor({WriterHasPipe});
        }
    };

    ASSERT_EQ(device_->SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(device_->SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(power.SendDeviceRequest(device_->Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    steps.WaitFor({WriterInBody, WriterDone});

    // The device comes back with an interface that has no pipes last.
    scripted_->SetConfigurationDescriptor(sim::BuildConfigurationDescriptor(sim::BulkThenEmptyConfiguration()));
    EXPECT_EQ(device_->Start(), STATUS_NOT_SUPPORTED);
    steps.Reach(RestartOver);
    writer.join();
    sim::Hooks().requestArriving = nullptr;
    sim::Hooks().poolAllocating = nullptr;

    EXPECT_EQ(error.load(), DWORD{ERROR_BAD_COMMAND}) << "refused as not ready once it held the semaphore";
    EXPECT_EQ(written.load(), 0u);
    EXPECT_TRUE(scripted_->Written().empty());
    EXPECT_EQ(device_->Extension()->BulkOutPipe, nullptr);
}

// A wait request passes the readiness test, then stops just before it is
// held, while a surprise removal runs from start to end and finds nothing
// to complete. Held afterwards, nothing would ever end it.
TEST_F(PnpWithIoTest, AWaitRequestThatMissesTheSurpriseRemovalIsNotHeld)
{
    enum Point { AboutToHold = 1, RemovalOver };
    port_ = OpenComPortOverlapped();
    Interleaving steps;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ULONG mask = SERIAL_EV_RXCHAR;
    std::atomic<DWORD> error{0};
    std::atomic<bool> stopped{false};
    std::atomic<std::thread::id> waiterThread;
    // The first cancel spin lock the waiter takes is the one that holds it.
    sim::Hooks().cancelSpinLockAcquiring = [&] {
        if (std::this_thread::get_id() == waiterThread.load() && !stopped.exchange(true)) {
            steps.Reach(AboutToHold);
            steps.WaitFor({RemovalOver});
        }
    };
    std::thread waiter([&] {
        waiterThread = std::this_thread::get_id();
        error = HoldWait(overlapped, mask) ? 0 : GetLastError();
    });
    steps.WaitFor({AboutToHold});
    ASSERT_EQ(device_->SendPnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    steps.Reach(RemovalOver);
    waiter.join();
    sim::Hooks().cancelSpinLockAcquiring = nullptr;

    EXPECT_EQ(device_->Extension()->PendingWaitIrp, nullptr) << "held after the removal";
    if (device_->Extension()->PendingWaitIrp != nullptr) {
        CancelIo(port_);
    }
    DWORD bytes = 0;
    if (error.load() == ERROR_IO_PENDING) {
        GetOverlappedResult(port_, &overlapped, &bytes, TRUE);
    } else {
        EXPECT_EQ(error.load(), DWORD{ERROR_ACCESS_DENIED}) << "refused as delete-pending";
    }
    CloseHandle(overlapped.hEvent);
}

TEST_F(PnpWithIoTest, HeldWaitStaysAcrossAQueryRemoveAndEndsAtSurpriseRemoval)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HoldWaitAsTheQueryRemoveArrives(overlapped);

    ASSERT_EQ(device_->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS) << "a held wait does not delay it";
    ASSERT_EQ(heldWaitStatus_, DWORD{ERROR_IO_PENDING});
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
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HoldWaitAsTheQueryRemoveArrives(overlapped);

    EXPECT_EQ(device_->Pnp().QueryAndRemove(device_->Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(heldWaitStatus_, DWORD{ERROR_IO_PENDING});
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
