// ReadFile and WriteFile on a direct-I/O device: the memory descriptor the
// driver gets for the caller's buffer (none for a zero-length request),
// synchronous and overlapped completion, the byte count the caller sees,
// the Win32 error each failure maps to, and cancellation by the sender.

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "application_side.h"
#include "kernel/pool.h"
#include "sim/support/held_requests.h"
#include "sim/support/overlapped_request.h"
#include "sim/support/win32_port.h"

namespace bulkcom_test {
namespace {

constexpr ULONG_PTR PageSize = 4096;

ULONG_PTR AsInternal(NTSTATUS status)
{
    return static_cast<ULONG_PTR>(static_cast<ULONG>(status));
}

size_t DescriptorsAllocated()
{
    auto all = sim::Pool::Outstanding();
    return static_cast<size_t>(std::count_if(all.begin(), all.end(), [](const sim::PoolAllocation& allocation) {
        return allocation.tag == sim::PoolTag("Mdl ");
    }));
}

// What the driver found in a read or write request when it arrived.
struct Seen {
    bool arrived = false;
    UCHAR major = 0;
    bool hasDescriptor = false;
    PVOID startVa = nullptr;
    ULONG byteOffset = 0;
    ULONG byteCount = 0;
    CSHORT flags = 0;
    CSHORT size = 0;
    PMDL next = nullptr;
    PVOID systemAddress = nullptr;
    ULONG length = 0;
    LONGLONG position = -1;
};

Seen Inspect(PIRP irp)
{
    Seen seen;
    seen.arrived = true;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    seen.major = stack->MajorFunction;
    // Read and Write share one layout.
    seen.length = stack->Parameters.Read.Length;
    seen.position = stack->Parameters.Read.ByteOffset.QuadPart;
    if (PMDL mdl = irp->MdlAddress; mdl != nullptr) {
        seen.hasDescriptor = true;
        seen.startVa = mdl->StartVa;
        seen.byteOffset = MmGetMdlByteOffset(mdl);
        seen.byteCount = MmGetMdlByteCount(mdl);
        seen.flags = mdl->MdlFlags;
        seen.size = mdl->Size;
        seen.next = mdl->Next;
        seen.systemAddress = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    }
    return seen;
}

class Win32ReadWriteTest : public Win32PortTest {
protected:
    void SetUp() override
    {
        Win32PortTest::SetUp();
        port_->Flags |= DO_DIRECT_IO;
        std::memset(pages_, '.', sizeof pages_);
    }

    // Reads get `reply` through the descriptor's system-space mapping,
    // writes hand over what it describes; both complete at once with the
    // bytes moved.
    void Serve(std::string reply = {})
    {
        auto serve = [this, reply](PDEVICE_OBJECT, PIRP irp) {
            seen_ = Inspect(irp);
            if (!seen_.hasDescriptor) {
                return CompleteWith(irp, STATUS_SUCCESS, 0);
            }
            auto* mapped = static_cast<char*>(seen_.systemAddress);
            if (seen_.major == IRP_MJ_WRITE) {
                written_.assign(mapped, seen_.byteCount);
                return CompleteWith(irp, STATUS_SUCCESS, seen_.byteCount);
            }
            size_t moved = std::min<size_t>(reply.size(), seen_.byteCount);
            std::memcpy(mapped, reply.data(), moved);
            return CompleteWith(irp, STATUS_SUCCESS, moved);
        };
        On(IRP_MJ_READ, serve);
        On(IRP_MJ_WRITE, serve);
    }

    // Both complete at once with the status and byte count given.
    void CompleteEachWith(NTSTATUS status, ULONG_PTR information)
    {
        auto answer = [this, status, information](PDEVICE_OBJECT, PIRP irp) {
            seen_ = Inspect(irp);
            return CompleteWith(irp, status, information);
        };
        On(IRP_MJ_READ, answer);
        On(IRP_MJ_WRITE, answer);
    }

    // Both are held pending with a cancel routine.
    void Hold()
    {
        auto hold = [this](PDEVICE_OBJECT, PIRP irp) {
            seen_ = Inspect(irp);
            return held_.Hold(irp);
        };
        On(IRP_MJ_READ, hold);
        On(IRP_MJ_WRITE, hold);
    }
    HANDLE HoldAndOpenOverlapped()
    {
        Hold();
        return OpenPort(true);
    }

    // Completes the held read with `reply` written through its mapping.
    void AnswerHeldRead(const std::string& reply, NTSTATUS status = STATUS_SUCCESS)
    {
        PIRP irp = held_.Take();
        ASSERT_NE(irp, nullptr);
        std::memcpy(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), reply.data(), reply.size());
        CompleteWith(irp, status, reply.size());
    }

    bool SentAny(UCHAR major)
    {
        std::vector<UCHAR> majors = Majors();
        return std::find(majors.begin(), majors.end(), major) != majors.end();
    }

    std::string Text(const char* at, size_t length) const { return std::string(at, length); }

    alignas(PageSize) char pages_[3 * PageSize];
    Seen seen_;
    std::string written_;
    HeldRequests held_;
};

//
// The memory descriptor.
//

TEST_F(Win32ReadWriteTest, AReadDescribesTheCallersBufferWithLockedUnmappedPages)
{
    Serve("hello");
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    char* buffer = pages_ + PageSize + 100;
    DWORD read = 99;

    EXPECT_TRUE(ReadFile(port, buffer, 5000, &read, nullptr));
    ASSERT_TRUE(seen_.hasDescriptor);
    EXPECT_EQ(seen_.startVa, pages_ + PageSize) << "the page-aligned base";
    EXPECT_EQ(seen_.byteOffset, 100u) << "the offset within the first page";
    EXPECT_EQ(seen_.byteCount, 5000u);
    EXPECT_EQ(seen_.flags, MDL_PAGES_LOCKED) << "locked, not yet mapped to system space";
    EXPECT_EQ(seen_.size, static_cast<CSHORT>(sizeof(MDL) + 2 * sizeof(ULONG_PTR))) << "one frame per page spanned";
    EXPECT_EQ(seen_.next, nullptr);
    EXPECT_EQ(seen_.systemAddress, buffer) << "the mapping reaches the caller's own bytes";
    EXPECT_EQ(seen_.length, 5000u);
    EXPECT_EQ(seen_.position, 0);
    EXPECT_EQ(read, 5u);
    EXPECT_EQ(Text(buffer - 1, 7), ".hello.");
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32ReadWriteTest, AWriteDescribesTheCallersBytesAcrossAPageBoundary)
{
    Serve();
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    char* buffer = pages_ + PageSize - 10;
    const std::string message = "across the page boundary";
    std::memcpy(buffer, message.data(), message.size());
    DWORD written = 0;

    EXPECT_TRUE(WriteFile(port, buffer, static_cast<DWORD>(message.size()), &written, nullptr));
    ASSERT_TRUE(seen_.hasDescriptor);
    EXPECT_EQ(seen_.major, IRP_MJ_WRITE);
    EXPECT_EQ(seen_.startVa, pages_);
    EXPECT_EQ(seen_.byteOffset, PageSize - 10);
    EXPECT_EQ(seen_.byteCount, message.size());
    EXPECT_EQ(seen_.flags, MDL_PAGES_LOCKED);
    EXPECT_EQ(seen_.size, static_cast<CSHORT>(sizeof(MDL) + 2 * sizeof(ULONG_PTR)));
    EXPECT_EQ(seen_.systemAddress, buffer);
    EXPECT_EQ(seen_.length, message.size());
    EXPECT_EQ(written_, message);
    EXPECT_EQ(written, message.size());
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32ReadWriteTest, ZeroLengthReadsAndWritesArriveWithoutADescriptor)
{
    Serve("unused");
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD bytes = 99;

    EXPECT_TRUE(ReadFile(port, pages_, 0, &bytes, nullptr));
    EXPECT_TRUE(seen_.arrived);
    EXPECT_FALSE(seen_.hasDescriptor);
    EXPECT_EQ(seen_.length, 0u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(pages_[0], '.');

    seen_ = {};
    bytes = 99;
    EXPECT_TRUE(WriteFile(port, nullptr, 0, &bytes, nullptr)) << "nothing to probe in an empty buffer";
    EXPECT_TRUE(seen_.arrived);
    EXPECT_FALSE(seen_.hasDescriptor);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(DescriptorsAllocated(), 0u);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32ReadWriteTest, TheDescriptorLastsUntilCompletionAndIsFreedThen)
{
    HANDLE port = HoldAndOpenOverlapped();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(port, pages_, 64, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    EXPECT_EQ(DescriptorsAllocated(), 1u) << "the pending request still holds it";

    AnswerHeldRead("done");
    EXPECT_EQ(DescriptorsAllocated(), 0u);
    DWORD read = 0;
    EXPECT_TRUE(GetOverlappedResult(port, &overlapped, &read, FALSE));
    EXPECT_EQ(read, 4u);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32ReadWriteTest, TheOverlappedOffsetBecomesTheRequestsPosition)
{
    Serve("x");
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    overlapped.Offset = 0x10;
    overlapped.OffsetHigh = 0x1;
    DWORD read = 0;

    // A synchronous handle waits even when given an OVERLAPPED.
    EXPECT_TRUE(ReadFile(port, pages_, 8, &read, &overlapped));
    EXPECT_EQ(seen_.position, 0x1'0000'0010LL);
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(overlapped.Internal, AsInternal(STATUS_SUCCESS));
    EXPECT_EQ(overlapped.InternalHigh, 1u);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32ReadWriteTest, ABufferThatIsNotThereFailsWithNoAccessAndSendsNothing)
{
    Serve();
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD bytes = 99;

    EXPECT_FALSE(ReadFile(port, nullptr, 10, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOACCESS});
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(WriteFile(port, nullptr, 10, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOACCESS});
    EXPECT_FALSE(SentAny(IRP_MJ_READ));
    EXPECT_FALSE(SentAny(IRP_MJ_WRITE));
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32ReadWriteTest, ADriverReportingMoreBytesThanTheBufferHoldsStopsTheMachine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CompleteEachWith(STATUS_SUCCESS, 9);
    EXPECT_DEATH(
        [this] {
            HANDLE port = OpenPort();
            DWORD read = 0;
            ReadFile(port, pages_, 8, &read, nullptr);
        }(),
        "DRIVER_VERIFIER_IOMANAGER_VIOLATION");
}

//
// Completion and the byte count.
//

TEST_F(Win32ReadWriteTest, ASynchronousReadWaitsForACompletionFromAnotherThread)
{
    Hold();
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    BOOL result = FALSE;
    DWORD read = 99;
    std::thread application([&] {
        sim::ApplicationThreadScope scope;
        result = ReadFile(port, pages_, 32, &read, nullptr);
    });
    held_.WaitUntilHeld(1);
    AnswerHeldRead("late");
    application.join();

    EXPECT_TRUE(result);
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(Text(pages_, 5), "late.");
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32ReadWriteTest, AnOverlappedReadLeftPendingReportsIoPendingThenItsBytes)
{
    Hold();
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OverlappedWithEvent overlapped;
    ASSERT_TRUE(SetEvent(overlapped.hEvent));
    DWORD read = 99;

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReadFile(port, pages_, 32, &read, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(overlapped.Internal, AsInternal(STATUS_PENDING));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), DWORD{WAIT_TIMEOUT}) << "sending the request resets the event";

    AnswerHeldRead("abc");
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(port, &overlapped, &read, FALSE));
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(overlapped.Internal, AsInternal(STATUS_SUCCESS));
    EXPECT_EQ(Text(pages_, 4), "abc.");
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32ReadWriteTest, AnOverlappedWriteCompletedAtOnceReturnsTrueWithItsCount)
{
    Serve();
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OverlappedWithEvent overlapped;
    std::memcpy(pages_, "payload", 7);
    DWORD written = 0;

    EXPECT_TRUE(WriteFile(port, pages_, 7, &written, &overlapped));
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(written_, "payload");
    EXPECT_EQ(overlapped.Internal, AsInternal(STATUS_SUCCESS));
    EXPECT_EQ(overlapped.InternalHigh, 7u);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32ReadWriteTest, AnOverlappedHandleNeedsAnOverlappedAndABadHandleSendsNothing)
{
    Serve();
    HANDLE port = OpenPort(true);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD bytes = 99;

    EXPECT_FALSE(ReadFile(port, pages_, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(bytes, 0u) << "zeroed before any checking";
    EXPECT_TRUE(CloseHandle(port));

    bytes = 99;
    EXPECT_FALSE(WriteFile(port, pages_, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(SentAny(IRP_MJ_READ));
    EXPECT_FALSE(SentAny(IRP_MJ_WRITE));
}

TEST_F(Win32ReadWriteTest, AWarningFailsTheCallButStillReportsItsBytes)
{
    CompleteEachWith(STATUS_BUFFER_OVERFLOW, 6);
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD read = 0;

    EXPECT_FALSE(ReadFile(port, pages_, 8, &read, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MORE_DATA});
    EXPECT_EQ(read, 6u);
    EXPECT_TRUE(CloseHandle(port));
}

//
// Errors: the status each failure of the driver's maps to, with no bytes.
//

struct ErrorCase {
    const char* name;
    NTSTATUS status;
    DWORD error;
};

class Win32ReadWriteErrorsTest : public Win32ReadWriteTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(Win32ReadWriteErrorsTest, ASynchronousReadAndWriteFailWithTheMappedErrorAndNoBytes)
{
    // The driver leaves a count behind, which an error must not report.
    CompleteEachWith(GetParam().status, 5);
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD bytes = 99;

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReadFile(port, pages_, 8, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), GetParam().error);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(pages_[0], '.');

    bytes = 99;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(WriteFile(port, pages_, 8, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), GetParam().error);
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_P(Win32ReadWriteErrorsTest, AnOverlappedWriteThatFailsAfterPendingReportsTheMappedError)
{
    HANDLE port = HoldAndOpenOverlapped();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(WriteFile(port, pages_, 8, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    PIRP irp = held_.Take();
    ASSERT_NE(irp, nullptr);
    CompleteWith(irp, GetParam().status);

    DWORD written = 99;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &written, TRUE));
    EXPECT_EQ(GetLastError(), GetParam().error);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(CloseHandle(port));
}

INSTANTIATE_TEST_SUITE_P(
    DriverStatuses, Win32ReadWriteErrorsTest,
    ::testing::Values(ErrorCase{"DeletePending", STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
                      ErrorCase{"IoTimeout", STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
                      ErrorCase{"InvalidDeviceState", STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
                      ErrorCase{"InvalidParameter", STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
                      ErrorCase{"BufferTooSmall", STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
                      ErrorCase{"Cancelled", STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
                      ErrorCase{"InsufficientResources", STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
                      ErrorCase{"DeviceNotConnected", STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
                      ErrorCase{"DeviceNotReady", STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
                      ErrorCase{"IoDeviceError", STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

//
// Cancellation by the sender.
//

TEST_F(Win32ReadWriteTest, CancelIoEndsAPendingReadWithOperationAborted)
{
    HANDLE port = HoldAndOpenOverlapped();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(port, pages_, 16, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});

    EXPECT_TRUE(CancelIo(port));
    EXPECT_EQ(held_.Cancelled(), 1u);
    DWORD read = 99;
    EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &read, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(DescriptorsAllocated(), 0u);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Win32ReadWriteTest, TheEndOfTheIssuingThreadCancelsItsPendingWrite)
{
    HANDLE port = HoldAndOpenOverlapped();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    std::thread application([&] {
        sim::ApplicationThreadScope scope;
        EXPECT_FALSE(WriteFile(port, pages_, 16, nullptr, &overlapped));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    });
    application.join();

    EXPECT_EQ(held_.Cancelled(), 1u);
    EXPECT_EQ(overlapped.Internal, AsInternal(STATUS_CANCELLED));
    DWORD written = 99;
    EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &written, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace bulkcom_test
