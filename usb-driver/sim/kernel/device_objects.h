// Device and driver objects: creation, stacks and deletion.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

// The kernel's private part of every device object.
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT DeviceObject = nullptr;
    PDEVICE_OBJECT AttachedTo = nullptr;
    std::u16string Name;
    // Set for physical device objects: the device instance path, such as
    // USB\VID_1234&PID_5678\0001.
    std::u16string InstanceId;
    // Set for physical device objects from the success of their stack's
    // start request to its remove request: the I/O manager lets no open
    // through to a stack a bus enumerated unless it is set.
    std::atomic<bool> Started = false;
    bool Deleted = false;
    // Open files and kernel users that keep the memory alive after deletion.
    LONG References = 0;
    // Run once References next falls to 0, outside the kernel's locks.
    std::vector<std::function<void()>> WhenUnreferenced;
};

namespace sim {

// A driver object with the I/O manager's default handler in every entry.
PDRIVER_OBJECT CreateDriverObject(std::u16string_view name);
void DeleteDriverObject(PDRIVER_OBJECT driver);

// The top of the stack the device belongs to.
PDEVICE_OBJECT AttachedDeviceOf(PDEVICE_OBJECT device);
// The bottom of that stack: the physical device object of a Plug and Play stack.
PDEVICE_OBJECT BaseDeviceOf(PDEVICE_OBJECT device);
_DEVOBJ_EXTENSION& KernelExtensionOf(PDEVICE_OBJECT device);

// Keep a device object's memory alive across its deletion.
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
// Runs action once nothing references the device any more: at once when
// nothing does now, else in the thread that drops the last reference.
void WhenUnreferenced(PDEVICE_OBJECT device, std::function<void()> action);
// Whether anything references a device object of the stack the device
// belongs to, as every file open on one of them does until its close.
bool StackReferenced(PDEVICE_OBJECT device);

std::vector<PDEVICE_OBJECT> LiveDeviceObjects();
// Device objects deleted while something still referenced them; each goes
// when its last reference does.
std::vector<PDEVICE_OBJECT> DeletedReferencedDeviceObjects();
bool IsLiveDeviceObject(PDEVICE_OBJECT device);
// Live, or deleted while references keep its memory: files opened before
// the deletion still send their cleanup and close to it.
bool DeviceObjectExists(PDEVICE_OBJECT device);
void ResetDeviceObjects();

}  // namespace sim
