// Reads and writes through the application API, down the whole stack to a
// simulated USB device and back: lengths, the timeout each rule gives, and
// what each failure becomes for the application.

#include <algorithm>
#include <atomic>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

#include "application_side.h"
#include "kernel/fault_injection.h"
#include "kernel/hooks.h"
#include "support/open_port_test.h"
#include "support/port_access.h"
#include "support/wait_watcher.h"
#include "usb/descriptor_variants.h"
#include "usb/scripted_device.h"

namespace bulkcom_test {
namespace {

using sim::CompletionMode;

struct Transfer {
    BOOL ok;
    DWORD error;
    DWORD bytes;
};

Transfer Write(HANDLE port, const std::vector<UCHAR>& data)
{
    DWORD bytes = 0xDEAD;
    BOOL ok = WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &bytes, nullptr);
    return {ok, ok ? DWORD{0} : GetLastError(), bytes};
}

Transfer Read(HANDLE port, std::vector<UCHAR>& buffer)
{
    DWORD bytes = 0xDEAD;
    BOOL ok = ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes, nullptr);
    return {ok, ok ? DWORD{0} : GetLastError(), bytes};
}

// On an overlapped handle, which lets a request from another thread reach
// the driver while one is in progress.
Transfer WriteOverlapped(HANDLE port, const std::vector<UCHAR>& data)
{
    DWORD bytes = 0;
    BOOL ok = WriteAndWait(port, data.data(), static_cast<DWORD>(data.size()), &bytes);
    return {ok, ok ? DWORD{0} : GetLastError(), bytes};
}

Transfer ReadOverlapped(HANDLE port, std::vector<UCHAR>& buffer)
{
    DWORD bytes = 0;
    BOOL ok = ReadAndWait(port, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes);
    return {ok, ok ? DWORD{0} : GetLastError(), bytes};
}

std::vector<UCHAR> Pattern(size_t length)
{
    std::vector<UCHAR> data(length);
    std::iota(data.begin(), data.end(), UCHAR{1});
    return data;
}

class LoopbackTest : public OpenPortTest, public ::testing::WithParamInterface<CompletionMode> {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        StartAndOpen(std::make_shared<sim::LoopbackDevice>(), GetParam());
    }
};

// Round trips of each length are whole-stack scenarios (whole_stack_test.cpp);
// the end mark a real device sends after a message of whole packets is the
// simulated device's own.
TEST_P(LoopbackTest, AMessageThatFillsTheReadLeavesItsEndMarkForTheNextRead)
{
    std::vector<UCHAR> echo(65536);
    std::vector<UCHAR> largest = Pattern(65536);
    ASSERT_TRUE(Write(port_, largest).ok);
    EXPECT_EQ(Read(port_, echo).bytes, 65536u);
    EXPECT_EQ(echo, largest);
    Transfer mark = Read(port_, echo);
    EXPECT_TRUE(mark.ok);
    EXPECT_EQ(mark.bytes, 0u);
}

TEST_P(LoopbackTest, RequestsOfNoOrTooManyBytesAreRefused)
{
    std::vector<UCHAR> none;
    Transfer result = Write(port_, none);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_EQ(Read(port_, none).error, DWORD{ERROR_INVALID_PARAMETER});

    COMMTIMEOUTS timeouts{0, 0, 0, 1, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    std::vector<UCHAR> tooLong(65537);
    // Refused before the buffer is mapped: a mapping that would fail changes nothing.
    sim::Faults::FailNthCall(sim::Fault::MapLockedPages, 1);
    result = Write(port_, tooLong);
    EXPECT_EQ(result.error, DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(sim::Faults::CallCount(sim::Fault::MapLockedPages), 0u);
    EXPECT_EQ(device_->Extension()->WriteTimeoutMs, 65537u) << "the timeout is computed all the same";
    EXPECT_EQ(Read(port_, tooLong).error, DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(sim::Faults::CallCount(sim::Fault::MapLockedPages), 0u);
    sim::Faults::Clear();
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, LoopbackTest,
                         ::testing::Values(CompletionMode::Synchronous, CompletionMode::ControllerThread),
                         [](const auto& info) {
                             return info.param == CompletionMode::Synchronous ? "CallerThread" : "ControllerThread";
                         });

// Each transfer waits at the device; when the driver's timed wait begins,
// the hook notes its time limit and ends the transfer through the abort
// event a stop uses, so that no rule has to run its course.
class TimeoutTest : public OpenPortTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        scripted_ = std::make_shared<sim::ScriptedDevice>();
        StartAndOpen(scripted_, CompletionMode::Synchronous);
        sim::Hooks().timedWaitStarted = [this](PVOID, LONGLONG relative) {
            lastWait_ = relative;
            KeSetEvent(&device_->Extension()->TransferAbortEvent, IO_NO_INCREMENT, FALSE);
        };
    }
    void TearDown() override
    {
        sim::Hooks().timedWaitStarted = nullptr;
        OpenPortTest::TearDown();
    }

    // The computed timeout and the relative time the kernel saw.
    std::pair<ULONG, LONGLONG> Limit(COMMTIMEOUTS timeouts, bool read, size_t length)
    {
        EXPECT_TRUE(SetCommTimeouts(port_, &timeouts));
        lastWait_ = 0;
        std::vector<UCHAR> buffer(length, 0x66);
        if (!read) {
            scripted_->IgnoreOut();
        }
        Transfer result = read ? Read(port_, buffer) : Write(port_, buffer);
        EXPECT_EQ(result.error, DWORD{ERROR_OPERATION_ABORTED});
        KeClearEvent(&device_->Extension()->TransferAbortEvent);
        return {read ? device_->Extension()->ReadTimeoutMs : device_->Extension()->WriteTimeoutMs, lastWait_.load()};
    }

    std::shared_ptr<sim::ScriptedDevice> scripted_;
    std::atomic<LONGLONG> lastWait_{0};
};

constexpr DWORD Max = MAXDWORD;

TEST_F(TimeoutTest, EachRuleGivesItsLimitInMillisecondsAndAsARelativeWait)
{
    struct Case {
        const char* rule;
        COMMTIMEOUTS timeouts;
        bool read;
        size_t length;
        ULONG expectedMs;
    };
    const Case cases[] = {
        {"the defaults of an open, read", {0, 0, 1000, 0, 1000}, true, 8, 1000},
        {"the defaults of an open, write", {0, 0, 1000, 0, 1000}, false, 8, 1000},
        {"all zero, read", {0, 0, 0, 0, 0}, true, 8, 50},
        {"all zero, write", {0, 0, 0, 0, 0}, false, 8, 50},
        {"interval MAXDWORD, read totals zero", {Max, 0, 0, 0, 0}, true, 8, 50},
        {"multiplier MAXDWORD, constant 200", {0, Max, 200, 0, 0}, true, 4000, 200},
        {"read multiplier 10, 3 bytes", {0, 10, 0, 0, 0}, true, 3, 50},
        {"read multiplier 10, 10 bytes", {0, 10, 0, 0, 0}, true, 10, 100},
        {"write multiplier 2 constant 10, 8 bytes", {0, 0, 0, 2, 10}, false, 8, 50},
        {"write multiplier 2 constant 10, 100 bytes", {0, 0, 0, 2, 10}, false, 100, 210},
        {"a product past 32 bits wraps", {0, 0x80000000u, 0, 0, 0}, true, 2, 50},
        {"the largest constant", {Max, 0, Max, 0, 0}, true, 8, 4294967295u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        auto [ms, relative] = Limit(c.timeouts, c.read, c.length);
        EXPECT_EQ(ms, c.expectedMs);
        EXPECT_EQ(relative, static_cast<LONGLONG>(c.expectedMs) * 10000) << "no overflow on the way";
    }
}

TEST_F(TimeoutTest, AReadThatTimesOutSucceedsEmptyAWriteFails)
{
    sim::Hooks().timedWaitStarted = nullptr;
    COMMTIMEOUTS quick{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &quick));
    std::vector<UCHAR> buffer(16, 0xEE);
    scripted_->IgnoreIn();
    Transfer read = Read(port_, buffer);
    EXPECT_TRUE(read.ok) << "a serial read that timed out with nothing received";
    EXPECT_EQ(read.bytes, 0u);

    scripted_->IgnoreOut();
    Transfer written = Write(port_, buffer);
    EXPECT_FALSE(written.ok);
    EXPECT_EQ(written.error, DWORD{ERROR_SEM_TIMEOUT});
    EXPECT_EQ(written.bytes, 0u);
    EXPECT_EQ(device_->Bus().WaitingTransfers(device_->Pdo()), 0u) << "both transfers were cancelled";
}

class DeviceFailuresTest : public OpenPortTest, public ::testing::WithParamInterface<CompletionMode> {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        scripted_ = std::make_shared<sim::ScriptedDevice>();
        StartAndOpen(scripted_, GetParam());
        device_->Bus().SetUnplugHandler([this](PDEVICE_OBJECT pdo) { device_->Pnp().ReportUnplugged(pdo); });
        device_->NewRequests();
    }

    // Returns once a transfer of a read or write in another thread waits at
    // the device: its timed wait has begun and the bus has queued it.
    void WaitForTransferInFlight()
    {
        transferWaiting_.get_future().wait();
        device_->Bus().Flush();
    }
    // An overlapped handle lets a request from another thread reach the
    // driver while one is in progress; a synchronous one holds it back.
    void ReopenOverlapped()
    {
        ASSERT_TRUE(CloseHandle(port_));
        port_ = OpenComPortOverlapped();
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    void WatchForTransfers()
    {
        sim::Hooks().timedWaitStarted = [this](PVOID, LONGLONG) {
            if (!signalled_.exchange(true)) {
                transferWaiting_.set_value();
            }
        };
    }

    std::shared_ptr<sim::ScriptedDevice> scripted_;
    std::promise<void> transferWaiting_;
    std::atomic<bool> signalled_{false};
};

TEST_P(DeviceFailuresTest, TwoReadsFromTwoThreadsAreSerialised)
{
    ReopenOverlapped();
    WatchForTransfers();
    WaitWatcher watcher;
    std::vector<UCHAR> first(64), second(64);
    std::atomic<DWORD> firstBytes{0}, secondBytes{0};
    auto read = [this](std::vector<UCHAR>& buffer, std::atomic<DWORD>& got) {
        DWORD bytes = 0;
        EXPECT_TRUE(ReadAndWait(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes));
        got = bytes;
    };
    std::thread a([&] { read(first, firstBytes); });
    WaitForTransferInFlight();
    std::thread b([&] { read(second, secondBytes); });
    // The second read waits for the semaphore the first holds, not at the
    // device.
    watcher.WaitUntilBlockedOn(&device_->Extension()->IoSemaphore);
    EXPECT_EQ(device_->Bus().WaitingTransfers(device_->Pdo()), 1u);

    scripted_->SendMessage(std::vector<UCHAR>(3, 0xA1));
    a.join();
    EXPECT_EQ(firstBytes.load(), 3u);
    scripted_->SendMessage(std::vector<UCHAR>(5, 0xB2));
    b.join();
    EXPECT_EQ(secondBytes.load(), 5u);
    EXPECT_EQ(first[0], 0xA1);
    EXPECT_EQ(second[0], 0xB2);
    sim::Hooks().timedWaitStarted = nullptr;
}

TEST_P(DeviceFailuresTest, WhatTheDeviceDoesWrongBecomesAWin32Error)
{
    std::vector<UCHAR> five(5, 0xEE);
    scripted_->SendMessage(std::vector<UCHAR>(10, 0x10));
    Transfer read = Read(port_, five);
    EXPECT_EQ(read.error, DWORD{ERROR_INSUFFICIENT_BUFFER}) << "more bytes than asked";
    EXPECT_EQ(read.bytes, 0u);
    EXPECT_EQ(five[0], 0xEE);

    scripted_->AcceptOut(9);
    Transfer written = Write(port_, std::vector<UCHAR>(10, 1));
    EXPECT_EQ(written.error, DWORD{ERROR_IO_DEVICE}) << "a write taken partly";

    device_->NewRequests();
    scripted_->FailIn(STATUS_UNSUCCESSFUL, USBD_STATUS_INTERNAL_HC_ERROR);
    EXPECT_EQ(Read(port_, five).error, DWORD{ERROR_IO_DEVICE});
    std::vector<sim::UsbRequestRecord> sent = device_->NewRequests();
    // The recovery: both pipes, then the port.
    EXPECT_EQ(
        std::count_if(sent.begin(), sent.end(), [](const auto& r) { return r.kind == sim::UsbRequestKind::ResetPort; }),
        1);
    EXPECT_EQ(
        std::count_if(sent.begin(), sent.end(),
                      [](const auto& r) { return r.urbFunction == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL; }),
        2);

    // And the port serves again.
    scripted_->SendMessage(std::vector<UCHAR>(3, 0x33));
    EXPECT_EQ(Read(port_, five).bytes, 3u);
}

TEST_P(DeviceFailuresTest, NoSystemMappingOfTheBufferMeansNoTransfer)
{
    std::vector<UCHAR> data(4, 1);
    sim::Faults::FailNthCall(sim::Fault::MapLockedPages, 1);
    EXPECT_EQ(Write(port_, data).error, DWORD{ERROR_NO_SYSTEM_RESOURCES});
    EXPECT_TRUE(scripted_->Written().empty());
}

TEST_P(DeviceFailuresTest, UnplugDuringATransferEndsItThenTheDeviceGoesOnceClosed)
{
    std::vector<UCHAR> buffer(8);
    std::atomic<DWORD> error{0};
    WatchForTransfers();
    std::thread reader([&] {
        Transfer read = Read(port_, buffer);
        error = read.error;
    });
    WaitForTransferInFlight();
    sim::Hooks().timedWaitStarted = nullptr;
    device_->Bus().Unplug(device_->Pdo());
    reader.join();
    EXPECT_EQ(error.load(), DWORD{ERROR_ACCESS_DENIED}) << "the delete-pending status";
    device_->Pnp().WaitUntilIdle();
    EXPECT_TRUE(device_->Extension()->Removed) << "surprise removal";

    Transfer later = Read(port_, buffer);
    EXPECT_EQ(later.error, DWORD{ERROR_BAD_COMMAND}) << "refused by the readiness test";
    EXPECT_NE(device_->Pdo()->AttachedDevice, nullptr) << "the remove waits for the handle";
    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    sim::WaitForDeferredCloses();
    device_->Pnp().WaitUntilIdle();
    EXPECT_EQ(device_->Pdo()->AttachedDevice, nullptr) << "removed once the last handle closed";
}

// Between a pulled cable and the hub seeing its port empty, each read or
// write meets a transaction error on a port that still reads connected and
// runs the recovery once, every step of which fails; once Windows has
// removed the device, requests get the device-gone outcome.
TEST_P(DeviceFailuresTest, APulledCableFailsEachRequestAfterOneRecoveryUntilTheDeviceIsSeenGone)
{
    device_->Bus().SetUnplugMode(device_->Pdo(), sim::UnplugMode::CablePull);
    ReopenOverlapped();
    COMMTIMEOUTS patient{MAXDWORD, 0, MAXDWORD, 0, MAXDWORD};
    ASSERT_TRUE(SetCommTimeouts(port_, &patient));
    WatchForTransfers();
    WaitWatcher watcher;
    std::vector<UCHAR> buffer(8);
    Transfer read{}, written{};
    std::thread reader([&] { read = ReadOverlapped(port_, buffer); });
    WaitForTransferInFlight();
    std::thread writer([&] { written = WriteOverlapped(port_, Pattern(4)); });
    watcher.WaitUntilBlockedOn(&device_->Extension()->IoSemaphore);

    device_->Bus().Unplug(device_->Pdo());
    reader.join();
    writer.join();
    EXPECT_EQ(read.error, DWORD{ERROR_IO_DEVICE});
    EXPECT_EQ(written.error, DWORD{ERROR_IO_DEVICE});
    // A request that comes while the port still reads connected.
    EXPECT_EQ(ReadOverlapped(port_, buffer).error, DWORD{ERROR_IO_DEVICE});
    std::vector<sim::UsbRequestRecord> sent = device_->NewRequests();
    auto count = [&](auto matches) { return std::count_if(sent.begin(), sent.end(), matches); };
    EXPECT_EQ(count([](const auto& r) { return r.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER; }), 3);
    EXPECT_EQ(count([](const auto& r) { return r.kind == sim::UsbRequestKind::ResetPort; }), 3);
    EXPECT_EQ(count([](const auto& r) { return r.urbFunction == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL; }), 6);
    EXPECT_EQ(count([](const auto& r) {
                  return r.kind != sim::UsbRequestKind::GetPortStatus && r.status != STATUS_UNSUCCESSFUL;
              }),
              0)
        << "the device answers nothing";

    device_->Bus().NoticeUnplug(device_->Pdo());
    device_->Pnp().WaitUntilIdle();
    EXPECT_TRUE(device_->Extension()->Removed) << "surprise removal";
    EXPECT_EQ(WriteOverlapped(port_, Pattern(4)).error, DWORD{ERROR_BAD_COMMAND});
    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    sim::WaitForDeferredCloses();
    device_->Pnp().WaitUntilIdle();
    EXPECT_EQ(device_->Pdo()->AttachedDevice, nullptr) << "removed once the handle closed";
    sim::Hooks().timedWaitStarted = nullptr;
}

// The hub sees the port empty while a write that met the pulled cable is
// in its recovery: the write ends as device-gone, the recovery sends nothing
// more, and the read waiting behind it is refused.
TEST_P(DeviceFailuresTest, APulledCableSeenGoneDuringTheRecoveryEndsTheWriteAsDeviceGone)
{
    device_->Bus().SetUnplugMode(device_->Pdo(), sim::UnplugMode::CablePull);
    ReopenOverlapped();
    COMMTIMEOUTS patient{MAXDWORD, 0, MAXDWORD, 0, MAXDWORD};
    ASSERT_TRUE(SetCommTimeouts(port_, &patient));
    scripted_->IgnoreOut();
    std::atomic<bool> noticed{false};
    sim::Hooks().requestArriving = [&](PDEVICE_OBJECT target, PIRP irp) {
        const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
        if (target != device_->Pdo() || stack.MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
            stack.Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
            return;
        }
        auto* urb = static_cast<PURB>(stack.Parameters.Others.Argument1);
        if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL && !noticed.exchange(true)) {
            device_->Bus().NoticeUnplug(device_->Pdo());
            device_->Pnp().WaitUntilIdle();
        }
    };
    WatchForTransfers();
    WaitWatcher watcher;
    std::vector<UCHAR> buffer(8);
    Transfer read{}, written{};
    std::thread writer([&] { written = WriteOverlapped(port_, Pattern(4)); });
    WaitForTransferInFlight();
    std::thread reader([&] { read = ReadOverlapped(port_, buffer); });
    watcher.WaitUntilBlockedOn(&device_->Extension()->IoSemaphore);

    device_->Bus().Unplug(device_->Pdo());
    writer.join();
    reader.join();
    sim::Hooks().requestArriving = nullptr;
    sim::Hooks().timedWaitStarted = nullptr;
    EXPECT_EQ(written.error, DWORD{ERROR_ACCESS_DENIED}) << "the delete-pending status";
    EXPECT_EQ(read.error, DWORD{ERROR_BAD_COMMAND}) << "refused by the readiness test";
    std::vector<sim::UsbRequestRecord> sent = device_->NewRequests();
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                            [](const auto& r) {
                                return r.kind == sim::UsbRequestKind::ResetPort ||
                                       r.urbFunction == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
                            }),
              1)
        << "only the reset the hub's notice overtook";

    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    sim::WaitForDeferredCloses();
    device_->Pnp().WaitUntilIdle();
    EXPECT_EQ(device_->Pdo()->AttachedDevice, nullptr);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, DeviceFailuresTest,
                         ::testing::Values(CompletionMode::Synchronous, CompletionMode::ControllerThread),
                         [](const auto& info) {
                             return info.param == CompletionMode::Synchronous ? "CallerThread" : "ControllerThread";
                         });

}  // namespace
}  // namespace bulkcom_test
