// What the bulkcom driver does with an open that names a path below the
// port (\\.\COM5\extra): it does not look at the file object's name, so the
// open is the port's own open.

#include "support/port_access.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"

namespace bulkcom_test {
namespace {

class BulkcomOpenFileNameTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        device_ = std::make_unique<UsbDeviceUnderTest>();
        device_->AddAndStart();
    }
    void TearDown() override
    {
        device_.reset();
        SimTest::TearDown();
    }

    std::unique_ptr<UsbDeviceUnderTest> device_;
};

TEST_F(BulkcomOpenFileNameTest, APathBelowThePortOpensThePortItself)
{
    HANDLE below = OpenComPort("\\\\.\\COM5\\extra");
    ASSERT_NE(below, INVALID_HANDLE_VALUE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenComPort(), INVALID_HANDLE_VALUE) << "one open at a time, whatever the name";
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_TRUE(CloseHandle(below));

    HANDLE port = OpenComPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(port));
}

}  // namespace
}  // namespace bulkcom_test
