// Concurrency stress in the manner of the hardware lab's: application
// threads share the port's one overlapped handle for self-checking round
// trips, purges, held waits ended by CancelIo or a purge, comm state get and
// set, and close and reopen, while another thread sends query-stop and
// cancel, rebalances, and query-remove and cancel, and finally unplugs the
// device. Told of each query-remove, the applications close the port, as
// Windows sends the query only once no file is open; they reopen it later.
// Every request must complete, every message read back must be one written,
// whole and only once, and the platform must be clean at the end.
//
// It runs for a few seconds; BULKCOM_STRESS_SECONDS asks for longer.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "application_side.h"
#include "kernel/pool.h"
#include "support/port_access.h"
#include "support/power_cases.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"

namespace bulkcom_test {
namespace {

constexpr int Workers = 3;
// Under one packet, so that each message is one short packet.
constexpr size_t LongestMessage = 63;
constexpr size_t Header = 6;

std::chrono::seconds StressDuration()
{
    const char* asked = std::getenv("BULKCOM_STRESS_SECONDS");
    return std::chrono::seconds(asked != nullptr ? std::max(1, std::atoi(asked)) : 3);
}

UCHAR PatternByte(UCHAR worker, ULONG sequence, size_t index)
{
    return static_cast<UCHAR>(worker * 13 + sequence * 31 + index * 7);
}

// Worker, sequence number and length, then a pattern only they produce.
std::vector<UCHAR> Message(UCHAR worker, ULONG sequence, size_t length)
{
    std::vector<UCHAR> bytes(length);
    bytes[0] = worker;
    for (int i = 0; i < 4; ++i) {
        bytes[1 + i] = static_cast<UCHAR>(sequence >> (8 * i));
    }
    bytes[5] = static_cast<UCHAR>(length);
    for (size_t i = Header; i < length; ++i) {
        bytes[i] = PatternByte(worker, sequence, i);
    }
    return bytes;
}

// The message's worker and sequence number when it is whole.
std::optional<std::pair<UCHAR, ULONG>> Parse(const std::vector<UCHAR>& bytes)
{
    if (bytes.size() < Header || bytes[5] != bytes.size() || bytes[0] >= Workers) {
        return std::nullopt;
    }
    ULONG sequence = 0;
    for (int i = 0; i < 4; ++i) {
        sequence |= ULONG{bytes[1 + i]} << (8 * i);
    }
    for (size_t i = Header; i < bytes.size(); ++i) {
        if (bytes[i] != PatternByte(bytes[0], sequence, i)) {
            return std::nullopt;
        }
    }
    return std::make_pair(bytes[0], sequence);
}

struct Tally {
    std::atomic<unsigned long> started{0};
    std::atomic<unsigned long> completed{0};
    std::atomic<unsigned long> echoes{0};
    std::atomic<unsigned long> pnpRequests{0};
};

class StressTest : public SimTest, public ::testing::WithParamInterface<sim::CompletionMode> {
protected:
    void TearDown() override
    {
        sim::WaitForDeferredCloses();
        if (device_) {
            device_->WaitUntilQuiet();
        }
        device_.reset();
        SimTest::TearDown();
    }

    // One overlapped request on the shared handle, waited for.
    template <typename Issue>
    BOOL Request(HANDLE port, Issue issue, DWORD* bytes)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        tally_.started++;
        BOOL ok = issue(&overlapped);
        if (ok || GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(port, &overlapped, bytes, TRUE);
        }
        tally_.completed++;
        CloseHandle(overlapped.hEvent);
        return ok;
    }

    void RoundTrip(HANDLE port, UCHAR worker, ULONG sequence, std::mt19937& random)
    {
        std::vector<UCHAR> message =
            Message(worker, sequence, std::uniform_int_distribution<size_t>(Header, LongestMessage)(random));
        DWORD bytes = 0;
        Request(
            port, [&](OVERLAPPED* o) { return WriteFile(port, message.data(), DWORD(message.size()), nullptr, o); },
            &bytes);
        std::vector<UCHAR> buffer(64);
        if (Request(
                port, [&](OVERLAPPED* o) { return ReadFile(port, buffer.data(), 64, nullptr, o); }, &bytes) &&
            bytes != 0) {
            // Any worker's echo may come back to this one.
            buffer.resize(bytes);
            std::optional<std::pair<UCHAR, ULONG>> parsed = Parse(buffer);
            ASSERT_TRUE(parsed.has_value()) << "a message came back damaged";
            std::lock_guard lock(echoesLock_);
            EXPECT_TRUE(echoes_.insert(*parsed).second) << "a message came back twice";
            tally_.echoes++;
        }
    }

    void HeldWait(HANDLE port, bool byCancel)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ULONG mask = SERIAL_EV_RXCHAR;
        DWORD bytes = 0;
        tally_.started++;
        if (!DeviceIoControl(port, IOCTL_SERIAL_WAIT_ON_MASK, &mask, sizeof mask, &mask, sizeof mask, nullptr,
                             &overlapped) &&
            GetLastError() == ERROR_IO_PENDING) {
            // A purge refused while a Plug and Play change is pending leaves
            // the wait held: then the application cancels it.
            if (byCancel || !PurgeComm(port, PURGE_RXABORT)) {
                CancelIo(port);
            }
            // Another worker's purge or cancel may end it first: either way it ends.
            GetOverlappedResult(port, &overlapped, &bytes, TRUE);
        }
        tally_.completed++;
        CloseHandle(overlapped.hEvent);
    }

    void Settings(HANDLE port)
    {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (GetCommState(port, &dcb)) {
            dcb.BaudRate = dcb.BaudRate == CBR_115200 ? CBR_57600 : CBR_115200;
            SetCommState(port, &dcb);
        }
        COMMTIMEOUTS timeouts{0, 0, 20, 0, 200};
        SetCommTimeouts(port, &timeouts);
    }

    void Work(UCHAR worker, std::chrono::steady_clock::time_point end)
    {
        sim::ApplicationThreadScope application;
        std::mt19937 random(1000u + worker);
        for (ULONG sequence = 0; std::chrono::steady_clock::now() < end && !HasFatalFailure(); ++sequence) {
            int choice = std::uniform_int_distribution<int>(0, 99)(random);
            if (choice < 3) {
                Reopen();
                continue;
            }
            std::shared_lock use(handleLock_);
            if (port_ == INVALID_HANDLE_VALUE) {
                continue;
            }
            if (choice < 60) {
                RoundTrip(port_, worker, sequence, random);
            } else if (choice < 70) {
                PurgeComm(port_, PURGE_TXCLEAR | PURGE_RXCLEAR);
            } else if (choice < 85) {
                HeldWait(port_, choice < 78);
            } else {
                Settings(port_);
            }
        }
    }

    // Close and open again; refused while a query-stop or query-remove is
    // pending, and tried again later.
    void Reopen()
    {
        std::unique_lock exclusive(handleLock_);
        ClosePort();
        port_ = OpenComPortOverlapped();
        if (port_ != INVALID_HANDLE_VALUE) {
            COMMTIMEOUTS timeouts{0, 0, 20, 0, 200};
            SetCommTimeouts(port_, &timeouts);
        }
    }

    // Under the exclusive lock: no request uses the handle, and its close is sent at once.
    void ClosePort()
    {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
            port_ = INVALID_HANDLE_VALUE;
        }
    }

    void PlugAndPlay(std::chrono::steady_clock::time_point end)
    {
        sim::PnpManager& pnp = device_->Pnp();
        PDEVICE_OBJECT pdo = device_->Pdo();
        pnp.WatchQueryRemove(pdo, [this] {
            std::unique_lock exclusive(handleLock_);
            ClosePort();
        });
        for (int round = 0; std::chrono::steady_clock::now() < end; ++round) {
            // Paced by the applications' progress, so that their requests
            // meet every state rather than mostly refusals.
            unsigned long paced = tally_.completed.load() + 20;
            while (tally_.completed.load() < paced && std::chrono::steady_clock::now() < end) {
                std::this_thread::yield();
            }
            switch (round % 3) {
            case 0:
                if (NT_SUCCESS(pnp.SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE))) {
                    pnp.SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
                }
                break;
            case 1:
                EXPECT_EQ(pnp.Rebalance(pdo), STATUS_SUCCESS);
                break;
            default:
                // Vetoed when a worker reopened the port just before the check.
                if (NT_SUCCESS(pnp.SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE))) {
                    pnp.SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
                }
                break;
            }
            tally_.pnpRequests++;
        }
    }

    std::unique_ptr<UsbDeviceUnderTest> device_;
    std::shared_mutex handleLock_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::mutex echoesLock_;
    std::set<std::pair<UCHAR, ULONG>> echoes_;
    Tally tally_;
};

TEST_P(StressTest, ApplicationThreadsAndPlugAndPlayRequestsAtOnce)
{
    device_ = std::make_unique<UsbDeviceUnderTest>(std::make_shared<sim::LoopbackDevice>(), GetParam());
    device_->AddAndStart();
    device_->Bus().SetUnplugHandler([this](PDEVICE_OBJECT pdo) { device_->Pnp().ReportUnplugged(pdo); });
    Reopen();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);

    const std::chrono::seconds duration = StressDuration();
    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + duration;
    std::vector<std::thread> threads;
    for (UCHAR worker = 0; worker < Workers; ++worker) {
        threads.emplace_back([this, worker, end] { Work(worker, end); });
    }
    threads.emplace_back([this, end] { PlugAndPlay(end); });
    for (std::thread& thread : threads) {
        thread.join();
    }

    device_->Bus().Unplug(device_->Pdo());
    if (port_ != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(CloseHandle(port_));
        port_ = INVALID_HANDLE_VALUE;
    }
    sim::WaitForDeferredCloses();
    device_->Pnp().WaitUntilIdle();
    EXPECT_EQ(device_->Pdo()->AttachedDevice, nullptr) << "removed once the port was closed";

    EXPECT_EQ(tally_.completed.load(), tally_.started.load());
    EXPECT_GT(tally_.echoes.load(), 0u);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const auto perSecond = static_cast<long>(static_cast<double>(tally_.started.load()) / seconds);
    const sim::Pool::Peak peak = sim::Pool::PeakUse();
    std::cout << "stress: " << tally_.started.load() << " application requests (" << tally_.echoes.load()
              << " echoes checked) and " << tally_.pnpRequests.load() << " Plug and Play sequences in " << seconds
              << " s: " << perSecond << " requests/s; pool peak " << peak.bytes << " bytes in " << peak.blocks
              << " blocks\n";
}

INSTANTIATE_TEST_SUITE_P(Reliability, StressTest,
                         ::testing::Values(sim::CompletionMode::Synchronous, sim::CompletionMode::ControllerThread),
                         [](const auto& info) { return CompletionModeName(info); });

}  // namespace
}  // namespace bulkcom_test
