#include "usb_bus.h"

#include <algorithm>
#include <cstdio>

#include "kernel/bugcheck.h"
#include "kernel/device_interfaces.h"
#include "kernel/device_objects.h"
#include "kernel/irql.h"
#include "kernel/object_namespace.h"
#include "kernel/registry.h"
#include "pnp-power/standin_bus.h"

namespace sim {

namespace {

std::u16string InstanceIdOf(const std::vector<UCHAR>& deviceDescriptor, std::u16string_view instance)
{
    auto word = [&](size_t offset) {
        return deviceDescriptor.size() >= offset + 2 ? deviceDescriptor[offset] | deviceDescriptor[offset + 1] << 8 : 0;
    };
    char ids[32];
    std::snprintf(ids, sizeof(ids), "USB\\VID_%04X&PID_%04X\\", word(offsetof(USB_DEVICE_DESCRIPTOR, idVendor)),
                  word(offsetof(USB_DEVICE_DESCRIPTOR, idProduct)));
    return ToU16(ids) + std::u16string(instance);
}

const char* PortRequestName(ULONG code)
{
    switch (code) {
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: return "IOCTL_INTERNAL_USB_GET_PORT_STATUS";
    case IOCTL_INTERNAL_USB_RESET_PORT: return "IOCTL_INTERNAL_USB_RESET_PORT";
    case IOCTL_INTERNAL_USB_CYCLE_PORT: return "IOCTL_INTERNAL_USB_CYCLE_PORT";
    default: return nullptr;
    }
}

// The URB a submit request carries, when it is long enough to say which
// function it asks for.
PURB UrbOf(PIRP irp)
{
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    if (stack.Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return nullptr;
    }
    auto* urb = static_cast<PURB>(stack.Parameters.Others.Argument1);
    return urb != nullptr && urb->UrbHeader.Length >= sizeof(urb->UrbHeader) ? urb : nullptr;
}

const char* PassiveUrbName(const URB& urb)
{
    switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return "URB_FUNCTION_SELECT_CONFIGURATION";
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL";
    default: return nullptr;
    }
}

}  // namespace

UsbBus::UsbBus(CompletionMode defaultMode) : driver_(CreateDriverObject(u"\\Driver\\usbhub")), defaultMode_(defaultMode)
{
    for (auto& entry : driver_->MajorFunction) {
        entry = Dispatch;
    }
}

UsbBus::~UsbBus()
{
    ReleaseController();
    while (driver_->DeviceObject != nullptr) {
        DeletePhysicalDevice(driver_->DeviceObject);
    }
    DeleteDriverObject(driver_);
}

PDEVICE_OBJECT UsbBus::CreatePhysicalDevice(std::shared_ptr<UsbDeviceModel> device, std::u16string_view instance)
{
    PDEVICE_OBJECT physicalDevice = nullptr;
    NTSTATUS status;
    do {
        std::u16string name = u"\\Device\\USBPDO-" + ToU16(std::to_string(nextNumber_++));
        UNICODE_STRING deviceName{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                                  name.data()};
        status = IoCreateDevice(driver_, sizeof(UsbBus*), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &physicalDevice);
    } while (status == STATUS_OBJECT_NAME_COLLISION);
    if (!NT_SUCCESS(status)) {
        BugCheck("SIMULATION_LIMIT", "the USB bus could not create a physical device object", driver_);
    }
    *static_cast<UsbBus**>(physicalDevice->DeviceExtension) = this;
    // Power requests come at PASSIVE_LEVEL, as to the hub's own children.
    physicalDevice->Flags |= DO_POWER_PAGABLE;
    physicalDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    KernelExtensionOf(physicalDevice).InstanceId = InstanceIdOf(device->DeviceDescriptor(), instance);
    Registry::CreateHardwareKey(physicalDevice);
    {
        std::lock_guard lock(lock_);
        devices_.emplace(physicalDevice, PhysicalDevice{std::make_unique<UsbFunction>(device, CancelTransfer),
                                                        defaultMode_, TypicalUsbCapabilities(), {}, {}});
    }
    device->SetActivityHandler([this, physicalDevice] { OnActivity(physicalDevice); });
    return physicalDevice;
}

void UsbBus::DeletePhysicalDevice(PDEVICE_OBJECT physicalDevice)
{
    ReleasePowerRequests(physicalDevice);
    UsbFunction::Completions done;
    CompletionMode mode;
    {
        std::lock_guard lock(lock_);
        PhysicalDevice& device = DeviceOf(physicalDevice);
        device.function->Device().SetActivityHandler(nullptr);
        if (device.function->Connected()) {
            device.function->Unplug(done);
        }
        mode = device.mode;
    }
    Deliver(mode, std::move(done));
    // Requests still on their way through the controller end before the
    // device object goes, and so do transfers whose cancel routine is running.
    controller_.Flush();
    {
        std::unique_lock lock(lock_);
        cancelled_.wait(lock, [&] { return DeviceOf(physicalDevice).function->WaitingTransfers() == 0; });
        devices_.erase(physicalDevice);
    }
    DeviceInterfaces::DisableAllOf(physicalDevice);
    Registry::DeleteHardwareKey(physicalDevice);
    IoDeleteDevice(physicalDevice);
}

void UsbBus::SetCompletionMode(PDEVICE_OBJECT physicalDevice, CompletionMode mode)
{
    std::lock_guard lock(lock_);
    DeviceOf(physicalDevice).mode = mode;
}

void UsbBus::SetCapabilities(PDEVICE_OBJECT physicalDevice, std::optional<DEVICE_CAPABILITIES> capabilities)
{
    std::lock_guard lock(lock_);
    DeviceOf(physicalDevice).capabilities = capabilities;
}

void UsbBus::PendPnpRequests(PDEVICE_OBJECT physicalDevice, bool pend)
{
    std::lock_guard lock(lock_);
    DeviceOf(physicalDevice).pendPnp = pend;
}

void UsbBus::SetPortStatus(PDEVICE_OBJECT physicalDevice, std::optional<ULONG> status)
{
    std::lock_guard lock(lock_);
    DeviceOf(physicalDevice).function->SetPortStatus(status);
}

void UsbBus::FailRequests(PDEVICE_OBJECT physicalDevice, std::function<bool(const UsbRequestRecord&)> matches,
                          NTSTATUS status, USBD_STATUS usbdStatus)
{
    std::lock_guard lock(lock_);
    DeviceOf(physicalDevice).function->FailRequests(std::move(matches), status, usbdStatus);
}

void UsbBus::ClearFailures(PDEVICE_OBJECT physicalDevice)
{
    std::lock_guard lock(lock_);
    DeviceOf(physicalDevice).function->ClearFailures();
}

void UsbBus::HoldPowerRequests(PDEVICE_OBJECT physicalDevice, std::function<bool(const UsbRequestRecord&)> matches)
{
    std::lock_guard lock(lock_);
    DeviceOf(physicalDevice).holdPower = std::move(matches);
}

void UsbBus::ReleasePowerRequests(PDEVICE_OBJECT physicalDevice)
{
    std::vector<HeldPowerRequest> held;
    CompletionMode mode;
    {
        std::lock_guard lock(lock_);
        PhysicalDevice& device = DeviceOf(physicalDevice);
        device.holdPower = nullptr;
        held.swap(device.heldPower);
        mode = device.mode;
    }
    for (const HeldPowerRequest& request : held) {
        if (mode == CompletionMode::ControllerThread) {
            controller_.Post([this, physicalDevice, request] { FinishPower(physicalDevice, request); });
        } else {
            FinishPower(physicalDevice, request);
        }
    }
}

void UsbBus::Unplug(PDEVICE_OBJECT physicalDevice)
{
    UsbFunction::Completions done;
    CompletionMode mode;
    std::function<void(PDEVICE_OBJECT)> handler;
    {
        std::lock_guard lock(lock_);
        PhysicalDevice& device = DeviceOf(physicalDevice);
        if (!device.function->Connected()) {
            return;
        }
        device.function->Unplug(done);
        mode = device.mode;
        handler = unplugHandler_;
    }
    Deliver(mode, std::move(done));
    if (handler) {
        handler(physicalDevice);
    }
}

void UsbBus::SetUnplugHandler(std::function<void(PDEVICE_OBJECT)> handler)
{
    std::lock_guard lock(lock_);
    unplugHandler_ = std::move(handler);
}

std::vector<UsbRequestRecord> UsbBus::Requests(PDEVICE_OBJECT physicalDevice) const
{
    std::lock_guard lock(lock_);
    return DeviceOf(physicalDevice).function->Log().Recent();
}

std::vector<UsbRequestRecord> UsbBus::Requests(PDEVICE_OBJECT physicalDevice, size_t from) const
{
    std::lock_guard lock(lock_);
    return DeviceOf(physicalDevice).function->Log().Since(from);
}

size_t UsbBus::RequestCount(PDEVICE_OBJECT physicalDevice) const
{
    std::lock_guard lock(lock_);
    return DeviceOf(physicalDevice).function->Log().Count();
}

size_t UsbBus::WaitingTransfers(PDEVICE_OBJECT physicalDevice) const
{
    std::lock_guard lock(lock_);
    return DeviceOf(physicalDevice).function->WaitingTransfers();
}

void UsbBus::HoldController()
{
    {
        std::lock_guard hold(holdLock_);
        held_ = true;
    }
    controller_.Post([this] {
        std::unique_lock hold(holdLock_);
        holdChanged_.wait(hold, [this] { return !held_; });
    });
}

void UsbBus::ReleaseController()
{
    {
        std::lock_guard hold(holdLock_);
        held_ = false;
    }
    holdChanged_.notify_all();
}

void UsbBus::Flush()
{
    controller_.Flush();
}

UsbBus& UsbBus::BusOf(PDEVICE_OBJECT physicalDevice)
{
    return **static_cast<UsbBus**>(physicalDevice->DeviceExtension);
}

UsbBus::PhysicalDevice& UsbBus::DeviceOf(PDEVICE_OBJECT physicalDevice)
{
    auto found = devices_.find(physicalDevice);
    if (found == devices_.end()) {
        BugCheck("INVALID_DEVICE_OBJECT", "not a physical device object of this USB bus", physicalDevice);
    }
    return found->second;
}

const UsbBus::PhysicalDevice& UsbBus::DeviceOf(PDEVICE_OBJECT physicalDevice) const
{
    return const_cast<UsbBus*>(this)->DeviceOf(physicalDevice);
}

NTSTATUS NTAPI UsbBus::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UsbBus& bus = BusOf(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return bus.DispatchInternalControl(DeviceObject, Irp);
    case IRP_MJ_PNP: return bus.DispatchPnp(DeviceObject, Irp);
    case IRP_MJ_POWER: return bus.DispatchPower(DeviceObject, Irp);
    default: return bus.DispatchOther(DeviceObject, Irp);
    }
}

NTSTATUS UsbBus::DispatchInternalControl(PDEVICE_OBJECT physicalDevice, PIRP irp)
{
    // The port requests, selecting a configuration and resetting a pipe are
    // documented for PASSIVE_LEVEL only.
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    PURB urb = UrbOf(irp);
    if (const char* name = PortRequestName(code)) {
        RequireIrqlAtMost(PASSIVE_LEVEL, name);
    } else if (const char* urbName = urb != nullptr ? PassiveUrbName(*urb) : nullptr) {
        RequireIrqlAtMost(PASSIVE_LEVEL, urbName);
    }
    size_t record;
    CompletionMode mode;
    {
        std::lock_guard lock(lock_);
        PhysicalDevice& device = DeviceOf(physicalDevice);
        RequireNoTransfersForReset(physicalDevice, irp, code, urb);
        if (urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            urb->UrbHeader.Length >= sizeof(urb->UrbBulkOrInterruptTransfer)) {
            inFlight_[irp] = InFlightTransfer{physicalDevice, urb->UrbBulkOrInterruptTransfer.PipeHandle};
        }
        record = device.function->Record(irp);
        mode = device.mode;
    }
    if (mode == CompletionMode::ControllerThread) {
        IoMarkIrpPending(irp);
        controller_.Post([this, physicalDevice, irp, record] { Process(physicalDevice, irp, record); });
        return STATUS_PENDING;
    }
    return Process(physicalDevice, irp, record);
}

void UsbBus::RequireNoTransfersForReset(PDEVICE_OBJECT physicalDevice, PIRP irp, ULONG code, PURB urb) const
{
    // The stack documents both resets as the client's to make only once it
    // has cancelled its transfers and seen them end: a transfer still out
    // would be cut off by the reset behind its driver's back.
    bool portReset = code == IOCTL_INTERNAL_USB_RESET_PORT;
    bool pipeReset = urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL &&
                     urb->UrbHeader.Length >= sizeof(urb->UrbPipeRequest);
    if (!portReset && !pipeReset) {
        return;
    }
    for (const auto& [transfer, where] : inFlight_) {
        if (where.physicalDevice != physicalDevice) {
            continue;
        }
        if (portReset) {
            BugCheck("BUGCODE_USB_DRIVER",
                     "IOCTL_INTERNAL_USB_RESET_PORT sent while a transfer on the device is still pending", irp);
        }
        if (where.pipe == urb->UrbPipeRequest.PipeHandle) {
            BugCheck("BUGCODE_USB_DRIVER",
                     "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL sent while a transfer on the pipe is still pending",
                     irp);
        }
    }
}

void UsbBus::CompleteAll(const UsbFunction::Completions& done)
{
    for (PIRP irp : done) {
        {
            // Before the completion routines run: once one has seen its
            // transfer end, its driver may reset the pipe at once.
            std::lock_guard lock(lock_);
            inFlight_.erase(irp);
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

NTSTATUS UsbBus::Process(PDEVICE_OBJECT physicalDevice, PIRP irp, size_t record)
{
    UsbFunction::Completions done;
    NTSTATUS status = STATUS_PENDING;
    {
        std::lock_guard lock(lock_);
        DeviceOf(physicalDevice).function->HandleInternalControl(irp, record, done);
        if (std::find(done.begin(), done.end(), irp) != done.end()) {
            status = irp->IoStatus.Status;
        } else {
            // Before the lock goes: from then on another thread may end it.
            IoMarkIrpPending(irp);
        }
    }
    CompleteAll(done);
    return status;
}

NTSTATUS UsbBus::DispatchPnp(PDEVICE_OBJECT physicalDevice, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    UsbFunction::Completions aborted;
    CompletionMode mode;
    size_t record;
    bool pend;
    {
        std::lock_guard lock(lock_);
        PhysicalDevice& device = DeviceOf(physicalDevice);
        record = device.function->Record(irp);
        mode = device.mode;
        pend = device.pendPnp;
        switch (stack->MinorFunction) {
        case IRP_MN_QUERY_CAPABILITIES:
            if (device.capabilities) {
                PDEVICE_CAPABILITIES asked = stack->Parameters.DeviceCapabilities.Capabilities;
                DEVICE_CAPABILITIES reported = *device.capabilities;
                reported.Size = asked->Size;
                reported.Version = asked->Version;
                *asked = reported;
                status = STATUS_SUCCESS;
            }
            break;
        case IRP_MN_REMOVE_DEVICE:
            // The hub closes the function's pipes when its driver goes.
            device.function->Deconfigure(aborted);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            status = STATUS_SUCCESS;
            break;
        default:
            break;
        }
        if (pend) {
            // Before the lock goes: from then on the controller may end it.
            IoMarkIrpPending(irp);
        }
    }
    Deliver(mode, std::move(aborted));
    if (pend) {
        controller_.Post(
            [this, physicalDevice, irp, record, status] { FinishPnp(physicalDevice, irp, record, status); });
        return STATUS_PENDING;
    }
    FinishPnp(physicalDevice, irp, record, status);
    return status;
}

void UsbBus::FinishPnp(PDEVICE_OBJECT physicalDevice, PIRP irp, size_t record, NTSTATUS status)
{
    UsbFunction::Completions own;
    {
        std::lock_guard lock(lock_);
        DeviceOf(physicalDevice).function->Finish(irp, record, status, own);
    }
    CompleteAll(own);
}

NTSTATUS UsbBus::DispatchPower(PDEVICE_OBJECT physicalDevice, PIRP irp)
{
    // The bus answers query-power and set-power; other power requests keep
    // the status they came with.
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    bool answered = minor == IRP_MN_QUERY_POWER || minor == IRP_MN_SET_POWER;
    HeldPowerRequest request{irp, 0, irp->IoStatus.Status};
    CompletionMode mode;
    bool held = false;
    {
        std::lock_guard lock(lock_);
        PhysicalDevice& device = DeviceOf(physicalDevice);
        request.record = device.function->Record(irp);
        if (answered) {
            request.status = device.function->FailureStatus(request.record).value_or(STATUS_SUCCESS);
        }
        mode = device.mode;
        held = device.holdPower && device.holdPower(device.function->Log()[request.record]);
        if (held) {
            device.heldPower.push_back(request);
        }
        // Before the lock goes: from then on another thread may end it.
        if (held || mode == CompletionMode::ControllerThread) {
            IoMarkIrpPending(irp);
        }
    }
    if (held) {
        return STATUS_PENDING;
    }
    if (mode == CompletionMode::ControllerThread) {
        controller_.Post([this, physicalDevice, request] { FinishPower(physicalDevice, request); });
        return STATUS_PENDING;
    }
    FinishPower(physicalDevice, request);
    return request.status;
}

void UsbBus::FinishPower(PDEVICE_OBJECT physicalDevice, const HeldPowerRequest& request)
{
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(request.irp);
    UsbFunction::Completions own;
    {
        std::lock_guard lock(lock_);
        UsbFunction& function = *DeviceOf(physicalDevice).function;
        if (stack.MinorFunction == IRP_MN_SET_POWER && stack.Parameters.Power.Type == DevicePowerState &&
            NT_SUCCESS(request.status)) {
            function.SetPowerState(stack.Parameters.Power.State.DeviceState);
        }
        function.Finish(request.irp, request.record, request.status, own);
    }
    if (stack.MinorFunction == IRP_MN_QUERY_POWER || stack.MinorFunction == IRP_MN_SET_POWER) {
        PoStartNextPowerIrp(request.irp);
    }
    CompleteAll(own);
}

NTSTATUS UsbBus::DispatchOther(PDEVICE_OBJECT physicalDevice, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    UsbFunction::Completions own;
    {
        std::lock_guard lock(lock_);
        UsbFunction& function = *DeviceOf(physicalDevice).function;
        function.Finish(irp, function.Record(irp), status, own);
    }
    CompleteAll(own);
    return status;
}

VOID NTAPI UsbBus::CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    BusOf(DeviceObject).OnCancel(DeviceObject, Irp);
}

void UsbBus::OnCancel(PDEVICE_OBJECT physicalDevice, PIRP irp)
{
    UsbFunction::Completions done;
    CompletionMode mode;
    {
        std::lock_guard lock(lock_);
        PhysicalDevice& device = DeviceOf(physicalDevice);
        device.function->Cancel(irp, done);
        mode = device.mode;
    }
    cancelled_.notify_all();
    Deliver(mode, std::move(done));
}

void UsbBus::OnActivity(PDEVICE_OBJECT physicalDevice)
{
    UsbFunction::Completions done;
    CompletionMode mode;
    {
        std::lock_guard lock(lock_);
        auto found = devices_.find(physicalDevice);
        if (found == devices_.end()) {
            return;
        }
        found->second.function->Service(done);
        mode = found->second.mode;
    }
    Deliver(mode, std::move(done));
}

void UsbBus::Deliver(CompletionMode mode, UsbFunction::Completions done)
{
    if (done.empty()) {
        return;
    }
    if (mode == CompletionMode::ControllerThread) {
        controller_.Post([this, done = std::move(done)] { CompleteAll(done); });
    } else {
        CompleteAll(done);
    }
}

}  // namespace sim
