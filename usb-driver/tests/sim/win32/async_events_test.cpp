// Win32 events and waits, and the one handle table that files and events
// share.

#include "application_side.h"
#include "sim/support/win32_port.h"

namespace bulkcom_test {
namespace {

using Win32EventsTest = Win32PortTest;

TEST_F(Win32EventsTest, AnAutoResetEventIsTakenByTheWaitThatSeesIt)
{
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 1), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(automatic));
}

TEST_F(Win32EventsTest, AManualResetEventStaysSignalledUntilReset)
{
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(manual, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(manual));
}

TEST_F(Win32EventsTest, ClosedHandlesAndHandlesOfTheWrongKindAreInvalid)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE port = OpenPort(true);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_NE(port, event);
    EXPECT_EQ(sim::OpenApplicationHandles(), 2u) << "one table for files and events";

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(port));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CancelIo(event));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(FlushFileBuffers(event));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});

    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(Majors(), std::vector<UCHAR>{IRP_MJ_CREATE}) << "closing an event sends nothing";
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_FALSE(ResetEvent(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});

    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(CancelIo(port));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(port, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x820, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr,
                                 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(sim::OpenApplicationHandles(), 0u);
}

}  // namespace
}  // namespace bulkcom_test
