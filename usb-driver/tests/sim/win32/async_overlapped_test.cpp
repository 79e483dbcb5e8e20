// Overlapped control requests: completed at once or later, from another
// thread or at DISPATCH_LEVEL; what the OVERLAPPED, its event and the file
// handle show; GetOverlappedResult; and synchronous handles, which wait.

#include <atomic>
#include <cstring>
#include <string>

#include "kernel/irql.h"
#include "sim/support/driver_thread.h"
#include "sim/support/held_requests.h"
#include "sim/support/win32_port.h"

namespace bulkcom_test {
namespace {

constexpr DWORD IoctlFetch = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x820, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG_PTR Pending = static_cast<ULONG_PTR>(STATUS_PENDING);

ULONG_PTR AsInternal(NTSTATUS status)
{
    return static_cast<ULONG_PTR>(static_cast<ULONG>(status));
}

// Completes a held request as a driver would: its answer in the system
// buffer, then the status.
void Answer(PIRP irp, const char* text, NTSTATUS status = STATUS_SUCCESS)
{
    size_t length = std::strlen(text);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, text, length);
    CompleteWith(irp, status, length);
}

class Win32OverlappedTest : public Win32PortTest {
protected:
    void SetUp() override
    {
        Win32PortTest::SetUp();
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event_, nullptr);
        overlapped_.hEvent = event_;
        port_ = OpenPort(true);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }

    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
        EXPECT_TRUE(CloseHandle(event_));
        Win32PortTest::TearDown();
    }

    // The driver completes each control request at once with the answer
    // and status given.
    void AnswerAtOnce(const char* text, NTSTATUS status)
    {
        On(IRP_MJ_DEVICE_CONTROL, [text, status](PDEVICE_OBJECT, PIRP irp) {
            Answer(irp, text, status);
            return status;
        });
    }

    void HoldControlRequests()
    {
        On(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) { return held_.Hold(irp); });
    }

    BOOL Fetch(LPOVERLAPPED overlapped)
    {
        std::memset(output_, '.', sizeof output_);
        returned_ = 99;
        return DeviceIoControl(port_, IoctlFetch, nullptr, 0, output_, sizeof output_, &returned_, overlapped);
    }

    bool Signalled(HANDLE handle) { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }

    std::string Output() const { return std::string(output_, sizeof output_); }

    // The request succeeded: its answer in the output, the OVERLAPPED and
    // the event saying so.
    void ExpectSucceeded(const std::string& output)
    {
        EXPECT_EQ(Output(), output);
        EXPECT_EQ(overlapped_.Internal, AsInternal(STATUS_SUCCESS));
        EXPECT_TRUE(Signalled(event_));
    }

    // Overlapped, unless a test reopens it.
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    OVERLAPPED overlapped_{};
    HeldRequests held_;
    char output_[6] = {};
    DWORD returned_ = 0;
};

TEST_F(Win32OverlappedTest, ARequestCompletedAtOnceReturnsTrueAndFillsTheOverlapped)
{
    AnswerAtOnce("xyz", STATUS_SUCCESS);
    ASSERT_TRUE(SetEvent(event_));

    EXPECT_TRUE(Fetch(&overlapped_));
    EXPECT_EQ(returned_, 3u);
    ExpectSucceeded("xyz...");
    EXPECT_EQ(overlapped_.InternalHigh, 3u);
    EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped_));

    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &overlapped_, &bytes, FALSE));
    EXPECT_EQ(bytes, 3u);
}

TEST_F(Win32OverlappedTest, APendingRequestReportsIoPendingAndCompletesFromAnotherThread)
{
    HoldControlRequests();
    ASSERT_TRUE(SetEvent(event_));

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(Fetch(&overlapped_));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    EXPECT_EQ(held_.Count(), 1u);
    EXPECT_EQ(overlapped_.Internal, Pending);
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped_));
    EXPECT_FALSE(Signalled(event_)) << "sending the request resets the event";
    DWORD bytes = 77;
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped_, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_INCOMPLETE});
    EXPECT_EQ(bytes, 77u);

    // The driver's own thread completes it while the application waits.
    DriverThread driver(held_, [this] { Answer(held_.Take(), "ab"); });
    EXPECT_TRUE(GetOverlappedResult(port_, &overlapped_, &bytes, TRUE));
    driver.Join();
    EXPECT_EQ(bytes, 2u);
    ExpectSucceeded("ab....");
}

TEST_F(Win32OverlappedTest, ACompletionAtDispatchLevelFillsTheOverlappedAndSignalsTheEvent)
{
    HoldControlRequests();
    EXPECT_FALSE(Fetch(&overlapped_));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    {
        sim::ScopedIrql dpc(DISPATCH_LEVEL);
        Answer(held_.Take(), "dpc");
    }
    EXPECT_EQ(WaitForSingleObject(event_, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(overlapped_.Internal, AsInternal(STATUS_SUCCESS));
    EXPECT_EQ(overlapped_.InternalHigh, 3u);
    EXPECT_EQ(Output(), "dpc...");
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &overlapped_, &bytes, FALSE));
    EXPECT_EQ(bytes, 3u);
}

TEST_F(Win32OverlappedTest, AFailureAfterPendingReachesGetOverlappedResultWithNoData)
{
    HoldControlRequests();
    EXPECT_FALSE(Fetch(&overlapped_));
    Answer(held_.Take(), "no", STATUS_INVALID_DEVICE_STATE);

    EXPECT_TRUE(Signalled(event_));
    EXPECT_EQ(overlapped_.Internal, AsInternal(STATUS_INVALID_DEVICE_STATE));
    DWORD bytes = 77;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped_, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_COMMAND});
    EXPECT_EQ(Output(), "......") << "an error copies nothing back";
}

TEST_F(Win32OverlappedTest, AnErrorAtOnceLeavesTheOverlappedAndTheEventAloneButAWarningDoesNot)
{
    AnswerAtOnce("err", STATUS_INVALID_PARAMETER);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(Fetch(&overlapped_));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(overlapped_.Internal, Pending);
    EXPECT_FALSE(Signalled(event_));
    EXPECT_EQ(Output(), "......");

    AnswerAtOnce("warn!!", STATUS_BUFFER_OVERFLOW);
    EXPECT_FALSE(Fetch(&overlapped_));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MORE_DATA});
    EXPECT_EQ(overlapped_.Internal, AsInternal(STATUS_BUFFER_OVERFLOW));
    EXPECT_EQ(overlapped_.InternalHigh, 6u);
    EXPECT_TRUE(Signalled(event_));
    EXPECT_EQ(Output(), "warn!!") << "a warning still carries its data";
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &overlapped_, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MORE_DATA});
    EXPECT_EQ(bytes, 6u);
}

TEST_F(Win32OverlappedTest, WithoutAnEventTheFileHandleIsSignalled)
{
    HoldControlRequests();
    OVERLAPPED overlapped{};
    EXPECT_FALSE(Fetch(&overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    EXPECT_EQ(WaitForSingleObject(port_, 0), WAIT_TIMEOUT);

    DriverThread driver(held_, [this] {
        sim::ScopedIrql dpc(DISPATCH_LEVEL);
        Answer(held_.Take(), "f");
    });
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &overlapped, &bytes, TRUE));
    driver.Join();
    EXPECT_EQ(bytes, 1u);
    EXPECT_EQ(WaitForSingleObject(port_, 0), WAIT_OBJECT_0);
}

TEST_F(Win32OverlappedTest, AnOverlappedHandleNeedsAnOverlappedAndAValidEvent)
{
    AnswerAtOnce("x", STATUS_SUCCESS);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(Fetch(nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});

    // A file handle is not an event.
    OVERLAPPED overlapped{};
    overlapped.hEvent = port_;
    EXPECT_FALSE(Fetch(&overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(Majors(), std::vector<UCHAR>{IRP_MJ_CREATE}) << "neither reached the driver";
}

TEST_F(Win32OverlappedTest, ASynchronousHandleWaitsForAPendingRequestAndStillFillsTheOverlapped)
{
    HoldControlRequests();
    ASSERT_TRUE(CloseHandle(port_));
    port_ = OpenPort(false);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);

    std::atomic<bool> completed{false};
    DriverThread driver(held_, [this, &completed] {
        completed = true;
        Answer(held_.Take(), "sync");
    });
    EXPECT_TRUE(Fetch(&overlapped_));
    EXPECT_TRUE(completed) << "the call returned before the request completed";
    driver.Join();
    EXPECT_EQ(returned_, 4u);
    ExpectSucceeded("sync..");
}

TEST_F(Win32OverlappedTest, ADispatchRoutineReturningSuccessForAnUncompletedRequestIsStopped)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    On(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    });
    EXPECT_DEATH(Fetch(&overlapped_), "DRIVER_VERIFIER_IOMANAGER_VIOLATION");
}

}  // namespace
}  // namespace bulkcom_test
