// The driver loaded into the simulated kernel with one device on a
// stand-in bus that has no USB behind it: for what happens before a start.
#pragma once

#include <memory>
#include <string>

#include "frame/frame.h"
#include "pnp-power/pnp_manager.h"
#include "pnp-power/standin_bus.h"
#include "serial/serial.h"

namespace bulkcom_test {

inline constexpr char16_t DefaultInstanceId[] = u"USB\\VID_1209&PID_B1C0\\5&2f3c1a&0&1";

class DeviceUnderTest {
public:
    explicit DeviceUnderTest(std::u16string_view instanceId = DefaultInstanceId);
    ~DeviceUnderTest();
    DeviceUnderTest(const DeviceUnderTest&) = delete;
    DeviceUnderTest& operator=(const DeviceUnderTest&) = delete;

    sim::PnpManager& Pnp() { return *pnp_; }
    sim::StandInBus& Bus() { return bus_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }

    // The physical device's hardware key; by default it names the port COM5.
    void SetPortName(std::u16string_view name);

    // The driver's AddDevice for the physical device.
    NTSTATUS Add();
    bool Added() const { return fdo_ != nullptr; }
    PDEVICE_OBJECT Fdo() const { return fdo_; }
    PDEVICE_EXTENSION Extension() const { return DeviceExtensionOf(fdo_); }

    // The remove request; the device object is gone afterwards.
    NTSTATUS Remove();

private:
    sim::StandInBus bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

}  // namespace bulkcom_test
