#include "device_interfaces.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "device_objects.h"
#include "fault_injection.h"
#include "irql.h"
#include "object_namespace.h"
#include "pool.h"

namespace sim {

namespace {

constexpr ULONG interfaceNameTag = PoolTag("IoIn");

struct Registration {
    std::u16string name;
    PDEVICE_OBJECT physicalDevice;
    std::u16string target;
    bool enabled = false;
};

std::mutex interfaceLock;
std::map<std::u16string, Registration> registrations;  // by upper-case name

std::u16string Upper(std::u16string text)
{
    for (auto& c : text) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return text;
}

}  // namespace

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return ToU16(text);
}

bool DeviceInterfaces::IsEnabled(std::u16string_view symbolicLinkName)
{
    std::lock_guard lock(interfaceLock);
    auto found = registrations.find(Upper(std::u16string(symbolicLinkName)));
    return found != registrations.end() && found->second.enabled;
}

std::vector<std::u16string> DeviceInterfaces::Registered()
{
    std::lock_guard lock(interfaceLock);
    std::vector<std::u16string> names;
    for (const auto& [key, registration] : registrations) {
        names.push_back(registration.name);
    }
    return names;
}

std::vector<std::u16string> DeviceInterfaces::Enabled()
{
    std::lock_guard lock(interfaceLock);
    std::vector<std::u16string> names;
    for (const auto& [key, registration] : registrations) {
        if (registration.enabled) {
            names.push_back(registration.name);
        }
    }
    return names;
}

void DeviceInterfaces::DisableAllOf(PDEVICE_OBJECT physicalDevice)
{
    std::lock_guard lock(interfaceLock);
    for (auto& [key, registration] : registrations) {
        if (registration.physicalDevice == physicalDevice && registration.enabled) {
            Namespace::DeleteLink(registration.name);
            registration.enabled = false;
        }
    }
}

void DeviceInterfaces::Reset()
{
    std::lock_guard lock(interfaceLock);
    registrations.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    NTSTATUS failure;
    if (Faults::ShouldFail(Fault::RegisterDeviceInterface, SIM_CALL_SITE(), &failure)) {
        return failure;
    }
    const _DEVOBJ_EXTENSION& device = KernelExtensionOf(PhysicalDeviceObject);
    if (device.InstanceId.empty() || device.Name.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // \??\<instance path with '\' as '#'>#{class}[\reference]
    std::u16string name = u"\\??\\";
    for (char16_t c : device.InstanceId) {
        name += c == u'\\' ? u'#' : c;
    }
    name += u"#" + GuidText(*InterfaceClassGuid);
    if (ReferenceString != nullptr && ReferenceString->Length != 0) {
        name += u"\\" + FromUnicodeString(ReferenceString);
    }

    size_t bytes = name.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(Pool::AllocateForKernel(PagedPool, bytes + sizeof(WCHAR), interfaceNameTag));
    std::memcpy(buffer, name.data(), bytes);
    buffer[name.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));

    std::lock_guard lock(interfaceLock);
    std::u16string key = Upper(name);
    auto found = registrations.find(key);
    if (found == registrations.end()) {
        registrations[key] = Registration{name, PhysicalDeviceObject, device.Name, false};
    } else if (!found->second.enabled) {
        // The interface belongs to the device instance: enumerated again
        // (replugged or after a port cycle), it leads to the new physical device.
        found->second.physicalDevice = PhysicalDeviceObject;
        found->second.target = device.Name;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    NTSTATUS failure;
    if (Faults::ShouldFail(Fault::SetDeviceInterfaceState, SIM_CALL_SITE(), &failure)) {
        return failure;
    }
    std::lock_guard lock(interfaceLock);
    auto found = registrations.find(Upper(FromUnicodeString(SymbolicLinkName)));
    if (found == registrations.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Registration& registration = found->second;
    if (Enable) {
        if (registration.enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        NTSTATUS status = Namespace::CreateLink(registration.name, registration.target);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        registration.enabled = true;
        return STATUS_SUCCESS;
    }
    if (!registration.enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Namespace::DeleteLink(registration.name);
    registration.enabled = false;
    return STATUS_SUCCESS;
}

}  // extern "C"
