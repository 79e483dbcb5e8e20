#include "standin_bus.h"

#include <map>
#include <mutex>

#include "kernel/device_interfaces.h"
#include "kernel/device_objects.h"
#include "kernel/object_namespace.h"
#include "kernel/registry.h"
#include "usb/controller_thread.h"

namespace sim {

namespace {

struct PhysicalDeviceState {
    std::optional<DEVICE_CAPABILITIES> capabilities = TypicalUsbCapabilities();
    std::vector<ReceivedRequest> received;
    std::optional<DEVICE_CAPABILITIES> asked;
    ControllerThread* worker = nullptr;
    bool pendPnp = false;
};

std::mutex busLock;
std::map<PDEVICE_OBJECT, PhysicalDeviceState> states;

// What Windows does not let any driver fail, a bus driver succeeds.
bool MayNotFail(UCHAR minorFunction)
{
    switch (minorFunction) {
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        return true;
    default:
        return false;
    }
}

NTSTATUS NTAPI StandInDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    {
        std::lock_guard lock(busLock);
        PhysicalDeviceState& state = states.at(DeviceObject);
        bool control =
            stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        state.received.push_back(ReceivedRequest{stack->MajorFunction, stack->MinorFunction,
                                                 control ? stack->Parameters.DeviceIoControl.IoControlCode : 0});
        bool capabilitiesQuery =
            stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES;
        if (capabilitiesQuery) {
            state.asked = *stack->Parameters.DeviceCapabilities.Capabilities;
        }
        if (capabilitiesQuery && state.capabilities) {
            PDEVICE_CAPABILITIES record = stack->Parameters.DeviceCapabilities.Capabilities;
            DEVICE_CAPABILITIES reported = *state.capabilities;
            reported.Size = record->Size;
            reported.Version = record->Version;
            *record = reported;
            status = STATUS_SUCCESS;
        }
    }
    if (stack->MajorFunction == IRP_MJ_PNP && MayNotFail(stack->MinorFunction)) {
        status = STATUS_SUCCESS;
    }
    bool powerAnswered = stack->MajorFunction == IRP_MJ_POWER &&
                         (stack->MinorFunction == IRP_MN_QUERY_POWER || stack->MinorFunction == IRP_MN_SET_POWER);
    if (powerAnswered) {
        status = STATUS_SUCCESS;
        PoStartNextPowerIrp(Irp);
    }
    Irp->IoStatus.Status = status;
    ControllerThread* worker = nullptr;
    if (stack->MajorFunction == IRP_MJ_PNP) {
        std::lock_guard lock(busLock);
        const PhysicalDeviceState& state = states.at(DeviceObject);
        if (state.pendPnp) {
            worker = state.worker;
        }
    }
    if (worker != nullptr) {
        IoMarkIrpPending(Irp);
        worker->Post([Irp] { IoCompleteRequest(Irp, IO_NO_INCREMENT); });
        return STATUS_PENDING;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

DEVICE_CAPABILITIES TypicalUsbCapabilities()
{
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 1;
    capabilities.Removable = 1;
    capabilities.Address = 1;
    capabilities.UINumber = 1;
    capabilities.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    capabilities.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    capabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    capabilities.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    capabilities.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    capabilities.SystemWake = PowerSystemSleeping3;
    capabilities.DeviceWake = PowerDeviceD2;
    return capabilities;
}

StandInBus::StandInBus()
    : driver_(CreateDriverObject(u"\\Driver\\usbhub")), worker_(std::make_unique<ControllerThread>())
{
    for (auto& entry : driver_->MajorFunction) {
        entry = StandInDispatch;
    }
}

StandInBus::~StandInBus()
{
    while (driver_->DeviceObject != nullptr) {
        DeletePhysicalDevice(driver_->DeviceObject);
    }
    DeleteDriverObject(driver_);
}

PDEVICE_OBJECT StandInBus::CreatePhysicalDevice(std::u16string_view instanceId)
{
    std::u16string name = u"\\Device\\USBPDO-" + ToU16(std::to_string(nextNumber_++));
    UNICODE_STRING deviceName{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver_, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    KernelExtensionOf(device).InstanceId = std::u16string(instanceId);
    Registry::CreateHardwareKey(device);
    std::lock_guard lock(busLock);
    states[device] = PhysicalDeviceState{};
    states[device].worker = worker_.get();
    return device;
}

void StandInBus::DeletePhysicalDevice(PDEVICE_OBJECT physicalDevice)
{
    // Requests pended on the device end before it goes.
    worker_->Flush();
    DeviceInterfaces::DisableAllOf(physicalDevice);
    Registry::DeleteHardwareKey(physicalDevice);
    {
        std::lock_guard lock(busLock);
        states.erase(physicalDevice);
    }
    IoDeleteDevice(physicalDevice);
}

void StandInBus::SetCapabilities(PDEVICE_OBJECT physicalDevice, std::optional<DEVICE_CAPABILITIES> capabilities)
{
    std::lock_guard lock(busLock);
    states.at(physicalDevice).capabilities = capabilities;
}

void StandInBus::PendPnpRequests(PDEVICE_OBJECT physicalDevice, bool pend)
{
    std::lock_guard lock(busLock);
    states.at(physicalDevice).pendPnp = pend;
}

std::vector<ReceivedRequest> StandInBus::Received(PDEVICE_OBJECT physicalDevice) const
{
    std::lock_guard lock(busLock);
    return states.at(physicalDevice).received;
}

std::optional<DEVICE_CAPABILITIES> StandInBus::CapabilitiesAsAsked(PDEVICE_OBJECT physicalDevice) const
{
    std::lock_guard lock(busLock);
    return states.at(physicalDevice).asked;
}

}  // namespace sim
