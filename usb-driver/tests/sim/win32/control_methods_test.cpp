// DeviceIoControl with each transfer method of the control code: where the
// driver finds the input and the output, what is copied back to the caller,
// and the buffers a caller names but does not have.

#include <algorithm>
#include <cstring>
#include <string>

#include "kernel/pool.h"
#include "sim/support/win32_port.h"

namespace bulkcom_test {
namespace {

constexpr DWORD IoctlInDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x850, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr DWORD IoctlOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x851, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr DWORD IoctlNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x852, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr DWORD IoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x853, METHOD_BUFFERED, FILE_ANY_ACCESS);

size_t AllocationsTagged(ULONG tag)
{
    auto all = sim::Pool::Outstanding();
    return static_cast<size_t>(std::count_if(
        all.begin(), all.end(), [&](const sim::PoolAllocation& allocation) { return allocation.tag == tag; }));
}

const ULONG DescriptorTag = sim::PoolTag("Mdl ");
const ULONG SystemBufferTag = sim::PoolTag("Sbuf");

// What the driver found in a control request when it arrived.
struct Seen {
    ULONG code = 0;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    PVOID systemBuffer = nullptr;
    std::string systemBufferInput;
    ULONG flags = 0;
    PMDL mdl = nullptr;
    PVOID described = nullptr;
    ULONG describedLength = 0;
    CSHORT mdlFlags = 0;
    PVOID type3Input = nullptr;
    PVOID userBuffer = nullptr;
    size_t descriptorsWhileHeld = 0;
    size_t systemBuffersWhileHeld = 0;
};

class Win32ControlMethodsTest : public Win32PortTest {
protected:
    void SetUp() override
    {
        Win32PortTest::SetUp();
        // The driver writes its answer where each method puts the output.
        On(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            seen_ = Seen{};
            seen_.code = stack->Parameters.DeviceIoControl.IoControlCode;
            seen_.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
            seen_.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
            seen_.systemBuffer = irp->AssociatedIrp.SystemBuffer;
            seen_.flags = irp->Flags;
            seen_.mdl = irp->MdlAddress;
            seen_.type3Input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
            seen_.userBuffer = irp->UserBuffer;
            seen_.descriptorsWhileHeld = AllocationsTagged(DescriptorTag);
            seen_.systemBuffersWhileHeld = AllocationsTagged(SystemBufferTag);
            if (seen_.systemBuffer != nullptr && seen_.inputLength != 0) {
                seen_.systemBufferInput.assign(static_cast<char*>(seen_.systemBuffer), seen_.inputLength);
            }
            char* output = nullptr;
            switch (seen_.code & 3) {
            case METHOD_BUFFERED:
                output = static_cast<char*>(seen_.systemBuffer);
                break;
            case METHOD_IN_DIRECT:
            case METHOD_OUT_DIRECT:
                if (seen_.mdl != nullptr) {
                    seen_.described = MmGetMdlVirtualAddress(seen_.mdl);
                    seen_.describedLength = MmGetMdlByteCount(seen_.mdl);
                    seen_.mdlFlags = seen_.mdl->MdlFlags;
                    output = static_cast<char*>(MmGetSystemAddressForMdlSafe(seen_.mdl, NormalPagePriority));
                }
                break;
            default:
                output = static_cast<char*>(seen_.userBuffer);
                break;
            }
            ULONG_PTR written = 0;
            if (output != nullptr && seen_.outputLength >= 3) {
                std::memcpy(output, "out", 3);
                written = 3;
            }
            return CompleteWith(irp, STATUS_SUCCESS, written);
        });
        handle_ = OpenPort();
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(handle_));
        }
        Win32PortTest::TearDown();
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    Seen seen_;
};

TEST_F(Win32ControlMethodsTest, DirectMethodsCopyTheInputAndDescribeTheOutputBuffer)
{
    for (DWORD code : {IoctlInDirect, IoctlOutDirect}) {
        SCOPED_TRACE(code == IoctlInDirect ? "METHOD_IN_DIRECT" : "METHOD_OUT_DIRECT");
        char input[5] = {'h', 'e', 'l', 'l', 'o'};
        char output[8];
        std::fill(std::begin(output), std::end(output), '.');
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(handle_, code, input, sizeof input, output, sizeof output, &returned, nullptr));
        EXPECT_EQ(seen_.code, code);
        EXPECT_EQ(seen_.inputLength, 5u);
        EXPECT_EQ(seen_.outputLength, 8u);

        // The input in a system buffer of its own length, a copy.
        ASSERT_NE(seen_.systemBuffer, nullptr);
        EXPECT_NE(seen_.systemBuffer, static_cast<PVOID>(input));
        EXPECT_EQ(seen_.systemBufferInput, "hello");
        constexpr ULONG systemBufferFlags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        EXPECT_EQ(seen_.flags & systemBufferFlags, systemBufferFlags);
        EXPECT_EQ(seen_.flags & IRP_INPUT_OPERATION, 0u) << "nothing is copied back from the system buffer";
        EXPECT_EQ(seen_.systemBuffersWhileHeld, 1u);

        // The output buffer itself, described and locked.
        ASSERT_NE(seen_.mdl, nullptr);
        EXPECT_EQ(seen_.described, static_cast<PVOID>(output));
        EXPECT_EQ(seen_.describedLength, 8u);
        EXPECT_NE(seen_.mdlFlags & MDL_PAGES_LOCKED, 0);
        EXPECT_EQ(seen_.descriptorsWhileHeld, 1u);

        // The driver wrote straight into the caller's buffer.
        EXPECT_EQ(returned, 3u);
        EXPECT_EQ(std::string(output, sizeof output), "out.....");
        EXPECT_EQ(AllocationsTagged(DescriptorTag), 0u) << "the descriptor goes with the request";
        EXPECT_EQ(AllocationsTagged(SystemBufferTag), 0u) << "so does the system buffer";
    }
}

TEST_F(Win32ControlMethodsTest, DirectMethodsGiveNoBufferForAZeroLength)
{
    char input[2] = {'a', 'b'};
    char output[4] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle_, IoctlOutDirect, nullptr, 0, output, sizeof output, &returned, nullptr));
    EXPECT_EQ(seen_.systemBuffer, nullptr) << "no input, no system buffer";
    EXPECT_EQ(seen_.flags & IRP_DEALLOCATE_BUFFER, 0u);
    EXPECT_NE(seen_.mdl, nullptr);

    ASSERT_TRUE(DeviceIoControl(handle_, IoctlInDirect, input, sizeof input, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(seen_.mdl, nullptr) << "no output, no descriptor";
    EXPECT_EQ(seen_.systemBufferInput, "ab");
    EXPECT_EQ(returned, 0u);
}

TEST_F(Win32ControlMethodsTest, NeitherHandsOnTheCallersOwnAddresses)
{
    char input[3] = {'r', 'a', 'w'};
    char output[6];
    std::fill(std::begin(output), std::end(output), '.');
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle_, IoctlNeither, input, sizeof input, output, sizeof output, &returned, nullptr));
    EXPECT_EQ(seen_.inputLength, 3u);
    EXPECT_EQ(seen_.outputLength, 6u);
    EXPECT_EQ(seen_.type3Input, static_cast<PVOID>(input));
    EXPECT_EQ(seen_.userBuffer, static_cast<PVOID>(output));
    EXPECT_EQ(seen_.systemBuffer, nullptr);
    EXPECT_EQ(seen_.mdl, nullptr);
    EXPECT_EQ(seen_.flags, 0u);
    EXPECT_EQ(seen_.descriptorsWhileHeld + seen_.systemBuffersWhileHeld, 0u) << "nothing allocated for it";
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(std::string(output, sizeof output), "out...");
}

TEST_F(Win32ControlMethodsTest, BufferedKeepsOneSystemBufferOfTheLargerLength)
{
    char input[2] = {'i', 'n'};
    char output[4];
    std::fill(std::begin(output), std::end(output), '.');
    DWORD returned = 0;
    ASSERT_TRUE(
        DeviceIoControl(handle_, IoctlBuffered, input, sizeof input, output, sizeof output, &returned, nullptr));
    EXPECT_EQ(seen_.systemBufferInput, "in");
    EXPECT_EQ(seen_.userBuffer, static_cast<PVOID>(output));
    EXPECT_EQ(seen_.mdl, nullptr);
    EXPECT_EQ(seen_.flags & IRP_INPUT_OPERATION, ULONG{IRP_INPUT_OPERATION});
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(std::string(output, sizeof output), "out.") << "copied back by the byte count";
}

TEST_F(Win32ControlMethodsTest, AMissingBufferFailsBeforeTheRequestExceptForNeither)
{
    DWORD returned = 0;
    char buffer[4] = {};
    for (DWORD code : {IoctlBuffered, IoctlInDirect, IoctlOutDirect}) {
        SCOPED_TRACE(std::to_string(code & 3));
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(DeviceIoControl(handle_, code, nullptr, 4, buffer, sizeof buffer, &returned, nullptr));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_NOACCESS}) << "no input where one is named";
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(DeviceIoControl(handle_, code, buffer, sizeof buffer, nullptr, 4, &returned, nullptr));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_NOACCESS}) << "no output where one is named";
    }
    EXPECT_EQ(Majors(), std::vector<UCHAR>{IRP_MJ_CREATE}) << "no request reached the driver";

    // The I/O manager does not look at METHOD_NEITHER's buffers at all.
    EXPECT_TRUE(DeviceIoControl(handle_, IoctlNeither, nullptr, 4, nullptr, 2, &returned, nullptr));
    EXPECT_EQ(seen_.type3Input, nullptr);
    EXPECT_EQ(seen_.inputLength, 4u);
    EXPECT_EQ(seen_.userBuffer, nullptr);
    EXPECT_EQ(returned, 0u);
}

}  // namespace
}  // namespace bulkcom_test
