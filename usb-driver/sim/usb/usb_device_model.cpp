#include "usb_device_model.h"

namespace sim {

void UsbDeviceModel::SetActivityHandler(std::function<void()> handler)
{
    std::lock_guard lock(handlerLock_);
    handler_ = std::move(handler);
}

void UsbDeviceModel::NotifyActivity()
{
    std::function<void()> handler;
    {
        std::lock_guard lock(handlerLock_);
        handler = handler_;
    }
    if (handler) {
        handler();
    }
}

}  // namespace sim
