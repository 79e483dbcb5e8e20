// The registry as the driver sees it: each physical device object's hardware
// key and the hardware device map, reached through tracked key handles.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
    bool operator==(const RegistryValue&) const = default;
};

class Registry {
public:
    static void CreateHardwareKey(PDEVICE_OBJECT physicalDevice);
    static void DeleteHardwareKey(PDEVICE_OBJECT physicalDevice);
    // The device that attached again is the same device node: one key.
    static void ShareHardwareKey(PDEVICE_OBJECT from, PDEVICE_OBJECT to);
    static void SetHardwareValue(PDEVICE_OBJECT physicalDevice, std::u16string_view name, RegistryValue value);
    // A REG_SZ value: the text and its terminating NUL.
    static void SetHardwareString(PDEVICE_OBJECT physicalDevice, std::u16string_view name, std::u16string_view text);
    static void SetHardwareDword(PDEVICE_OBJECT physicalDevice, std::u16string_view name, ULONG data);
    static void DeleteHardwareValue(PDEVICE_OBJECT physicalDevice, std::u16string_view name);
    static std::optional<RegistryValue> HardwareValue(PDEVICE_OBJECT physicalDevice, std::u16string_view name);

    // Values under HKLM\HARDWARE\DEVICEMAP\<subkey>.
    static std::optional<RegistryValue> DeviceMapValue(std::u16string_view subkey, std::u16string_view name);
    static std::vector<std::u16string> DeviceMapValueNames(std::u16string_view subkey);

    static size_t OpenHandleCount();
    static void Reset();
};

}  // namespace sim
