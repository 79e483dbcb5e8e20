// What a capture shows of each URB, as USBPcap records it on Windows:
// descriptor reads and configuration changes as the control transfers on the
// default pipe the bus makes of them, the setup packet on the way down and
// what the device returned on the way back; bulk and interrupt transfers on
// their pipe's endpoint, OUT bytes on the way down and IN bytes on the way
// back; pipe aborts and resets, which move no data, as IRP information on
// their pipe's endpoint; any other URB as unknown, with nothing but its
// function.

#include "usb_capture.h"

#include <algorithm>

namespace sim {

namespace {

// Standard requests of the default pipe.
constexpr UCHAR DeviceToHost = 0x80;
constexpr UCHAR HostToDevice = 0x00;
constexpr UCHAR GetDescriptor = 6;
constexpr UCHAR SetConfiguration = 9;
constexpr UCHAR DefaultPipeIn = 0x80;
constexpr UCHAR DefaultPipeOut = 0x00;

std::vector<UCHAR> SetupPacket(UCHAR requestType, UCHAR request, USHORT value, USHORT index, USHORT length)
{
    std::vector<UCHAR> packet{requestType, request};
    for (USHORT word : {value, index, length}) {
        packet.push_back(static_cast<UCHAR>(word & 0xFF));
        packet.push_back(static_cast<UCHAR>(word >> 8));
    }
    return packet;
}

const UCHAR* BufferOf(PVOID buffer, PMDL mdl)
{
    if (buffer != nullptr) {
        return static_cast<const UCHAR*>(buffer);
    }
    return mdl != nullptr ? static_cast<const UCHAR*>(MmGetMdlVirtualAddress(mdl)) : nullptr;
}

bool LongEnough(const URB& urb, size_t size)
{
    return urb.UrbHeader.Length >= size;
}

}  // namespace

UsbCapture::Pending UsbCapture::Describe(const URB& urb, const UsbPipeLookup& pipes)
{
    Pending pending{};
    pending.urb = &urb;
    UsbPcapPacket& packet = pending.packet;
    packet.function = urb.UrbHeader.Function;
    packet.status = urb.UrbHeader.Status;
    switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        if (LongEnough(urb, sizeof(urb.UrbControlDescriptorRequest))) {
            const auto& request = urb.UrbControlDescriptorRequest;
            // wLength has 16 bits: the device sends no more than that.
            auto length = static_cast<USHORT>(std::min<ULONG>(request.TransferBufferLength, 0xFFFF));
            packet.transfer = UsbPcapTransfer::Control;
            packet.endpoint = DefaultPipeIn;
            packet.data = SetupPacket(DeviceToHost, GetDescriptor,
                                      static_cast<USHORT>(request.DescriptorType << 8 | request.Index),
                                      request.LanguageId, length);
            pending.buffer = BufferOf(request.TransferBuffer, request.TransferBufferMDL);
            pending.offered = length;
            pending.moved = &request.TransferBufferLength;
        }
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        if (LongEnough(urb, sizeof(urb.UrbSelectConfiguration))) {
            // No configuration descriptor: back to the unconfigured state, value 0.
            const USB_CONFIGURATION_DESCRIPTOR* configuration = urb.UrbSelectConfiguration.ConfigurationDescriptor;
            packet.transfer = UsbPcapTransfer::Control;
            packet.endpoint = DefaultPipeOut;
            packet.data = SetupPacket(HostToDevice, SetConfiguration,
                                      configuration != nullptr ? configuration->bConfigurationValue : 0, 0, 0);
        }
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        if (!LongEnough(urb, sizeof(urb.UrbBulkOrInterruptTransfer))) {
            break;
        }
        if (std::optional<UsbPipeEndpoint> endpoint = pipes(urb.UrbBulkOrInterruptTransfer.PipeHandle)) {
            const auto& transfer = urb.UrbBulkOrInterruptTransfer;
            const UCHAR* buffer = BufferOf(transfer.TransferBuffer, transfer.TransferBufferMDL);
            packet.endpoint = endpoint->address;
            packet.transfer =
                endpoint->type == UsbdPipeTypeInterrupt ? UsbPcapTransfer::Interrupt : UsbPcapTransfer::Bulk;
            // The direction is the endpoint's, as the bus takes it.
            if (USB_ENDPOINT_DIRECTION_IN(endpoint->address)) {
                pending.buffer = buffer;
                pending.offered = transfer.TransferBufferLength;
                pending.moved = &transfer.TransferBufferLength;
            } else if (buffer != nullptr) {
                packet.data.assign(buffer, buffer + transfer.TransferBufferLength);
            }
        }
        break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        packet.transfer = UsbPcapTransfer::IrpInfo;
        if (LongEnough(urb, sizeof(urb.UrbPipeRequest))) {
            if (std::optional<UsbPipeEndpoint> endpoint = pipes(urb.UrbPipeRequest.PipeHandle)) {
                packet.endpoint = endpoint->address;
            }
        }
        break;
    default:
        break;
    }
    return pending;
}

void UsbCapture::Submitted(PIRP irp, const URB& urb, USHORT bus, USHORT device, const UsbPipeLookup& pipes)
{
    Pending pending = Describe(urb, pipes);
    pending.packet.irpId = reinterpret_cast<ULONG_PTR>(irp);
    pending.packet.bus = bus;
    pending.packet.device = device;
    std::lock_guard lock(lock_);
    WriteLocked(pending.packet);
    pending.packet.data.clear();
    pending_.insert_or_assign(irp, std::move(pending));
}

void UsbCapture::Completed(PIRP irp)
{
    std::lock_guard lock(lock_);
    auto found = pending_.find(irp);
    if (found == pending_.end()) {
        return;
    }
    Pending& pending = found->second;
    UsbPcapPacket& packet = pending.packet;
    packet.completion = true;
    packet.status = pending.urb->UrbHeader.Status;
    packet.stage = UsbPcapStage::Complete;
    if (pending.moved != nullptr && pending.buffer != nullptr) {
        packet.data.assign(pending.buffer, pending.buffer + std::min(*pending.moved, pending.offered));
    }
    WriteLocked(packet);
    pending_.erase(found);
}

void UsbCapture::Enumerated(USHORT bus, USHORT device, const UsbDeviceModel& model)
{
    // The hub reads the device descriptor, then the configuration's first
    // nine bytes for its wTotalLength, then the whole configuration.
    const std::vector<UCHAR> deviceDescriptor = model.DeviceDescriptor();
    const std::vector<UCHAR> configuration = model.ConfigurationDescriptor();
    auto totalLength = static_cast<USHORT>(configuration.size() >= 4 ? configuration[2] | configuration[3] << 8 : 0);
    struct Read {
        UCHAR type;
        USHORT length;
        const std::vector<UCHAR>& descriptor;
    };
    const Read reads[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, sizeof(USB_DEVICE_DESCRIPTOR), deviceDescriptor},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, sizeof(USB_CONFIGURATION_DESCRIPTOR), configuration},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, totalLength, configuration},
    };
    std::lock_guard lock(lock_);
    for (const Read& read : reads) {
        UsbPcapPacket packet;
        packet.irpId = ++hubRequests_;
        packet.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        packet.bus = bus;
        packet.device = device;
        packet.endpoint = DefaultPipeIn;
        packet.transfer = UsbPcapTransfer::Control;
        packet.data = SetupPacket(DeviceToHost, GetDescriptor, static_cast<USHORT>(read.type << 8), 0, read.length);
        WriteLocked(packet);
        packet.completion = true;
        packet.stage = UsbPcapStage::Complete;
        size_t returned = std::min<size_t>(read.length, read.descriptor.size());
        packet.data.assign(read.descriptor.begin(), read.descriptor.begin() + static_cast<ptrdiff_t>(returned));
        WriteLocked(packet);
    }
}

}  // namespace sim
