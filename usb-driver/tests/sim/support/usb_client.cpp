#include "sim/support/usb_client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bulkcom_test {

UsbCall::UsbCall(PDEVICE_OBJECT target, ULONG ioControlCode, PVOID argument)
{
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    irp_ = IoBuildDeviceIoControlRequest(ioControlCode, target, nullptr, 0, nullptr, 0, TRUE, &event_, &status_);
    IoGetNextIrpStackLocation(irp_)->Parameters.Others.Argument1 = argument;
    returned_ = IoCallDriver(target, irp_);
}

UsbCall::~UsbCall()
{
    // Its completion would signal an event that no longer exists.
    if (!Ended()) {
        std::fprintf(stderr, "a USB request was left in flight by the test\n");
        std::abort();
    }
}

NTSTATUS UsbCall::Wait()
{
    KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr);
    return status_.Status;
}

bool UsbCall::Ended()
{
    return KeReadStateEvent(&event_) != 0;
}

BOOLEAN UsbCall::Cancel()
{
    return IoCancelIrp(irp_);
}

namespace {

URB TransferUrb(USBD_PIPE_HANDLE pipe, bool in, std::vector<UCHAR>& buffer)
{
    URB urb{};
    auto& transfer = urb.UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(transfer);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = pipe;
    transfer.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT;
    transfer.TransferBufferLength = static_cast<ULONG>(buffer.size());
    transfer.TransferBuffer = buffer.empty() ? nullptr : buffer.data();
    return urb;
}

}  // namespace

UsbTransfer::UsbTransfer(PDEVICE_OBJECT target, USBD_PIPE_HANDLE pipe, bool in, std::vector<UCHAR> buffer)
    : buffer_(std::move(buffer)), urb_(TransferUrb(pipe, in, buffer_)),
      call_(target, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb_)
{
}

std::vector<UCHAR> UsbTransfer::Received() const
{
    return std::vector<UCHAR>(buffer_.begin(), buffer_.begin() + Transferred());
}

USBD_PIPE_HANDLE UsbConfiguration::Pipe(UCHAR endpointAddress) const
{
    for (const USBD_PIPE_INFORMATION& pipe : pipes) {
        if (pipe.EndpointAddress == endpointAddress) {
            return pipe.PipeHandle;
        }
    }
    ADD_FAILURE() << "no pipe for endpoint " << int{endpointAddress};
    return nullptr;
}

NTSTATUS UsbClient::Submit(URB& urb)
{
    UsbCall call(device_, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    return call.Wait();
}

NTSTATUS UsbClient::ReadDescriptor(UCHAR type, ULONG length, std::vector<UCHAR>& bytes, URB* completed)
{
    bytes.assign(length, UntouchedByte);
    URB urb{};
    auto& request = urb.UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.TransferBuffer = bytes.data();
    request.TransferBufferLength = length;
    request.DescriptorType = type;
    NTSTATUS status = Submit(urb);
    if (completed != nullptr) {
        *completed = urb;
    }
    return status;
}

UsbConfiguration UsbClient::Configure()
{
    UsbConfiguration configuration;
    std::vector<UCHAR> header;
    configuration.status =
        ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, sizeof(USB_CONFIGURATION_DESCRIPTOR), header);
    if (!NT_SUCCESS(configuration.status)) {
        return configuration;
    }
    USHORT total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(header.data())->wTotalLength;
    configuration.status = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, total, configuration.descriptor);
    if (!NT_SUCCESS(configuration.status)) {
        return configuration;
    }
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.descriptor.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(descriptor->bNumInterfaces + 1u, USBD_INTERFACE_LIST_ENTRY{});
    for (UCHAR i = 0; i < descriptor->bNumInterfaces; ++i) {
        list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, i, -1, -1, -1, -1);
        if (list[i].InterfaceDescriptor == nullptr) {
            ADD_FAILURE() << "no interface " << int{i};
            configuration.status = STATUS_INVALID_PARAMETER;
            return configuration;
        }
    }
    PURB select = USBD_CreateConfigurationRequestEx(descriptor, list.data());
    configuration.status = Submit(*select);
    configuration.handle = select->UrbSelectConfiguration.ConfigurationHandle;
    for (UCHAR i = 0; i < descriptor->bNumInterfaces; ++i) {
        PUSBD_INTERFACE_INFORMATION information = list[i].Interface;
        // A record is only Length bytes: one without pipes is shorter than the structure.
        USBD_INTERFACE_INFORMATION header{};
        std::memcpy(&header, information, offsetof(USBD_INTERFACE_INFORMATION, Pipes));
        configuration.interfaces.push_back(header);
        for (ULONG pipe = 0; pipe < information->NumberOfPipes; ++pipe) {
            configuration.pipes.push_back(information->Pipes[pipe]);
        }
    }
    ExFreePool(select);
    return configuration;
}

NTSTATUS UsbClient::Deconfigure()
{
    URB urb{};
    urb.UrbSelectConfiguration.Hdr.Length = sizeof(urb.UrbSelectConfiguration);
    urb.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    return Submit(urb);
}

NTSTATUS UsbClient::ResetPipe(USBD_PIPE_HANDLE pipe, URB* completed)
{
    URB urb{};
    urb.UrbPipeRequest.Hdr.Length = sizeof(urb.UrbPipeRequest);
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.UrbPipeRequest.PipeHandle = pipe;
    NTSTATUS status = Submit(urb);
    if (completed != nullptr) {
        *completed = urb;
    }
    return status;
}

NTSTATUS UsbClient::PortRequest(ULONG ioControlCode)
{
    UsbCall call(device_, ioControlCode, nullptr);
    return call.Wait();
}

ULONG UsbClient::PortStatus(NTSTATUS* status)
{
    ULONG word = 0xFFFFFFFF;
    UsbCall call(device_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word);
    NTSTATUS result = call.Wait();
    if (status != nullptr) {
        *status = result;
    }
    return word;
}

std::unique_ptr<UsbTransfer> UsbClient::Read(USBD_PIPE_HANDLE pipe, ULONG length)
{
    return std::make_unique<UsbTransfer>(device_, pipe, true, std::vector<UCHAR>(length, UntouchedByte));
}

std::unique_ptr<UsbTransfer> UsbClient::Write(USBD_PIPE_HANDLE pipe, std::vector<UCHAR> data)
{
    return std::make_unique<UsbTransfer>(device_, pipe, false, std::move(data));
}

std::vector<UCHAR> Pattern(size_t length, UCHAR seed)
{
    std::vector<UCHAR> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<UCHAR>(seed + i * 7);
    }
    return bytes;
}

std::string ModeName(const ::testing::TestParamInfo<sim::CompletionMode>& info)
{
    return info.param == sim::CompletionMode::Synchronous ? "Synchronous" : "ControllerThread";
}

}  // namespace bulkcom_test
