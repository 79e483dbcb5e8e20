// Switching a capture on for a bus that may already have devices attached:
// they write to it from their next request on.

#include "usb_bus.h"

namespace sim {

void UsbBus::StartCapture(std::shared_ptr<UsbCapture> capture)
{
    USHORT bus = capture->AddBus();
    std::vector<std::shared_ptr<PhysicalDevice>> attached;
    {
        std::lock_guard lock(lock_);
        capture_ = capture;
        captureBus_ = bus;
        for (const auto& entry : devices_) {
            attached.push_back(entry.second);
        }
    }
    // The bus's lock never nests with a device's.
    for (const std::shared_ptr<PhysicalDevice>& device : attached) {
        std::lock_guard lock(device->lock);
        device->capture = capture;
        device->captureBus = bus;
    }
}

}  // namespace sim
