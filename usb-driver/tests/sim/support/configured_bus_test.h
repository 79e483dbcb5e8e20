// A USB device configured on the simulated bus by a test client, in each
// completion mode: the setup of the suites that send URBs straight to the
// bus. The client and the bus go before the platform's checks.
#pragma once

#include <memory>
#include <optional>

#include "sim/support/usb_client.h"
#include "support/sim_test.h"
#include "usb/descriptor_variants.h"
#include "usb/usb_bus.h"

namespace bulkcom_test {

class ConfiguredBusTest : public SimTest, public ::testing::WithParamInterface<sim::CompletionMode> {
protected:
    void Attach(std::shared_ptr<sim::UsbDeviceModel> device)
    {
        bus_.emplace(GetParam());
        pdo_ = bus_->CreatePhysicalDevice(std::move(device), u"1");
        client_.emplace(pdo_);
        UsbConfiguration configuration = client_->Configure();
        ASSERT_EQ(configuration.status, STATUS_SUCCESS);
        in_ = configuration.Pipe(sim::BulkInEndpoint);
        out_ = configuration.Pipe(sim::BulkOutEndpoint);
    }
    void TearDown() override
    {
        client_.reset();
        bus_.reset();
        SimTest::TearDown();
    }

    std::optional<sim::UsbBus> bus_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::optional<UsbClient> client_;
    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
};

}  // namespace bulkcom_test
