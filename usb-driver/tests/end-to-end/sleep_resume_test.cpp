// The system sleeps and resumes while an application uses the port, on
// every generation the driver tells apart and in both completion contexts:
// a transfer in flight ends at the power-down instead of holding it, no
// request is served while the device is out of D0, every request completes
// once, and a device unplugged while asleep lets go of what waits for it.

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "application_side.h"
#include "kernel/hooks.h"
#include "pnp-power/power_watchdog.h"
#include "support/open_port_test.h"
#include "support/port_access.h"
#include "support/power_cases.h"
#include "support/wait_watcher.h"
#include "usb/loopback_device.h"
#include "usb/scripted_device.h"

namespace bulkcom_test {
namespace {

using sim::UsbRequestKind;

struct Outcome {
    BOOL ok;
    DWORD error;
    DWORD bytes;
};

// One overlapped request, waited for: what the application sees.
template <typename Start>
Outcome Overlapped(HANDLE port, Start start)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    BOOL ok = start(&overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(port, &overlapped, &bytes, TRUE);
    } else if (ok) {
        GetOverlappedResult(port, &overlapped, &bytes, FALSE);
    }
    Outcome outcome{ok, ok ? DWORD{0} : GetLastError(), bytes};
    CloseHandle(overlapped.hEvent);
    return outcome;
}

Outcome Write(HANDLE port, const std::vector<UCHAR>& data)
{
    return Overlapped(port, [&](OVERLAPPED* overlapped) {
        return WriteFile(port, data.data(), static_cast<DWORD>(data.size()), nullptr, overlapped);
    });
}

Outcome Read(HANDLE port, std::vector<UCHAR>& buffer)
{
    return Overlapped(port, [&](OVERLAPPED* overlapped) {
        return ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, overlapped);
    });
}

class SleepResumeTest : public OpenPortTest, public ::testing::WithParamInterface<PowerCase> {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::SetWindowsVersion(GetParam().version);
        // A power-down that waited for a transfer's own timeout would stop
        // the machine here.
        sim::SetPowerWatchdogLimit(std::chrono::seconds(20));
    }
    void TearDown() override
    {
        sim::Hooks().timedWaitStarted = nullptr;
        OpenPortTest::TearDown();
    }

    void Start(std::shared_ptr<sim::UsbDeviceModel> model)
    {
        StartAndOpen(std::move(model), GetParam().mode, PortOpen::Overlapped);
        device_->Bus().SetUnplugHandler([this](PDEVICE_OBJECT pdo) { device_->Pnp().ReportUnplugged(pdo); });
        // Reads wait for their device for about 49 days.
        COMMTIMEOUTS patient{MAXDWORD, 0, MAXDWORD, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &patient));
    }

    NTSTATUS Sleep()
    {
        NTSTATUS status = device_->Pnp().Power().Sleep(PowerSystemSleeping3);
        device_->Bus().Flush();
        return status;
    }
    NTSTATUS Resume()
    {
        NTSTATUS status = device_->Pnp().Power().Resume();
        // From Vista on the device may still be powering up.
        device_->Bus().Flush();
        return status;
    }

    // No transfer reached the bus while it had the device out of D0.
    void ExpectNoTransferOutOfD0()
    {
        for (const sim::UsbRequestRecord& record : device_->Bus().Requests(device_->Pdo())) {
            if (record.kind == UsbRequestKind::SubmitUrb) {
                EXPECT_EQ(record.devicePowerState, PowerDeviceD0) << "URB function " << record.urbFunction;
            }
        }
    }
};

TEST_P(SleepResumeTest, APowerDownEndsTheReadInFlightAndRequestsWaitUntilTheResume)
{
    Start(std::make_shared<sim::LoopbackDevice>());
    std::promise<void> transferWaiting;
    std::atomic<bool> once{false};
    sim::Hooks().timedWaitStarted = [&](PVOID, LONGLONG) {
        if (!once.exchange(true)) {
            transferWaiting.set_value();
        }
    };
    std::vector<UCHAR> buffer(64);
    auto read = std::async(std::launch::async, [&] { return Read(port_, buffer); });
    transferWaiting.get_future().wait();

    // The query comes while the read is in flight and is never refused.
    ASSERT_EQ(Sleep(), STATUS_SUCCESS);
    Outcome ended = read.get();
    EXPECT_FALSE(ended.ok);
    EXPECT_EQ(ended.error, DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(device_->Extension()->DevicePowerState, PowerDeviceD3);

    // Asleep: a write waits at the gate and reaches nothing.
    WaitWatcher watcher;
    std::vector<UCHAR> message{'p', 'o', 'w', 'e', 'r'};
    auto write = std::async(std::launch::async, [&] { return Write(port_, message); });
    watcher.WaitUntilBlockedOn(&device_->Extension()->PowerUpEvent);
    size_t sentWhileAsleep = device_->Bus().RequestCount(device_->Pdo());

    ASSERT_EQ(Resume(), STATUS_SUCCESS);
    Outcome written = write.get();
    EXPECT_TRUE(written.ok);
    EXPECT_EQ(written.bytes, message.size());
    EXPECT_GT(device_->Bus().RequestCount(device_->Pdo()), sentWhileAsleep);
    Outcome echoed = Read(port_, buffer);
    EXPECT_TRUE(echoed.ok);
    EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + echoed.bytes), message);
    ExpectNoTransferOutOfD0();
}

// An application writes numbered messages and reads their echoes in a loop
// while the system sleeps and resumes again and again.
TEST_P(SleepResumeTest, AnApplicationLoopingAcrossSleepsSeesEveryRequestEndOnceAndTheEchoesInOrder)
{
    Start(std::make_shared<sim::LoopbackDevice>());
    // A write aborted before it reached the device leaves its read nothing
    // to wait for but the timeout.
    COMMTIMEOUTS bounded{0, 0, 300, 0, 300};
    ASSERT_TRUE(SetCommTimeouts(port_, &bounded));

    std::mutex roundsLock;
    std::condition_variable roundDone;
    unsigned rounds = 0;
    std::atomic<bool> stop{false};
    std::vector<Outcome> outcomes;
    std::vector<std::vector<UCHAR>> written;
    std::vector<std::vector<UCHAR>> readBack;
    std::thread application([&] {
        for (UCHAR round = 0; !stop; ++round) {
            std::vector<UCHAR> message{round, UCHAR(round ^ 0x5A), UCHAR(round + 1)};
            // A write aborted by the power-down may have reached the device
            // all the same.
            written.push_back(message);
            outcomes.push_back(Write(port_, message));
            std::vector<UCHAR> buffer(16);
            Outcome read = Read(port_, buffer);
            outcomes.push_back(read);
            if (read.ok && read.bytes != 0) {
                readBack.emplace_back(buffer.begin(), buffer.begin() + read.bytes);
            }
            std::lock_guard lock(roundsLock);
            rounds++;
            roundDone.notify_all();
        }
    });
    // Each sleep comes once the application has made a round trip since
    // the last resume; what it meets in flight is up to the threads.
    for (int cycle = 0; cycle < 5; ++cycle) {
        {
            std::unique_lock lock(roundsLock);
            unsigned before = rounds;
            roundDone.wait(lock, [&] { return rounds > before; });
        }
        ASSERT_EQ(Sleep(), STATUS_SUCCESS);
        EXPECT_TRUE(device_->Extension()->PoweredDown);
        ASSERT_EQ(Resume(), STATUS_SUCCESS);
    }
    stop = true;
    application.join();

    for (const Outcome& outcome : outcomes) {
        EXPECT_TRUE(outcome.ok || outcome.error == ERROR_OPERATION_ABORTED) << "error " << outcome.error;
    }
    // An echo whose read was aborted may be lost; the rest come in order.
    size_t next = 0;
    for (const std::vector<UCHAR>& echo : readBack) {
        while (next < written.size() && written[next] != echo) {
            ++next;
        }
        ASSERT_LT(next, written.size()) << "an echo that was never written, or out of order";
        ++next;
    }
    EXPECT_FALSE(readBack.empty());
    ExpectNoTransferOutOfD0();
}

TEST_P(SleepResumeTest, AnUnplugWhileAsleepEndsTheReadWaitingForPowerAndTheRemovalCompletes)
{
    Start(std::make_shared<sim::ScriptedDevice>());
    ASSERT_EQ(Sleep(), STATUS_SUCCESS);
    WaitWatcher watcher;
    std::vector<UCHAR> buffer(8);
    auto read = std::async(std::launch::async, [&] { return Read(port_, buffer); });
    watcher.WaitUntilBlockedOn(&device_->Extension()->PowerUpEvent);

    PDEVICE_OBJECT pdo = device_->Pdo();
    device_->Bus().Unplug(pdo);
    Outcome ended = read.get();
    EXPECT_FALSE(ended.ok);
    EXPECT_EQ(ended.error, DWORD{ERROR_ACCESS_DENIED}) << "delete-pending";

    // A close waits for nothing either: the removal follows it.
    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    sim::WaitForDeferredCloses();
    device_->Pnp().WaitUntilIdle();
    EXPECT_EQ(pdo->AttachedDevice, nullptr) << "removed";
}

TEST_P(SleepResumeTest, ACloseWaitingForPowerIsLetGoByTheUnplug)
{
    Start(std::make_shared<sim::ScriptedDevice>());
    ASSERT_EQ(Sleep(), STATUS_SUCCESS);
    WaitWatcher watcher;
    auto close = std::async(std::launch::async, [this] { return CloseHandle(port_); });
    watcher.WaitUntilBlockedOn(&device_->Extension()->PowerUpEvent);
    EXPECT_TRUE(device_->Extension()->PortOpen);

    PDEVICE_OBJECT pdo = device_->Pdo();
    device_->Bus().Unplug(pdo);
    EXPECT_TRUE(close.get());
    port_ = INVALID_HANDLE_VALUE;
    device_->Pnp().WaitUntilIdle();
    EXPECT_EQ(pdo->AttachedDevice, nullptr) << "removed once the close was done";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, SleepResumeTest, ::testing::ValuesIn(AllPowerCases()), PowerCaseName);

}  // namespace
}  // namespace bulkcom_test
