#include "sim/support/test_driver.h"

#include <mutex>

#include "kernel/device_objects.h"

namespace bulkcom_test {

namespace {

// The dispatch entries are plain functions; they find their driver here.
std::mutex driversLock;
std::map<PDRIVER_OBJECT, TestDriver*> drivers;

}  // namespace

TestDriver::TestDriver(std::u16string_view name) : driver_(sim::CreateDriverObject(name))
{
    std::lock_guard lock(driversLock);
    drivers[driver_] = this;
}

TestDriver::~TestDriver()
{
    // Detach everything first so that deletion order does not matter.
    for (PDEVICE_OBJECT device = driver_->DeviceObject; device != nullptr; device = device->NextDevice) {
        if (device->AttachedDevice != nullptr) {
            IoDetachDevice(device);
        }
        if (PDEVICE_OBJECT below = sim::KernelExtensionOf(device).AttachedTo; below != nullptr) {
            IoDetachDevice(below);
        }
    }
    while (driver_->DeviceObject != nullptr) {
        IoDeleteDevice(driver_->DeviceObject);
    }
    {
        std::lock_guard lock(driversLock);
        drivers.erase(driver_);
    }
    sim::DeleteDriverObject(driver_);
}

void TestDriver::On(UCHAR majorFunction, DispatchHandler handler)
{
    handlers_.at(majorFunction) = std::move(handler);
    driver_->MajorFunction[majorFunction] = Route;
}

void TestDriver::Hold(UCHAR majorFunction, PIRP* held)
{
    On(majorFunction, [held](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        *held = irp;
        return STATUS_PENDING;
    });
}

PDEVICE_OBJECT TestDriver::CreateDevice(std::u16string_view name, PDEVICE_OBJECT target)
{
    std::u16string text(name);
    UNICODE_STRING deviceName = Counted(text.c_str());
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver_, 0, name.empty() ? nullptr : &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    if (target != nullptr) {
        below_[device] = IoAttachDeviceToDeviceStack(device, target);
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

NTSTATUS NTAPI TestDriver::Route(PDEVICE_OBJECT device, PIRP irp)
{
    TestDriver* driver;
    {
        std::lock_guard lock(driversLock);
        driver = drivers.at(device->DriverObject);
    }
    return driver->handlers_.at(IoGetCurrentIrpStackLocation(irp)->MajorFunction)(device, irp);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT below, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(below, irp);
}

UNICODE_STRING Counted(const char16_t* text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

}  // namespace bulkcom_test
