// The driver loaded into the simulated kernel with one device on the
// simulated USB bus, driven through real Plug and Play requests.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "frame/frame.h"
#include "pnp-power/pnp_manager.h"
#include "usb/loopback_device.h"
#include "usb/usb_bus.h"

namespace bulkcom_test {

class UsbDeviceUnderTest {
public:
    explicit UsbDeviceUnderTest(std::shared_ptr<sim::UsbDeviceModel> model = std::make_shared<sim::LoopbackDevice>(),
                                sim::CompletionMode mode = sim::CompletionMode::ControllerThread);
    // Removes the device if the Plug and Play manager has not.
    ~UsbDeviceUnderTest();
    // A port cycle the driver asks for is followed as Windows follows it:
    // the device leaves, and once its removal is done it enumerates again
    // under a fresh physical device, which Pdo() and Fdo() then name; wait
    // for that with Pnp().WaitUntilIdle().
    UsbDeviceUnderTest(const UsbDeviceUnderTest&) = delete;
    UsbDeviceUnderTest& operator=(const UsbDeviceUnderTest&) = delete;

    sim::UsbBus& Bus() { return bus_; }
    sim::PnpManager& Pnp() { return *pnp_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDEVICE_OBJECT Fdo() const { return fdo_; }
    PDEVICE_EXTENSION Extension() const { return DeviceExtensionOf(fdo_); }
    // Physical devices that port cycles took off the bus.
    std::vector<PDEVICE_OBJECT> Cycled() const { return cycled_; }

    NTSTATUS Add();
    NTSTATUS Start();
    // AddDevice, then the start request; fails the test unless both succeed.
    void AddAndStart();
    NTSTATUS SendPnp(UCHAR minorFunction);
    // The remove request; the device object is gone afterwards.
    NTSTATUS Remove();
    // Returns once Plug and Play and the controller thread have nothing left
    // to do, so a test can end without a request still on its way.
    void WaitUntilQuiet();

    // After the device was unplugged and removed: it comes back as a fresh
    // physical device with the same hardware key, added and started.
    void PlugInAgain() { FollowPortCycle(pdo_); }

    // The requests the bus received since the last call.
    std::vector<sim::UsbRequestRecord> NewRequests();

private:
    sim::UsbBus bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
    void FollowPortCycle(PDEVICE_OBJECT gone);

    // Changed on the Plug and Play manager's thread when a port cycle ends.
    std::atomic<PDEVICE_OBJECT> pdo_ = nullptr;
    std::atomic<PDEVICE_OBJECT> fdo_ = nullptr;
    std::vector<PDEVICE_OBJECT> cycled_;
    size_t seenRequests_ = 0;
};

}  // namespace bulkcom_test
