#include "usb_function.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "descriptor_walk.h"

namespace sim {

namespace {

// Handles are opaque to clients; fresh values for every configuration keep a
// stale handle from ever naming a new pipe.
PVOID NewHandle()
{
    static std::atomic<ULONG_PTR> next{0};
    return reinterpret_cast<PVOID>(ULONG_PTR{0xFFFFB00000000000} + (++next << 4));
}

UCHAR* BufferOf(PVOID buffer, PMDL mdl)
{
    if (buffer != nullptr) {
        return static_cast<UCHAR*>(buffer);
    }
    return mdl != nullptr ? static_cast<UCHAR*>(MmGetMdlVirtualAddress(mdl)) : nullptr;
}

bool LongEnough(PURB urb, size_t size)
{
    return urb->UrbHeader.Length >= size;
}

// A device that no longer answers leaves every transaction without a
// handshake. Host controllers since USB 2.0 report that as a transaction
// error (USBD_STATUS_DEV_NOT_RESPONDING is its USB 1.0 name), and the Windows
// xHCI driver completes the request with STATUS_UNSUCCESSFUL.
// STATUS_DEVICE_NOT_CONNECTED comes only once the hub has seen the port empty.
constexpr NTSTATUS NoHandshakeStatus = STATUS_UNSUCCESSFUL;
constexpr USBD_STATUS NoHandshakeUsbdStatus = USBD_STATUS_XACT_ERROR;

UsbRequestKind KindOfControl(ULONG code)
{
    switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return UsbRequestKind::SubmitUrb;
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return UsbRequestKind::GetPortStatus;
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return UsbRequestKind::ResetPort;
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        return UsbRequestKind::CyclePort;
    default:
        return UsbRequestKind::OtherInternalControl;
    }
}

}  // namespace

UsbFunction::UsbFunction(std::shared_ptr<UsbDeviceModel> device, PDRIVER_CANCEL cancelRoutine)
    : device_(std::move(device)), cancelRoutine_(cancelRoutine)
{
}

size_t UsbFunction::Record(PIRP irp)
{
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    UsbRequestRecord record;
    record.majorFunction = stack.MajorFunction;
    record.minorFunction = stack.MinorFunction;
    record.devicePowerState = powerState_;
    switch (stack.MajorFunction) {
    case IRP_MJ_PNP:
        record.kind = UsbRequestKind::Pnp;
        break;
    case IRP_MJ_POWER:
        record.kind = UsbRequestKind::Power;
        record.powerType = stack.Parameters.Power.Type;
        record.powerState = stack.Parameters.Power.Type == SystemPowerState
                                ? static_cast<ULONG>(stack.Parameters.Power.State.SystemState)
                                : static_cast<ULONG>(stack.Parameters.Power.State.DeviceState);
        break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        record.ioControlCode = stack.Parameters.DeviceIoControl.IoControlCode;
        record.kind = KindOfControl(record.ioControlCode);
        break;
    default:
        break;
    }
    auto* urb = static_cast<PURB>(stack.Parameters.Others.Argument1);
    if (record.kind == UsbRequestKind::SubmitUrb && urb != nullptr) {
        record.urbFunction = urb->UrbHeader.Function;
        switch (record.urbFunction) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            if (LongEnough(urb, sizeof(urb->UrbControlDescriptorRequest))) {
                record.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
                record.requestedLength = urb->UrbControlDescriptorRequest.TransferBufferLength;
            }
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            if (LongEnough(urb, sizeof(urb->UrbBulkOrInterruptTransfer))) {
                const auto& transfer = urb->UrbBulkOrInterruptTransfer;
                record.transferFlags = transfer.TransferFlags;
                record.requestedLength = transfer.TransferBufferLength;
                const Pipe* pipe = FindPipe(transfer.PipeHandle);
                record.endpointAddress = pipe != nullptr ? pipe->address : 0;
            }
            break;
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            if (LongEnough(urb, sizeof(urb->UrbPipeRequest))) {
                const Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
                record.endpointAddress = pipe != nullptr ? pipe->address : 0;
            }
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            if (LongEnough(urb, sizeof(urb->UrbSelectConfiguration))) {
                record.deconfigures = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
            }
            break;
        default:
            break;
        }
    }
    return log_.Add(record);
}

void UsbFunction::Finish(PIRP irp, size_t record, NTSTATUS status, Completions& done)
{
    irp->IoStatus.Status = status;
    log_[record].completed = true;
    log_[record].status = status;
    log_[record].usbdStatus = USBD_STATUS_SUCCESS;
    done.push_back(irp);
}

void UsbFunction::Complete(PIRP irp, PURB urb, size_t record, NTSTATUS status, USBD_STATUS usbdStatus,
                           ULONG transferred, Completions& done)
{
    if (urb != nullptr) {
        urb->UrbHeader.Status = usbdStatus;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    UsbRequestRecord& entry = log_[record];
    entry.completed = true;
    entry.status = status;
    entry.usbdStatus = usbdStatus;
    entry.transferredLength = transferred;
    done.push_back(irp);
}

void UsbFunction::FailRequests(std::function<bool(const UsbRequestRecord&)> matches, NTSTATUS status,
                               USBD_STATUS usbdStatus)
{
    failures_.push_back(Failure{std::move(matches), status, usbdStatus});
}

const UsbFunction::Failure* UsbFunction::FailureFor(size_t record) const
{
    auto found = std::find_if(failures_.begin(), failures_.end(),
                              [&](const Failure& failure) { return failure.matches(log_[record]); });
    return found == failures_.end() ? nullptr : &*found;
}

std::optional<NTSTATUS> UsbFunction::FailureStatus(size_t record) const
{
    const Failure* failure = FailureFor(record);
    return failure != nullptr ? std::optional<NTSTATUS>(failure->status) : std::nullopt;
}

void UsbFunction::HandleInternalControl(PIRP irp, size_t record, Completions& done)
{
    PVOID argument = IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
    UsbRequestKind kind = log_[record].kind;
    if (const Failure* failure = FailureFor(record)) {
        PURB urb = kind == UsbRequestKind::SubmitUrb ? static_cast<PURB>(argument) : nullptr;
        Complete(irp, urb, record, failure->status, failure->usbdStatus, 0, done);
        return;
    }
    switch (kind) {
    case UsbRequestKind::SubmitUrb:
        SubmitUrb(irp, static_cast<PURB>(argument), record, done);
        return;
    case UsbRequestKind::GetPortStatus: {
        // Succeeds whether or not a device is there: the word tells.
        auto* word = static_cast<PULONG>(argument);
        if (word == nullptr) {
            Complete(irp, nullptr, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0, done);
            return;
        }
        *word = connected_ ? portStatus_.value_or(USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        Complete(irp, nullptr, record, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, done);
        return;
    }
    case UsbRequestKind::ResetPort:
        if (!connected_) {
            Complete(irp, nullptr, record, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0, done);
            return;
        }
        // The hub drives the reset, but nothing comes back to be addressed.
        if (!answering_) {
            Complete(irp, nullptr, record, NoHandshakeStatus, NoHandshakeUsbdStatus, 0, done);
            return;
        }
        // The configuration is selected again after the reset: handles stay
        // valid and every endpoint starts afresh.
        for (Pipe& pipe : pipes_) {
            pipe.halted = false;
        }
        device_->PortReset();
        Complete(irp, nullptr, record, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, done);
        Service(done);
        return;
    case UsbRequestKind::CyclePort:
        if (!connected_) {
            Complete(irp, nullptr, record, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0, done);
            return;
        }
        Complete(irp, nullptr, record, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, done);
        // The hub takes the device off its port and lets it enumerate again,
        // so what was waiting ends as on an unplug.
        Unplug(done);
        cycled_ = true;
        return;
    default:
        Complete(irp, nullptr, record, STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_SUCCESS, 0, done);
        return;
    }
}

void UsbFunction::SubmitUrb(PIRP irp, PURB urb, size_t record, Completions& done)
{
    if (urb == nullptr) {
        Complete(irp, nullptr, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0, done);
        return;
    }
    if (!connected_) {
        Complete(irp, urb, record, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0, done);
        return;
    }
    // Every URB reaches the device, a pipe reset too: it ends with a
    // clear-halt request to the endpoint.
    if (!answering_) {
        Complete(irp, urb, record, NoHandshakeStatus, NoHandshakeUsbdStatus, 0, done);
        return;
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        GetDescriptor(irp, urb, record, done);
        return;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        SelectConfiguration(irp, urb, record, done);
        return;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        ResetPipe(irp, urb, record, done);
        return;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        StartTransfer(irp, urb, record, done);
        return;
    default:
        Complete(irp, urb, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION, 0, done);
        return;
    }
}

void UsbFunction::GetDescriptor(PIRP irp, PURB urb, size_t record, Completions& done)
{
    auto& request = urb->UrbControlDescriptorRequest;
    if (!LongEnough(urb, sizeof(request))) {
        Complete(irp, urb, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0, done);
        return;
    }
    std::vector<UCHAR> descriptor;
    if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        descriptor = device_->DeviceDescriptor();
    } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
        descriptor = device_->ConfigurationDescriptor();
    } else {
        // A device stalls a descriptor it does not have; the default pipe
        // recovers by itself at the next setup packet.
        request.TransferBufferLength = 0;
        Complete(irp, urb, record, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, done);
        return;
    }
    UCHAR* buffer = BufferOf(request.TransferBuffer, request.TransferBufferMDL);
    // The setup packet's wLength is 16 bits; the device sends at most that
    // and at most what it has.
    ULONG count = std::min({request.TransferBufferLength, static_cast<ULONG>(descriptor.size()), ULONG{0xFFFF}});
    if (count != 0 && buffer == nullptr) {
        Complete(irp, urb, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0, done);
        return;
    }
    if (count != 0) {
        std::memcpy(buffer, descriptor.data(), count);
    }
    request.TransferBufferLength = count;
    Complete(irp, urb, record, STATUS_SUCCESS, USBD_STATUS_SUCCESS, count, done);
}

void UsbFunction::SelectConfiguration(PIRP irp, PURB urb, size_t record, Completions& done)
{
    auto& request = urb->UrbSelectConfiguration;
    if (!LongEnough(urb, sizeof(request))) {
        Complete(irp, urb, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0, done);
        return;
    }
    PUSB_CONFIGURATION_DESCRIPTOR configuration = request.ConfigurationDescriptor;
    if (configuration == nullptr) {
        Deconfigure(done);
        Complete(irp, urb, record, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, done);
        return;
    }

    // Every record is checked before anything changes, so a refused request
    // leaves the configuration as it was.
    struct Selected {
        PUSBD_INTERFACE_INFORMATION information;
        PUSB_INTERFACE_DESCRIPTOR descriptor;
        std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
    };
    std::vector<Selected> selected;
    auto* position = reinterpret_cast<UCHAR*>(&request.Interface);
    const UCHAR* end = reinterpret_cast<UCHAR*>(urb) + request.Hdr.Length;
    auto refuse = [&](USBD_STATUS why) { Complete(irp, urb, record, STATUS_INVALID_PARAMETER, why, 0, done); };
    for (UCHAR i = 0; i < configuration->bNumInterfaces; ++i) {
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        const auto header = static_cast<ptrdiff_t>(offsetof(USBD_INTERFACE_INFORMATION, Pipes));
        if (end - position < header || information->Length < header || information->Length > end - position) {
            refuse(USBD_STATUS_INVALID_PARAMETER);
            return;
        }
        PUSB_INTERFACE_DESCRIPTOR descriptor = FindInterface(configuration, configuration, information->InterfaceNumber,
                                                             information->AlternateSetting, -1, -1, -1);
        if (descriptor == nullptr) {
            refuse(USBD_STATUS_INTERFACE_NOT_FOUND);
            return;
        }
        std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints = EndpointsOf(configuration, descriptor);
        if (endpoints.size() != descriptor->bNumEndpoints) {
            refuse(USBD_STATUS_INVALID_PARAMETER);
            return;
        }
        if (information->Length < GET_USBD_INTERFACE_SIZE(endpoints.size())) {
            refuse(USBD_STATUS_BUFFER_TOO_SMALL);
            return;
        }
        selected.push_back(Selected{information, descriptor, std::move(endpoints)});
        position += information->Length;
    }

    Deconfigure(done);
    request.ConfigurationHandle = NewHandle();
    for (const Selected& interface : selected) {
        PUSBD_INTERFACE_INFORMATION information = interface.information;
        information->Class = interface.descriptor->bInterfaceClass;
        information->SubClass = interface.descriptor->bInterfaceSubClass;
        information->Protocol = interface.descriptor->bInterfaceProtocol;
        information->InterfaceHandle = NewHandle();
        information->NumberOfPipes = static_cast<ULONG>(interface.endpoints.size());
        for (size_t j = 0; j < interface.endpoints.size(); ++j) {
            PUSB_ENDPOINT_DESCRIPTOR endpoint = interface.endpoints[j];
            USBD_PIPE_INFORMATION& pipe = information->Pipes[j];
            pipe.MaximumPacketSize = static_cast<USHORT>(endpoint->wMaxPacketSize & 0x7FF);
            pipe.EndpointAddress = endpoint->bEndpointAddress;
            pipe.Interval = endpoint->bInterval;
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipe.PipeHandle = NewHandle();
            // The stack no longer honours a client's maximum; it reports its default.
            pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            pipes_.push_back(Pipe{pipe.PipeHandle, pipe.EndpointAddress, pipe.PipeType, pipe.MaximumPacketSize});
        }
    }
    Complete(irp, urb, record, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, done);
}

UsbFunction::Pipe* UsbFunction::PipeOfRequest(PIRP irp, PURB urb, size_t size, const USBD_PIPE_HANDLE* handle,
                                              size_t record, Completions& done)
{
    if (!LongEnough(urb, size)) {
        Complete(irp, urb, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0, done);
        return nullptr;
    }
    Pipe* pipe = FindPipe(*handle);
    if (pipe == nullptr) {
        Complete(irp, urb, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, 0, done);
    }
    return pipe;
}

void UsbFunction::ResetPipe(PIRP irp, PURB urb, size_t record, Completions& done)
{
    Pipe* pipe =
        PipeOfRequest(irp, urb, sizeof(struct _URB_PIPE_REQUEST), &urb->UrbPipeRequest.PipeHandle, record, done);
    if (pipe == nullptr) {
        return;
    }
    pipe->halted = false;
    device_->EndpointReset(pipe->address);
    Complete(irp, urb, record, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, done);
    Service(done);
}

void UsbFunction::StartTransfer(PIRP irp, PURB urb, size_t record, Completions& done)
{
    auto& request = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = PipeOfRequest(irp, urb, sizeof(request), &request.PipeHandle, record, done);
    if (pipe == nullptr) {
        return;
    }
    UCHAR* buffer = BufferOf(request.TransferBuffer, request.TransferBufferMDL);
    bool bulkOrInterrupt = pipe->type == UsbdPipeTypeBulk || pipe->type == UsbdPipeTypeInterrupt;
    if (!bulkOrInterrupt || (request.TransferBufferLength != 0 && buffer == nullptr)) {
        Complete(irp, urb, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0, done);
        return;
    }
    // The direction is the endpoint's, whatever the flags say, as the stack
    // takes it for bulk and interrupt pipes.
    transfers_.push_back(Transfer{irp, urb, buffer, request.TransferBufferLength, record, pipe->handle});
    IoSetCancelRoutine(irp, cancelRoutine_);
    // IoCancelIrp may be setting the flag on another thread, without our
    // lock: read atomically after the exchange above, either this test sees
    // it or IoCancelIrp's own exchange finds the routine.
    if (std::atomic_ref(irp->Cancel).load() && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        EndTransfer(std::prev(transfers_.end()), Outcome{STATUS_CANCELLED, USBD_STATUS_CANCELED}, done);
        return;
    }
    Service(done);
}

UsbFunction::Pipe* UsbFunction::FindPipe(USBD_PIPE_HANDLE handle)
{
    auto found = std::find_if(pipes_.begin(), pipes_.end(), [&](const Pipe& pipe) { return pipe.handle == handle; });
    return found == pipes_.end() ? nullptr : &*found;
}

std::optional<UsbPipeEndpoint> UsbFunction::EndpointOf(USBD_PIPE_HANDLE handle) const
{
    auto found = std::find_if(pipes_.begin(), pipes_.end(), [&](const Pipe& pipe) { return pipe.handle == handle; });
    return found == pipes_.end() ? std::nullopt : std::optional(UsbPipeEndpoint{found->address, found->type});
}

void UsbFunction::Unplug(Completions& done)
{
    connected_ = false;
    EndAll(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, done);
}

void UsbFunction::StopAnswering(Completions& done)
{
    answering_ = false;
    EndAll(NoHandshakeStatus, NoHandshakeUsbdStatus, done);
}

void UsbFunction::Deconfigure(Completions& done)
{
    EndAll(STATUS_CANCELLED, USBD_STATUS_CANCELED, done);
    pipes_.clear();
}

}  // namespace sim
