// A started USB device with its port open: the setup of the suites that
// drive the driver through the application API. The port is closed, the
// device left idle and removed before the platform's checks.
#pragma once

#include <memory>

#include "support/port_access.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"
#include "usb/loopback_device.h"

namespace bulkcom_test {

enum class PortOpen { Synchronous, Overlapped };

class OpenPortTest : public SimTest {
protected:
    // From the suite's SetUp, after SimTest::SetUp().
    void StartAndOpen(std::shared_ptr<sim::UsbDeviceModel> model = std::make_shared<sim::LoopbackDevice>(),
                      sim::CompletionMode mode = sim::CompletionMode::ControllerThread,
                      PortOpen open = PortOpen::Synchronous);
    void TearDown() override;

    std::unique_ptr<UsbDeviceUnderTest> device_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

}  // namespace bulkcom_test
