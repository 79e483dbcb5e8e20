#include "registry.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "device_objects.h"
#include "fault_injection.h"
#include "irql.h"
#include "object_namespace.h"

namespace sim {

namespace {

struct CaseInsensitiveLess {
    static char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }
    bool operator()(const std::u16string& a, const std::u16string& b) const
    {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char16_t x, char16_t y) { return Fold(x) < Fold(y); });
    }
};

using Key = std::map<std::u16string, RegistryValue, CaseInsensitiveLess>;

struct OpenKey {
    std::shared_ptr<Key> key;
    ACCESS_MASK access;
};

std::mutex registryLock;
std::map<PDEVICE_OBJECT, std::shared_ptr<Key>> hardwareKeys;
std::map<std::u16string, std::shared_ptr<Key>, CaseInsensitiveLess> deviceMap;
std::map<HANDLE, OpenKey> handles;
ULONG_PTR nextHandle = 0x1000;

std::u16string ZeroTerminated(PCWSTR text)
{
    std::u16string value;
    for (; text != nullptr && *text != 0; text++) {
        value += *text;
    }
    return value;
}

ULONG AlignUp4(ULONG value)
{
    return (value + 3) & ~3u;
}

// Only the device map is simulated among the relative roots.
NTSTATUS DeviceMapKey(ULONG relativeTo, PCWSTR path, bool create, std::shared_ptr<Key>* key)
{
    if (relativeTo != RTL_REGISTRY_DEVICEMAP) {
        return STATUS_NOT_SUPPORTED;
    }
    std::u16string name = ZeroTerminated(path);
    auto found = deviceMap.find(name);
    if (found == deviceMap.end()) {
        if (!create) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        found = deviceMap.emplace(name, std::make_shared<Key>()).first;
    }
    *key = found->second;
    return STATUS_SUCCESS;
}

}  // namespace

void Registry::CreateHardwareKey(PDEVICE_OBJECT physicalDevice)
{
    std::lock_guard lock(registryLock);
    hardwareKeys.emplace(physicalDevice, std::make_shared<Key>());
}

void Registry::ShareHardwareKey(PDEVICE_OBJECT from, PDEVICE_OBJECT to)
{
    std::lock_guard lock(registryLock);
    hardwareKeys[to] = hardwareKeys.at(from);
}

void Registry::DeleteHardwareKey(PDEVICE_OBJECT physicalDevice)
{
    std::lock_guard lock(registryLock);
    hardwareKeys.erase(physicalDevice);
}

void Registry::SetHardwareValue(PDEVICE_OBJECT physicalDevice, std::u16string_view name, RegistryValue value)
{
    std::lock_guard lock(registryLock);
    (*hardwareKeys.at(physicalDevice))[std::u16string(name)] = std::move(value);
}

void Registry::SetHardwareString(PDEVICE_OBJECT physicalDevice, std::u16string_view name, std::u16string_view text)
{
    RegistryValue value{REG_SZ, {}};
    for (char16_t c : text) {
        value.data.push_back(static_cast<UCHAR>(c & 0xFF));
        value.data.push_back(static_cast<UCHAR>(c >> 8));
    }
    value.data.push_back(0);
    value.data.push_back(0);
    SetHardwareValue(physicalDevice, name, std::move(value));
}

void Registry::SetHardwareDword(PDEVICE_OBJECT physicalDevice, std::u16string_view name, ULONG data)
{
    RegistryValue value{REG_DWORD, std::vector<UCHAR>(4)};
    std::memcpy(value.data.data(), &data, 4);
    SetHardwareValue(physicalDevice, name, std::move(value));
}

void Registry::DeleteHardwareValue(PDEVICE_OBJECT physicalDevice, std::u16string_view name)
{
    std::lock_guard lock(registryLock);
    hardwareKeys.at(physicalDevice)->erase(std::u16string(name));
}

std::optional<RegistryValue> Registry::HardwareValue(PDEVICE_OBJECT physicalDevice, std::u16string_view name)
{
    std::lock_guard lock(registryLock);
    const auto& key = *hardwareKeys.at(physicalDevice);
    auto value = key.find(std::u16string(name));
    if (value == key.end()) {
        return std::nullopt;
    }
    return value->second;
}

std::optional<RegistryValue> Registry::DeviceMapValue(std::u16string_view subkey, std::u16string_view name)
{
    std::lock_guard lock(registryLock);
    auto key = deviceMap.find(std::u16string(subkey));
    if (key == deviceMap.end()) {
        return std::nullopt;
    }
    auto value = key->second->find(std::u16string(name));
    if (value == key->second->end()) {
        return std::nullopt;
    }
    return value->second;
}

std::vector<std::u16string> Registry::DeviceMapValueNames(std::u16string_view subkey)
{
    std::lock_guard lock(registryLock);
    std::vector<std::u16string> names;
    auto key = deviceMap.find(std::u16string(subkey));
    if (key != deviceMap.end()) {
        for (const auto& [name, value] : *key->second) {
            names.push_back(name);
        }
    }
    return names;
}

size_t Registry::OpenHandleCount()
{
    std::lock_guard lock(registryLock);
    return handles.size();
}

void Registry::Reset()
{
    std::lock_guard lock(registryLock);
    hardwareKeys.clear();
    deviceMap.clear();
    handles.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    NTSTATUS failure;
    if (Faults::ShouldFail(Fault::OpenDeviceRegistryKey, SIM_CALL_SITE(), &failure)) {
        return failure;
    }
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) {
        return STATUS_NOT_SUPPORTED;
    }
    std::lock_guard lock(registryLock);
    auto found = hardwareKeys.find(DeviceObject);
    if (found == hardwareKeys.end()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle += 4);
    handles[handle] = OpenKey{found->second, DesiredAccess};
    *DevInstRegKey = handle;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    std::lock_guard lock(registryLock);
    return handles.erase(Handle) != 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    NTSTATUS failure;
    if (Faults::ShouldFail(Fault::QueryValueKey, SIM_CALL_SITE(), &failure)) {
        return failure;
    }
    if (KeyValueInformationClass != KeyValueFullInformation) {
        return STATUS_NOT_SUPPORTED;
    }
    std::lock_guard lock(registryLock);
    auto handle = handles.find(KeyHandle);
    if (handle == handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    // Access is checked against the handle, as a kernel that checks kernel
    // callers does: a key opened without KEY_QUERY_VALUE cannot be read.
    if ((handle->second.access & KEY_QUERY_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    std::u16string name = FromUnicodeString(ValueName);
    auto value = handle->second.key->find(name);
    if (value == handle->second.key->end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }

    constexpr ULONG fixedPart = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
    ULONG nameLength = static_cast<ULONG>(value->first.size() * sizeof(WCHAR));
    ULONG dataOffset = AlignUp4(fixedPart + nameLength);
    ULONG dataLength = static_cast<ULONG>(value->second.data.size());
    ULONG required = dataOffset + dataLength;
    *ResultLength = required;
    if (Length < fixedPart) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* information = static_cast<PKEY_VALUE_FULL_INFORMATION>(KeyValueInformation);
    information->TitleIndex = 0;
    information->Type = value->second.type;
    information->DataOffset = dataOffset;
    information->DataLength = dataLength;
    information->NameLength = nameLength;
    if (Length < required) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(information->Name, value->first.data(), nameLength);
    std::memcpy(static_cast<UCHAR*>(KeyValueInformation) + dataOffset, value->second.data.data(), dataLength);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                     ULONG ValueLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    NTSTATUS failure;
    if (Faults::ShouldFail(Fault::WriteRegistryValue, SIM_CALL_SITE(), &failure)) {
        return failure;
    }
    std::lock_guard lock(registryLock);
    std::shared_ptr<Key> key;
    NTSTATUS status = DeviceMapKey(RelativeTo, Path, true, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* bytes = static_cast<UCHAR*>(ValueData);
    (*key)[ZeroTerminated(ValueName)] = RegistryValue{ValueType, std::vector<UCHAR>(bytes, bytes + ValueLength)};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    std::lock_guard lock(registryLock);
    std::shared_ptr<Key> key;
    NTSTATUS status = DeviceMapKey(RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return key->erase(ZeroTerminated(ValueName)) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
