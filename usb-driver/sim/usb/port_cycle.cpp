// A port cycle: the hub takes the device off its port and lets it attach
// again, so Plug and Play sees the device leave (surprise removal, then
// removal once its handles are closed) and then enumerates it afresh, with
// the same instance and hardware key.

#include "usb_bus.h"

#include "kernel/registry.h"

namespace sim {

void UsbBus::SetCycleHandler(std::function<void(PDEVICE_OBJECT)> handler)
{
    std::lock_guard lock(lock_);
    cycleHandler_ = std::move(handler);
}

void UsbBus::ReportCycle(PDEVICE_OBJECT physicalDevice)
{
    std::function<void(PDEVICE_OBJECT)> handler;
    {
        std::lock_guard lock(lock_);
        handler = cycleHandler_ ? cycleHandler_ : unplugHandler_;
    }
    if (handler) {
        handler(physicalDevice);
    }
}

PDEVICE_OBJECT UsbBus::AttachAgain(PDEVICE_OBJECT physicalDevice)
{
    std::shared_ptr<PhysicalDevice> left = DeviceOf(physicalDevice);
    std::shared_ptr<UsbDeviceModel> device;
    std::u16string instance;
    CompletionMode mode;
    {
        std::lock_guard lock(left->lock);
        device = left->function->DeviceShared();
        instance = left->instance;
        mode = left->mode;
    }
    PDEVICE_OBJECT fresh = CreatePhysicalDevice(device, instance);
    SetCompletionMode(fresh, mode);
    Registry::ShareHardwareKey(physicalDevice, fresh);
    return fresh;
}

}  // namespace sim
