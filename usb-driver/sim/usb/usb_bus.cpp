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
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return "IOCTL_INTERNAL_USB_GET_PORT_STATUS";
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return "IOCTL_INTERNAL_USB_RESET_PORT";
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        return "IOCTL_INTERNAL_USB_CYCLE_PORT";
    default:
        return nullptr;
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
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return "URB_FUNCTION_SELECT_CONFIGURATION";
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL";
    default:
        return nullptr;
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
        status = IoCreateDevice(driver_, sizeof(PhysicalDevice*), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                &physicalDevice);
    } while (status == STATUS_OBJECT_NAME_COLLISION);
    if (!NT_SUCCESS(status)) {
        BugCheck("SIMULATION_LIMIT", "the USB bus could not create a physical device object", driver_);
    }
    auto state = std::make_shared<PhysicalDevice>();
    {
        std::lock_guard lock(lock_);
        state->address = static_cast<USHORT>(attachments_++ % 127 + 1);
        state->capture = capture_;
        state->captureBus = captureBus_;
    }
    // The hub reads the device's descriptors before any driver hears of it.
    if (state->capture != nullptr) {
        state->capture->Enumerated(state->captureBus, state->address, *device);
    }
    state->bus = this;
    state->self = physicalDevice;
    state->function = std::make_unique<UsbFunction>(device, CancelTransfer);
    state->mode = defaultMode_;
    state->capabilities = TypicalUsbCapabilities();
    state->instance = instance;
    *static_cast<PhysicalDevice**>(physicalDevice->DeviceExtension) = state.get();
    // Power requests come at PASSIVE_LEVEL, as to the hub's own children.
    physicalDevice->Flags |= DO_POWER_PAGABLE;
    physicalDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    KernelExtensionOf(physicalDevice).InstanceId = InstanceIdOf(device->DeviceDescriptor(), instance);
    Registry::CreateHardwareKey(physicalDevice);
    device->SetActivityHandler([this, weak = std::weak_ptr<PhysicalDevice>(state)] { OnActivity(weak); });
    {
        std::lock_guard lock(lock_);
        devices_.emplace(physicalDevice, std::move(state));
    }
    return physicalDevice;
}

void UsbBus::DeletePhysicalDevice(PDEVICE_OBJECT physicalDevice)
{
    ReleasePowerRequests(physicalDevice);
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    bool attachedElsewhere;
    {
        // After a port cycle the device may live on under a fresh physical
        // device. A device's function never changes, so no device lock is needed.
        std::lock_guard lock(lock_);
        attachedElsewhere = std::any_of(devices_.begin(), devices_.end(), [&](const auto& other) {
            return other.second != device && &other.second->function->Device() == &device->function->Device();
        });
    }
    UsbFunction::Completions done;
    CompletionMode mode;
    {
        std::lock_guard lock(device->lock);
        if (!attachedElsewhere) {
            device->function->Device().SetActivityHandler(nullptr);
        }
        if (device->function->Connected()) {
            device->function->Unplug(done);
        }
        mode = device->mode;
    }
    Deliver(*device, mode, std::move(done));
    // Requests still on their way through the controller end before the
    // device object goes, and so do transfers whose cancel routine is running.
    controller_.Flush();
    {
        std::unique_lock lock(device->lock);
        device->cancelled.wait(lock, [&] { return device->function->WaitingTransfers() == 0; });
    }
    {
        std::lock_guard lock(lock_);
        devices_.erase(physicalDevice);
    }
    DeviceInterfaces::DisableAllOf(physicalDevice);
    Registry::DeleteHardwareKey(physicalDevice);
    IoDeleteDevice(physicalDevice);
}

void UsbBus::SetCompletionMode(PDEVICE_OBJECT physicalDevice, CompletionMode mode)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    device->mode = mode;
}

void UsbBus::SetCapabilities(PDEVICE_OBJECT physicalDevice, std::optional<DEVICE_CAPABILITIES> capabilities)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    device->capabilities = capabilities;
}

void UsbBus::PendPnpRequests(PDEVICE_OBJECT physicalDevice, bool pend)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    device->pendPnp = pend;
}

void UsbBus::SetPortStatus(PDEVICE_OBJECT physicalDevice, std::optional<ULONG> status)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    device->function->SetPortStatus(status);
}

void UsbBus::FailRequests(PDEVICE_OBJECT physicalDevice, std::function<bool(const UsbRequestRecord&)> matches,
                          NTSTATUS status, USBD_STATUS usbdStatus)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    device->function->FailRequests(std::move(matches), status, usbdStatus);
}

void UsbBus::ClearFailures(PDEVICE_OBJECT physicalDevice)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    device->function->ClearFailures();
}

void UsbBus::HoldPowerRequests(PDEVICE_OBJECT physicalDevice, std::function<bool(const UsbRequestRecord&)> matches)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    device->holdPower = std::move(matches);
}

void UsbBus::ReleasePowerRequests(PDEVICE_OBJECT physicalDevice)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::vector<HeldPowerRequest> held;
    CompletionMode mode;
    {
        std::lock_guard lock(device->lock);
        device->holdPower = nullptr;
        held.swap(device->heldPower);
        mode = device->mode;
    }
    for (const HeldPowerRequest& request : held) {
        if (mode == CompletionMode::ControllerThread) {
            controller_.Post([this, device, request] { FinishPower(*device, request); });
        } else {
            FinishPower(*device, request);
        }
    }
}

void UsbBus::NoticeUnplug(PDEVICE_OBJECT physicalDevice)
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    UsbFunction::Completions done;
    CompletionMode mode;
    {
        std::lock_guard lock(device->lock);
        if (!device->function->Connected()) {
            return;
        }
        device->function->Unplug(done);
        mode = device->mode;
    }
    std::function<void(PDEVICE_OBJECT)> handler;
    {
        std::lock_guard lock(lock_);
        handler = unplugHandler_;
    }
    Deliver(*device, mode, std::move(done));
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
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    return device->function->Log().Recent();
}

std::vector<UsbRequestRecord> UsbBus::Requests(PDEVICE_OBJECT physicalDevice, size_t from) const
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    return device->function->Log().Since(from);
}

size_t UsbBus::RequestCount(PDEVICE_OBJECT physicalDevice) const
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    return device->function->Log().Count();
}

size_t UsbBus::WaitingTransfers(PDEVICE_OBJECT physicalDevice) const
{
    std::shared_ptr<PhysicalDevice> device = DeviceOf(physicalDevice);
    std::lock_guard lock(device->lock);
    return device->function->WaitingTransfers();
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

UsbBus::PhysicalDevice& UsbBus::StateOf(PDEVICE_OBJECT physicalDevice)
{
    return **static_cast<PhysicalDevice**>(physicalDevice->DeviceExtension);
}

std::shared_ptr<UsbBus::PhysicalDevice> UsbBus::DeviceOf(PDEVICE_OBJECT physicalDevice) const
{
    std::lock_guard lock(lock_);
    auto found = devices_.find(physicalDevice);
    if (found == devices_.end()) {
        BugCheck("INVALID_DEVICE_OBJECT", "not a physical device object of this USB bus", physicalDevice);
    }
    return found->second;
}

NTSTATUS NTAPI UsbBus::Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // The device object exists (IoCallDriver made sure), and so does the
    // state its extension points to until the bus deletes both.
    PhysicalDevice& device = StateOf(DeviceObject);
    UsbBus& bus = *device.bus;
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return bus.DispatchInternalControl(device, Irp);
    case IRP_MJ_PNP:
        return bus.DispatchPnp(device, Irp);
    case IRP_MJ_POWER:
        return bus.DispatchPower(device, Irp);
    default:
        return bus.DispatchOther(device, Irp);
    }
}

NTSTATUS UsbBus::DispatchInternalControl(PhysicalDevice& device, PIRP irp)
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
        std::lock_guard lock(device.lock);
        RequireNoTransfersForReset(device, irp, code, urb);
        if (urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            urb->UrbHeader.Length >= sizeof(urb->UrbBulkOrInterruptTransfer)) {
            device.inFlight[irp] = urb->UrbBulkOrInterruptTransfer.PipeHandle;
        }
        record = device.function->Record(irp);
        mode = device.mode;
        if (device.capture != nullptr && urb != nullptr) {
            device.capture->Submitted(irp, *urb, device.captureBus, device.address,
                                      [&](USBD_PIPE_HANDLE pipe) { return device.function->EndpointOf(pipe); });
        }
    }
    if (mode == CompletionMode::ControllerThread) {
        IoMarkIrpPending(irp);
        controller_.Post([this, device = device.shared_from_this(), irp, record] { Process(*device, irp, record); });
        return STATUS_PENDING;
    }
    return Process(device, irp, record);
}

void UsbBus::RequireNoTransfersForReset(const PhysicalDevice& device, PIRP irp, ULONG code, PURB urb)
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
    for (const auto& [transfer, pipe] : device.inFlight) {
        if (portReset) {
            BugCheck("BUGCODE_USB_DRIVER",
                     "IOCTL_INTERNAL_USB_RESET_PORT sent while a transfer on the device is still pending", irp);
        }
        if (pipe == urb->UrbPipeRequest.PipeHandle) {
            BugCheck("BUGCODE_USB_DRIVER",
                     "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL sent while a transfer on the pipe is still pending",
                     irp);
        }
    }
}

void UsbBus::CompleteAll(PhysicalDevice& device, const UsbFunction::Completions& done)
{
    for (PIRP irp : done) {
        {
            // Before the completion routines run: once one has seen its
            // transfer end, its driver may reset the pipe at once.
            std::lock_guard lock(device.lock);
            device.inFlight.erase(irp);
            if (device.capture != nullptr) {
                device.capture->Completed(irp);
            }
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

NTSTATUS UsbBus::Process(PhysicalDevice& device, PIRP irp, size_t record)
{
    UsbFunction::Completions done;
    NTSTATUS status = STATUS_PENDING;
    bool cycled;
    {
        std::lock_guard lock(device.lock);
        device.function->HandleInternalControl(irp, record, done);
        cycled = device.function->TakeCycle();
        if (std::find(done.begin(), done.end(), irp) != done.end()) {
            status = irp->IoStatus.Status;
        } else {
            // Before the lock goes: from then on another thread may end it.
            IoMarkIrpPending(irp);
        }
    }
    // The departure is queued with Plug and Play before the requester hears
    // that its cycle went through, so whoever waits for Plug and Play to go
    // idle once the request has ended also waits for the device to leave.
    if (cycled) {
        ReportCycle(device.self);
    }
    CompleteAll(device, done);
    return status;
}

NTSTATUS UsbBus::DispatchPnp(PhysicalDevice& device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    UsbFunction::Completions aborted;
    CompletionMode mode;
    size_t record;
    bool pend;
    {
        std::lock_guard lock(device.lock);
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
    Deliver(device, mode, std::move(aborted));
    if (pend) {
        controller_.Post([this, device = device.shared_from_this(), irp, record, status] {
            FinishPnp(*device, irp, record, status);
        });
        return STATUS_PENDING;
    }
    FinishPnp(device, irp, record, status);
    return status;
}

void UsbBus::FinishPnp(PhysicalDevice& device, PIRP irp, size_t record, NTSTATUS status)
{
    UsbFunction::Completions own;
    {
        std::lock_guard lock(device.lock);
        device.function->Finish(irp, record, status, own);
    }
    CompleteAll(device, own);
}

NTSTATUS UsbBus::DispatchPower(PhysicalDevice& device, PIRP irp)
{
    // The bus answers query-power and set-power; other power requests keep
    // the status they came with.
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    bool answered = minor == IRP_MN_QUERY_POWER || minor == IRP_MN_SET_POWER;
    HeldPowerRequest request{irp, 0, irp->IoStatus.Status};
    CompletionMode mode;
    bool held = false;
    {
        std::lock_guard lock(device.lock);
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
        controller_.Post([this, device = device.shared_from_this(), request] { FinishPower(*device, request); });
        return STATUS_PENDING;
    }
    FinishPower(device, request);
    return request.status;
}

void UsbBus::FinishPower(PhysicalDevice& device, const HeldPowerRequest& request)
{
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(request.irp);
    UsbFunction::Completions own;
    {
        std::lock_guard lock(device.lock);
        UsbFunction& function = *device.function;
        if (stack.MinorFunction == IRP_MN_SET_POWER && stack.Parameters.Power.Type == DevicePowerState &&
            NT_SUCCESS(request.status)) {
            function.SetPowerState(stack.Parameters.Power.State.DeviceState);
        }
        function.Finish(request.irp, request.record, request.status, own);
    }
    if (stack.MinorFunction == IRP_MN_QUERY_POWER || stack.MinorFunction == IRP_MN_SET_POWER) {
        PoStartNextPowerIrp(request.irp);
    }
    CompleteAll(device, own);
}

NTSTATUS UsbBus::DispatchOther(PhysicalDevice& device, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    UsbFunction::Completions own;
    {
        std::lock_guard lock(device.lock);
        UsbFunction& function = *device.function;
        function.Finish(irp, function.Record(irp), status, own);
    }
    CompleteAll(device, own);
    return status;
}

VOID NTAPI UsbBus::CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PhysicalDevice& device = StateOf(DeviceObject);
    device.bus->OnCancel(device, Irp);
}

void UsbBus::OnCancel(PhysicalDevice& device, PIRP irp)
{
    // The transfer keeps the device from being deleted until it is off the
    // device's list; what follows needs the state for longer.
    std::shared_ptr<PhysicalDevice> keep = device.shared_from_this();
    UsbFunction::Completions done;
    CompletionMode mode;
    {
        std::lock_guard lock(device.lock);
        device.function->Cancel(irp, done);
        mode = device.mode;
    }
    device.cancelled.notify_all();
    Deliver(device, mode, std::move(done));
}

void UsbBus::OnActivity(const std::weak_ptr<PhysicalDevice>& weak)
{
    std::shared_ptr<PhysicalDevice> device = weak.lock();
    if (device == nullptr) {
        return;
    }
    UsbFunction::Completions done;
    CompletionMode mode;
    {
        std::lock_guard lock(device->lock);
        device->function->Service(done);
        mode = device->mode;
    }
    Deliver(*device, mode, std::move(done));
}

void UsbBus::Deliver(PhysicalDevice& device, CompletionMode mode, UsbFunction::Completions done)
{
    if (done.empty()) {
        return;
    }
    if (mode == CompletionMode::ControllerThread) {
        controller_.Post([device = device.shared_from_this(), done = std::move(done)] { CompleteAll(*device, done); });
    } else {
        CompleteAll(device, done);
    }
}

}  // namespace sim
