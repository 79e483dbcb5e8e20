#include "device_objects.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <set>

#include "bugcheck.h"
#include "fault_injection.h"
#include "irql.h"
#include "object_namespace.h"

namespace sim {

namespace {

constexpr CSHORT IO_TYPE_DRIVER = 4;
constexpr CSHORT IO_TYPE_DEVICE = 3;

std::recursive_mutex objectLock;
std::set<PDEVICE_OBJECT> liveDevices;
std::set<PDEVICE_OBJECT> deletedReferenced;
std::set<PDRIVER_OBJECT> liveDrivers;

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void FreeDeviceMemory(PDEVICE_OBJECT device)
{
    delete device->DeviceObjectExtension;
    ::operator delete (device, std::align_val_t{16});
}

}  // namespace

PDRIVER_OBJECT CreateDriverObject(std::u16string_view name)
{
    auto* driver = new DRIVER_OBJECT{};
    auto* extension = new DRIVER_EXTENSION{};
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    auto* nameBuffer = new WCHAR[name.size() + 1]{};
    std::copy(name.begin(), name.end(), nameBuffer);
    driver->DriverName =
        UNICODE_STRING{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2 + 2), nameBuffer};
    for (auto& entry : driver->MajorFunction) {
        entry = DefaultDispatch;
    }
    std::lock_guard lock(objectLock);
    liveDrivers.insert(driver);
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    {
        std::lock_guard lock(objectLock);
        if (driver->DeviceObject != nullptr) {
            BugCheck("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                     "driver object deleted while it still owns device objects", driver);
        }
        liveDrivers.erase(driver);
    }
    delete[] driver->DriverName.Buffer;
    delete driver->DriverExtension;
    delete driver;
}

PDEVICE_OBJECT AttachedDeviceOf(PDEVICE_OBJECT device)
{
    std::lock_guard lock(objectLock);
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

PDEVICE_OBJECT BaseDeviceOf(PDEVICE_OBJECT device)
{
    std::lock_guard lock(objectLock);
    while (device->DeviceObjectExtension->AttachedTo != nullptr) {
        device = device->DeviceObjectExtension->AttachedTo;
    }
    return device;
}

_DEVOBJ_EXTENSION& KernelExtensionOf(PDEVICE_OBJECT device)
{
    return *device->DeviceObjectExtension;
}

void ReferenceDevice(PDEVICE_OBJECT device)
{
    std::lock_guard lock(objectLock);
    device->DeviceObjectExtension->References++;
}

void DereferenceDevice(PDEVICE_OBJECT device)
{
    std::vector<std::function<void()>> actions;
    {
        std::lock_guard lock(objectLock);
        _DEVOBJ_EXTENSION* extension = device->DeviceObjectExtension;
        if (--extension->References != 0) {
            return;
        }
        actions.swap(extension->WhenUnreferenced);
        if (extension->Deleted) {
            deletedReferenced.erase(device);
            FreeDeviceMemory(device);
        }
    }
    for (auto& action : actions) {
        action();
    }
}

void WhenUnreferenced(PDEVICE_OBJECT device, std::function<void()> action)
{
    {
        std::lock_guard lock(objectLock);
        if (device->DeviceObjectExtension->References != 0) {
            device->DeviceObjectExtension->WhenUnreferenced.push_back(std::move(action));
            return;
        }
    }
    action();
}

bool StackReferenced(PDEVICE_OBJECT device)
{
    std::lock_guard lock(objectLock);
    for (device = BaseDeviceOf(device); device != nullptr; device = device->AttachedDevice) {
        if (device->DeviceObjectExtension->References != 0) {
            return true;
        }
    }
    return false;
}

std::vector<PDEVICE_OBJECT> LiveDeviceObjects()
{
    std::lock_guard lock(objectLock);
    return {liveDevices.begin(), liveDevices.end()};
}

std::vector<PDEVICE_OBJECT> DeletedReferencedDeviceObjects()
{
    std::lock_guard lock(objectLock);
    return {deletedReferenced.begin(), deletedReferenced.end()};
}

bool IsLiveDeviceObject(PDEVICE_OBJECT device)
{
    std::lock_guard lock(objectLock);
    return liveDevices.count(device) != 0;
}

bool DeviceObjectExists(PDEVICE_OBJECT device)
{
    std::lock_guard lock(objectLock);
    return liveDevices.count(device) != 0 || deletedReferenced.count(device) != 0;
}

void ResetDeviceObjects()
{
    std::lock_guard lock(objectLock);
    for (PDEVICE_OBJECT device : liveDevices) {
        FreeDeviceMemory(device);
    }
    liveDevices.clear();
    for (PDEVICE_OBJECT device : deletedReferenced) {
        FreeDeviceMemory(device);
    }
    deletedReferenced.clear();
    for (PDRIVER_OBJECT driver : liveDrivers) {
        delete[] driver->DriverName.Buffer;
        delete driver->DriverExtension;
        delete driver;
    }
    liveDrivers.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    NTSTATUS failure;
    if (Faults::ShouldFail(Fault::CreateDevice, SIM_CALL_SITE(), &failure)) {
        return failure;
    }
    // The extension follows the object, 16-byte aligned, zero-filled.
    constexpr size_t objectSize = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    void* memory = ::operator new (objectSize + DeviceExtensionSize, std::align_val_t{16});
    std::memset(memory, 0, objectSize + DeviceExtensionSize);
    auto* device = static_cast<PDEVICE_OBJECT>(memory);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(objectSize + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize != 0 ? static_cast<char*>(memory) + objectSize : nullptr;
    device->DeviceObjectExtension = new _DEVOBJ_EXTENSION{};
    device->DeviceObjectExtension->DeviceObject = device;

    std::lock_guard lock(objectLock);
    if (DeviceName != nullptr) {
        std::u16string name(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
        NTSTATUS status = Namespace::InsertDevice(name, device);
        if (!NT_SUCCESS(status)) {
            FreeDeviceMemory(device);
            return status;
        }
        device->DeviceObjectExtension->Name = name;
    }
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    liveDevices.insert(device);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    std::lock_guard lock(objectLock);
    if (liveDevices.count(DeviceObject) == 0) {
        BugCheck("INVALID_DEVICE_OBJECT", "IoDeleteDevice on a device object that does not exist", DeviceObject);
    }
    _DEVOBJ_EXTENSION* extension = DeviceObject->DeviceObjectExtension;
    if (extension->AttachedTo != nullptr) {
        BugCheck("DEVICE_STILL_ATTACHED", "IoDeleteDevice on a device object still attached to a lower device",
                 DeviceObject);
    }
    if (DeviceObject->AttachedDevice != nullptr) {
        BugCheck("DEVICE_STILL_ATTACHED", "IoDeleteDevice while another device is attached above it", DeviceObject);
    }
    if (!extension->Name.empty()) {
        Namespace::RemoveDevice(extension->Name);
    }
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != DeviceObject) {
        link = &(*link)->NextDevice;
    }
    *link = DeviceObject->NextDevice;
    liveDevices.erase(DeviceObject);
    extension->Deleted = true;
    if (extension->References == 0) {
        FreeDeviceMemory(DeviceObject);
    } else {
        deletedReferenced.insert(DeviceObject);
    }
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    if (Faults::ShouldFail(Fault::AttachDevice, SIM_CALL_SITE())) {
        return nullptr;
    }
    std::lock_guard lock(objectLock);
    PDEVICE_OBJECT top = AttachedDeviceOf(TargetDevice);
    if (top->DeviceObjectExtension->Deleted) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    std::lock_guard lock(objectLock);
    PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
    if (attached == nullptr) {
        BugCheck("INVALID_DEVICE_OBJECT", "IoDetachDevice on a device that has nothing attached", TargetDevice);
    }
    attached->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

}  // extern "C"
