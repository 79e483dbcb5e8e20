// The held wait-on-mask request through the application API: held, a
// second one refused, completed by purge and close, cancelled by its sender
// and by its thread's end, holding back every other call on a synchronous
// handle, and all of them racing.

#include <atomic>
#include <thread>
#include <vector>

#include "application_side.h"
#include "support/open_port_test.h"
#include "support/wait_watcher.h"

namespace bulkcom_test {
namespace {

// One overlapped wait-on-mask request with its event.
struct PendingWait {
    OVERLAPPED overlapped{};
    ULONG mask = SERIAL_EV_RXCHAR;
    ULONG events = 0xFFFFFFFF;

    PendingWait() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~PendingWait() { CloseHandle(overlapped.hEvent); }

    // The request with the 4-byte input the driver's size rule asks for.
    BOOL Issue(HANDLE port)
    {
        DWORD bytes = 0;
        return DeviceIoControl(port, IOCTL_SERIAL_WAIT_ON_MASK, &mask, sizeof mask, &events, sizeof events, &bytes,
                               &overlapped);
    }
    bool Done() { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
    // The request's end: its Win32 error (0 for success) and bytes.
    std::pair<DWORD, DWORD> Result(HANDLE port)
    {
        DWORD bytes = 0xDEAD;
        BOOL ok = GetOverlappedResult(port, &overlapped, &bytes, TRUE);
        return {ok ? DWORD{0} : GetLastError(), bytes};
    }
};

BOOL Purge(HANDLE port, DWORD inputLength = 4)
{
    ULONG mask = SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR;
    DWORD bytes = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = DeviceIoControl(port, IOCTL_SERIAL_PURGE, &mask, inputLength, nullptr, 0, &bytes, &overlapped);
    CloseHandle(overlapped.hEvent);
    return ok;
}

class WaitOnMaskTest : public OpenPortTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        StartAndOpen(std::make_shared<sim::LoopbackDevice>(), sim::CompletionMode::ControllerThread,
                     PortOpen::Overlapped);
    }

    PIRP Held() { return device_->Extension()->PendingWaitIrp; }
};

TEST_F(WaitOnMaskTest, HeldUntilAPurgeWhateverElseArrives)
{
    PendingWait first;
    EXPECT_FALSE(first.Issue(port_));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    EXPECT_NE(Held(), nullptr);
    EXPECT_EQ(device_->Extension()->OutstandingIo, 1) << "a held request keeps no reference";

    PendingWait second;
    EXPECT_FALSE(second.Issue(port_));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << "one wait at a time";

    EXPECT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY));
    EXPECT_FALSE(Purge(port_, 0)) << "a purge needs its 4-byte mask";
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &first.overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_INCOMPLETE}) << "still held";

    EXPECT_TRUE(Purge(port_));
    EXPECT_EQ(first.Result(port_), std::make_pair(DWORD{0}, DWORD{0})) << "success with no event mask";
    EXPECT_EQ(first.events, 0xFFFFFFFFu) << "nothing is written into the mask";
    EXPECT_EQ(Held(), nullptr);
    EXPECT_TRUE(Purge(port_)) << "a purge with nothing held just succeeds";
}

TEST_F(WaitOnMaskTest, WaitCommEventIsRefusedByTheSizeRule)
{
    // Windows' own library sends the request with no input: the driver's
    // rule takes the input length, so the call fails at once.
    DWORD events = 7;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(WaitCommEvent(port_, &events, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Held(), nullptr);
    CloseHandle(overlapped.hEvent);
}

TEST_F(WaitOnMaskTest, ItsSenderCanCancelIt)
{
    PendingWait wait;
    wait.Issue(port_);
    ASSERT_NE(Held(), nullptr);
    EXPECT_TRUE(CancelIo(port_));
    EXPECT_EQ(wait.Result(port_).first, DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(Held(), nullptr);

    PendingWait next;
    EXPECT_FALSE(next.Issue(port_));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING}) << "the place is free again";
    EXPECT_TRUE(Purge(port_));
    EXPECT_EQ(next.Result(port_).first, DWORD{0});
}

TEST_F(WaitOnMaskTest, ACloseWithTheWaitHeldCompletesItFirst)
{
    // The close request comes only once nothing is pending on the file, so
    // the driver's close can only meet a wait sent on another handle's
    // behalf; here it meets none and the port closes.
    PendingWait wait;
    wait.Issue(port_);
    EXPECT_TRUE(Purge(port_));
    wait.Result(port_);
    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    sim::WaitForDeferredCloses();
    EXPECT_FALSE(device_->Extension()->PortOpen);
}

TEST_F(WaitOnMaskTest, ItsThreadsEndCancelsItAndTheCloseThenComes)
{
    std::thread sender([&] {
        PendingWait wait;
        sim::ApplicationThreadScope scope;
        wait.Issue(port_);
        EXPECT_NE(Held(), nullptr);
        // The handle is closed while the wait is held: no close yet.
        EXPECT_TRUE(CloseHandle(port_));
        port_ = INVALID_HANDLE_VALUE;
        sim::WaitForDeferredCloses();
        EXPECT_TRUE(device_->Extension()->PortOpen) << "the file is still held by the wait";
        EXPECT_EQ(OpenComPort(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    });
    sender.join();
    sim::WaitForDeferredCloses();
    EXPECT_EQ(Held(), nullptr);
    EXPECT_FALSE(device_->Extension()->PortOpen) << "the close came after the cancelled wait";
    port_ = OpenComPortOverlapped();
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << "and the port opens again";
}

TEST_F(WaitOnMaskTest, OnASynchronousHandleEveryOtherCallWaitsBehindItUntilCancelIoExEndsIt)
{
    ASSERT_TRUE(CloseHandle(port_));
    port_ = OpenComPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    WaitWatcher watcher;
    std::atomic<DWORD> waitError{ERROR_GEN_FAILURE};
    std::thread sender([&] {
        ULONG mask = SERIAL_EV_RXCHAR;
        DWORD bytes = 0;
        waitError =
            DeviceIoControl(port_, IOCTL_SERIAL_WAIT_ON_MASK, &mask, sizeof mask, &mask, sizeof mask, &bytes, nullptr)
                ? DWORD{ERROR_SUCCESS}
                : GetLastError();
    });
    watcher.WaitUntilThreadBlocked(sender.get_id());
    ASSERT_NE(Held(), nullptr);
    std::atomic<bool> purged{false};
    std::thread purger([&] { purged = PurgeComm(port_, PURGE_RXCLEAR) == TRUE; });
    watcher.WaitUntilBlockedOn(sim::FileObjectLockOf(port_));
    EXPECT_NE(Held(), nullptr) << "the purge that would end it waits behind it";

    EXPECT_TRUE(CancelIoEx(port_, nullptr));
    sender.join();
    purger.join();
    EXPECT_EQ(waitError.load(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_TRUE(purged.load());
    EXPECT_EQ(Held(), nullptr);
}

TEST_F(WaitOnMaskTest, WaitsPurgesCancelsAndClosesRacingCompleteEveryRequestOnce)
{
    for (int round = 0; round < 60; round++) {
        std::atomic<bool> go{false};
        std::atomic<int> issued{0};
        std::vector<std::thread> threads;
        for (int waiter = 0; waiter < 2; waiter++) {
            threads.emplace_back([&, waiter] {
                // The wait outlives the thread's end, which cancels it.
                PendingWait wait;
                sim::ApplicationThreadScope scope;
                while (!go) {
                }
                bool pending = !wait.Issue(port_) && GetLastError() == ERROR_IO_PENDING;
                issued++;
                if (pending && (round + waiter) % 3 == 0) {
                    CancelIo(port_);
                }
                // Otherwise the purges below or this thread's end finish it.
                if (pending && (round + waiter) % 3 != 1) {
                    wait.Result(port_);
                }
            });
        }
        std::thread purger([&] {
            while (!go) {
            }
            Purge(port_);
        });
        go = true;
        purger.join();
        // Whatever is still held once every wait went out ends by this purge.
        while (issued < 2) {
            std::this_thread::yield();
        }
        Purge(port_);
        for (auto& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(Held(), nullptr) << "round " << round;
        if (round % 10 == 9) {
            ASSERT_TRUE(CloseHandle(port_));
            sim::WaitForDeferredCloses();
            port_ = OpenComPortOverlapped();
            ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        }
    }
    EXPECT_EQ(device_->Extension()->OutstandingIo, 1);
}

}  // namespace
}  // namespace bulkcom_test
