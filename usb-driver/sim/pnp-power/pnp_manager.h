// The Plug and Play manager: loads the function driver, adds devices to it
// and sends Plug and Play requests to the top of a device's stack.
#pragma once

#include <functional>

#include "platform/platform.h"

namespace sim {

class PnpManager {
public:
    // Creates the driver object and runs the driver's entry point.
    explicit PnpManager(PDRIVER_INITIALIZE driverEntry);
    // Runs the driver's unload routine and deletes the driver object.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    NTSTATUS EntryStatus() const { return entryStatus_; }

    // Calls the driver's AddDevice for the physical device object; a device
    // added with success must have cleared DO_DEVICE_INITIALIZING.
    NTSTATUS AddDevice(PDEVICE_OBJECT physicalDevice);

    // Sends a request to the top of the physical device's stack at
    // PASSIVE_LEVEL, with STATUS_NOT_SUPPORTED preset, and waits for its
    // completion. prepare may fill in the parameters.
    NTSTATUS SendPnp(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction,
                     const std::function<void(IO_STACK_LOCATION&)>& prepare = {});
    NTSTATUS SendRequest(PDEVICE_OBJECT physicalDevice, UCHAR majorFunction, UCHAR minorFunction, NTSTATUS preset,
                         const std::function<void(IO_STACK_LOCATION&)>& prepare);

private:
    PDRIVER_OBJECT driver_;
    NTSTATUS entryStatus_;
};

}  // namespace sim
