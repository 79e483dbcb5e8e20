// An unplug as a pulled cable makes it: the device stops answering at once,
// and the hub sees its port empty only later, when it next looks. Between
// the two, a function driver meets transaction errors on a port that still
// reads connected, and its recovery runs against a device that is gone.

#include "usb_bus.h"

namespace sim {

void UsbBus::SetUnplugMode(PDEVICE_OBJECT physicalDevice, UnplugMode mode)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    device->unplugMode = mode;
}

void UsbBus::Unplug(PDEVICE_OBJECT physicalDevice)
{
    if (!PullCable(physicalDevice)) {
        NoticeUnplug(physicalDevice);
    }
}

bool UsbBus::PullCable(PDEVICE_OBJECT physicalDevice)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    UsbFunction::Completions done;
    CompletionMode mode;
    {
        std::lock_guard lock(device->lock);
        if (device->unplugMode != UnplugMode::CablePull) {
            return false;
        }
        if (device->function->Connected()) {
            device->function->StopAnswering(done);
        }
        mode = device->mode;
    }
    Deliver(*device, mode, std::move(done));
    return true;
}

}  // namespace sim
