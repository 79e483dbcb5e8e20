#include "support/device_under_test.h"
#include "support/sim_test.h"
#include "win32_api.h"
#include "kernel/object_namespace.h"

namespace bulkcom_test {
namespace {
class Smoke : public SimTest {};
TEST_F(Smoke, AddOpenClose)
{
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    HANDLE h = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_COMMAND);
    device.MarkStarted();
    h = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
}
}  // namespace
}  // namespace bulkcom_test
