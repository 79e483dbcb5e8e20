// The application side: opening a device by its DOS name, closing it, and
// buffered control requests, with the Win32 errors Windows reports.

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kernel/irql.h"
#include "sim/support/test_driver.h"
#include "support/sim_test.h"
#include "win32_api.h"

namespace bulkcom_test {
namespace {

constexpr DWORD IoctlExchange = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A named port device with a filter above it and the DOS name BCWIN.
class Win32Test : public SimTest {
protected:
    struct Arrival {
        UCHAR major;
        PDEVICE_OBJECT device;
        PFILE_OBJECT file;
    };

    void SetUp() override
    {
        SimTest::SetUp();
        portDriver_.emplace(u"\\Driver\\port");
        filterDriver_.emplace(u"\\Driver\\filter");
        port_ = portDriver_->CreateDevice(u"\\Device\\BcWin0");
        filter_ = filterDriver_->CreateDevice({}, port_);
        UNICODE_STRING target = Counted(u"\\Device\\BcWin0");
        ASSERT_EQ(IoCreateSymbolicLink(&dosName_, &target), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        IoDeleteSymbolicLink(&dosName_);
        filterDriver_.reset();
        portDriver_.reset();
        SimTest::TearDown();
    }

    // The filter records what reaches the top of the stack and answers with
    // the status set for that major function (success unless set).
    void Answer(UCHAR major, NTSTATUS status = STATUS_SUCCESS)
    {
        filterDriver_->On(major, [this, status](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            arrivals_.push_back({stack->MajorFunction, device, stack->FileObject});
            return CompleteWith(irp, status);
        });
    }

    std::vector<UCHAR> Majors() const
    {
        std::vector<UCHAR> majors;
        for (const Arrival& arrival : arrivals_) {
            majors.push_back(arrival.major);
        }
        return majors;
    }

    static HANDLE Open(const char* name)
    {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    std::optional<TestDriver> portDriver_;
    std::optional<TestDriver> filterDriver_;
    PDEVICE_OBJECT port_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    UNICODE_STRING dosName_ = Counted(u"\\DosDevices\\BCWIN");
    std::vector<Arrival> arrivals_;
};

TEST_F(Win32Test, OpenFollowsTheLinksToTheTopOfTheStackAndCloseCleansUpThenCloses)
{
    Answer(IRP_MJ_CREATE);
    Answer(IRP_MJ_CLEANUP);
    Answer(IRP_MJ_CLOSE);
    HANDLE handle = Open("\\\\.\\BCWIN");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_EQ(Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(arrivals_[0].device, filter_);
    ASSERT_NE(arrivals_[0].file, nullptr);
    EXPECT_EQ(arrivals_[0].file->DeviceObject, port_);

    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    for (const Arrival& arrival : arrivals_) {
        EXPECT_EQ(arrival.file, arrivals_[0].file);
    }
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // A second DOS name chained to the first reaches the same device.
    UNICODE_STRING alias = Counted(u"\\DosDevices\\BCALIAS");
    UNICODE_STRING first = Counted(u"\\??\\BCWIN");
    ASSERT_EQ(IoCreateSymbolicLink(&alias, &first), STATUS_SUCCESS);
    handle = Open("\\\\.\\BCALIAS");
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(arrivals_.back().device, filter_);
    EXPECT_TRUE(CloseHandle(handle));
    IoDeleteSymbolicLink(&alias);
}

TEST_F(Win32Test, FailedOpensReportTheWin32ErrorAndSendNothingMore)
{
    struct Case {
        NTSTATUS status;
        DWORD error;
    };
    const Case cases[] = {
        {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status));
        Answer(IRP_MJ_CREATE, c.status);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(Open("\\\\.\\BCWIN"), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    // Only the creates arrived: a failed open gets no cleanup or close.
    EXPECT_EQ(Majors(), std::vector<UCHAR>(std::size(cases), IRP_MJ_CREATE));

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(Open("\\\\.\\BCNOWHERE"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // A device still initializing cannot be opened; its driver sees nothing.
    port_->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(Open("\\\\.\\BCWIN"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(arrivals_.size(), std::size(cases));
}

TEST_F(Win32Test, CloseGoesOnWhenTheDriverRefusesCleanup)
{
    Answer(IRP_MJ_CREATE);
    Answer(IRP_MJ_CLOSE);
    HANDLE handle = Open("\\\\.\\BCWIN");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLOSE}));
}

TEST_F(Win32Test, BufferedControlPassesInputInAndCopiesBackWhatTheDriverReturned)
{
    Answer(IRP_MJ_CREATE);
    Answer(IRP_MJ_CLOSE);
    NTSTATUS answer = STATUS_SUCCESS;
    std::string inputSeen;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    filterDriver_->On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, IoctlExchange);
        inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        auto* system = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        inputSeen.assign(system, inputLength);
        std::copy_n("xyz", 3, system);
        return CompleteWith(irp, answer, NT_SUCCESS(answer) ? 3 : (answer == STATUS_BUFFER_OVERFLOW ? 8 : 0));
    });
    HANDLE handle = Open("\\\\.\\BCWIN");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);

    char input[4] = {'p', 'i', 'n', 'g'};
    char output[8];
    std::fill(std::begin(output), std::end(output), '.');
    DWORD returned = 99;
    EXPECT_TRUE(DeviceIoControl(handle, IoctlExchange, input, sizeof input, output, sizeof output, &returned, nullptr));
    EXPECT_EQ(inputSeen, "ping");
    EXPECT_EQ(inputLength, 4u);
    EXPECT_EQ(outputLength, 8u);
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(std::string(output, sizeof output), "xyz.....");

    // A warning still returns its data; an error returns none.
    answer = STATUS_BUFFER_OVERFLOW;
    std::fill(std::begin(output), std::end(output), '.');
    EXPECT_FALSE(DeviceIoControl(handle, IoctlExchange, nullptr, 0, output, sizeof output, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(std::string(output, 3), "xyz");

    answer = STATUS_INVALID_PARAMETER;
    std::fill(std::begin(output), std::end(output), '.');
    EXPECT_FALSE(
        DeviceIoControl(handle, IoctlExchange, input, sizeof input, output, sizeof output, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(std::string(output, sizeof output), "........");

    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(Win32Test, ControlOnADriverWithoutTheEntryFailsAsAnInvalidFunction)
{
    Answer(IRP_MJ_CREATE);
    Answer(IRP_MJ_CLOSE);
    HANDLE handle = Open("\\\\.\\BCWIN");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(handle, IoctlExchange, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(Win32Test, ControlWaitsForARequestTheDriverCompletesLater)
{
    Answer(IRP_MJ_CREATE);
    Answer(IRP_MJ_CLOSE);
    KEVENT dispatched;
    KeInitializeEvent(&dispatched, NotificationEvent, FALSE);
    PIRP pending = nullptr;
    filterDriver_->On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        pending = irp;
        KeSetEvent(&dispatched, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    });
    HANDLE handle = Open("\\\\.\\BCWIN");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);

    char output[2] = {};
    DWORD returned = 0;
    BOOL result = FALSE;
    std::thread application([&] {
        result = DeviceIoControl(handle, IoctlExchange, nullptr, 0, output, sizeof output, &returned, nullptr);
    });
    KeWaitForSingleObject(&dispatched, Executive, KernelMode, FALSE, nullptr);
    {
        sim::ScopedIrql dpc(DISPATCH_LEVEL);
        static_cast<char*>(pending->AssociatedIrp.SystemBuffer)[0] = '!';
        CompleteWith(pending, STATUS_SUCCESS, 1);
    }
    application.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(output[0], '!');
    EXPECT_TRUE(CloseHandle(handle));
}

}  // namespace
}  // namespace bulkcom_test
