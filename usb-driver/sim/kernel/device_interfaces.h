// Device interfaces: registered per physical device object and class, each
// with a symbolic link that exists while the interface is enabled.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

class DeviceInterfaces {
public:
    static bool IsEnabled(std::u16string_view symbolicLinkName);
    static std::vector<std::u16string> Registered();
    static std::vector<std::u16string> Enabled();
    // Windows disables a device's interfaces when the device goes away.
    static void DisableAllOf(PDEVICE_OBJECT physicalDevice);
    static void Reset();
};

std::u16string GuidText(const GUID& guid);

}  // namespace sim
