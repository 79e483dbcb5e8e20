// A scripted device whose configuration descriptor may read differently the
// next time, as a device with changing or unstable descriptors does: the
// driver reads it a second time when wTotalLength is larger than its first
// buffer, and reads everything again at each start.
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "usb/scripted_device.h"

namespace bulkcom_fuzz {

class ChangingDescriptorDevice : public sim::ScriptedDevice {
public:
    // The next read of the configuration descriptor returns these bytes; the
    // reads after it return what SetConfigurationDescriptor set.
    void SetNextConfigurationRead(std::vector<UCHAR> bytes);

    std::vector<UCHAR> ConfigurationDescriptor() const override;

private:
    mutable std::mutex nextLock_;
    mutable std::optional<std::vector<UCHAR>> next_;
};

}  // namespace bulkcom_fuzz
