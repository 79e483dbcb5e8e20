#include "support/open_port_test.h"

#include "application_side.h"

namespace bulkcom_test {

void OpenPortTest::StartAndOpen(std::shared_ptr<sim::UsbDeviceModel> model, sim::CompletionMode mode, PortOpen open)
{
    device_ = std::make_unique<UsbDeviceUnderTest>(std::move(model), mode);
    device_->AddAndStart();
    port_ = open == PortOpen::Overlapped ? OpenComPortOverlapped() : OpenComPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
}

void OpenPortTest::TearDown()
{
    if (port_ != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(CloseHandle(port_));
    }
    // A close handed to the system worker thread is done before the device goes.
    sim::WaitForDeferredCloses();
    if (device_) {
        device_->WaitUntilQuiet();
    }
    device_.reset();
    SimTest::TearDown();
}

}  // namespace bulkcom_test
