// One USB device on the simulated bus with the driver loaded for it: the
// bus, the Plug and Play manager, the physical device object named COM5 in
// its hardware key, and the bus's unplug reports going to the Plug and Play
// manager, as in the end-to-end tests. Destroying it requires the driver's
// device to be gone already: a harness removes it in one of the ways it
// tries.
#pragma once

#include <memory>

#include "frame/frame.h"
#include "pnp-power/pnp_manager.h"
#include "usb/usb_bus.h"

namespace bulkcom_fuzz {

class PluggedDevice {
public:
    PluggedDevice(std::shared_ptr<sim::UsbDeviceModel> model, sim::CompletionMode mode);
    ~PluggedDevice();
    PluggedDevice(const PluggedDevice&) = delete;
    PluggedDevice& operator=(const PluggedDevice&) = delete;

    sim::UsbBus& Bus() { return bus_; }
    sim::PnpManager& Pnp() { return *pnp_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }

    // The driver's device object and extension while the stack has one.
    PDEVICE_OBJECT Fdo() const { return pdo_->AttachedDevice; }
    PDEVICE_EXTENSION Extension() const;

    NTSTATUS SendPnp(UCHAR minorFunction) { return pnp_->SendPnp(pdo_, minorFunction); }

    // The device leaves its port; returns once the surprise removal, and the
    // removal if no handle holds the device, have been sent.
    void Unplug();

private:
    sim::UsbBus bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
    PDEVICE_OBJECT pdo_;
};

}  // namespace bulkcom_fuzz
