#include "changing_descriptor_device.h"

namespace bulkcom_fuzz {

void ChangingDescriptorDevice::SetNextConfigurationRead(std::vector<UCHAR> bytes)
{
    std::lock_guard lock(nextLock_);
    next_ = std::move(bytes);
}

std::vector<UCHAR> ChangingDescriptorDevice::ConfigurationDescriptor() const
{
    {
        std::lock_guard lock(nextLock_);
        if (next_) {
            std::vector<UCHAR> bytes = std::move(*next_);
            next_.reset();
            return bytes;
        }
    }
    return ScriptedDevice::ConfigurationDescriptor();
}

}  // namespace bulkcom_fuzz
