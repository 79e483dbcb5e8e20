// The path after the device's name reaches the driver in the create
// request's file object, as FileName, starting at its backslash; opening the
// device itself gives an empty name.

#include <string>

#include "sim/support/win32_port.h"

namespace bulkcom_test {
namespace {

class Win32FileNameTest : public Win32PortTest {
protected:
    void SetUp() override
    {
        Win32PortTest::SetUp();
        On(IRP_MJ_CREATE, [this](PDEVICE_OBJECT, PIRP irp) {
            const UNICODE_STRING& name = IoGetCurrentIrpStackLocation(irp)->FileObject->FileName;
            names_.emplace_back(name.Buffer == nullptr ? std::u16string()
                                                       : std::u16string(name.Buffer, name.Length / sizeof(WCHAR)));
            return CompleteWith(irp, STATUS_SUCCESS);
        });
    }

    HANDLE Open(const char* name)
    {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    std::vector<std::u16string> names_;
};

TEST_F(Win32FileNameTest, TheDriverSeesThePathAfterTheDeviceName)
{
    HANDLE extra = Open("\\\\.\\BCPORT\\extra");
    ASSERT_NE(extra, INVALID_HANDLE_VALUE);
    HANDLE deeper = Open("\\\\.\\BCPORT\\one\\two");
    ASSERT_NE(deeper, INVALID_HANDLE_VALUE);
    HANDLE device = Open("\\\\.\\BCPORT");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(names_, (std::vector<std::u16string>{u"\\extra", u"\\one\\two", u""}));
    EXPECT_TRUE(CloseHandle(extra));
    EXPECT_TRUE(CloseHandle(deeper));
    EXPECT_TRUE(CloseHandle(device));
}

}  // namespace
}  // namespace bulkcom_test
