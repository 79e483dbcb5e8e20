// libFuzzer harness: a USB device whose descriptors come from the input
// (layout in descriptor_input.h), taken through enumeration, a write and a
// read, a rebalance that reads other descriptors, another write and read,
// and an unplug; then the platform must be clean.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "application_side.h"
#include "changing_descriptor_device.h"
#include "descriptor_input.h"
#include "fuzz_checks.h"
#include "fuzz_input.h"
#include "plugged_device.h"
#include "win32_api.h"

namespace bulkcom_fuzz {
namespace {

struct StartDescriptors {
    std::vector<UCHAR> device;
    std::vector<UCHAR> firstRead;
    std::vector<UCHAR> laterReads;
};

StartDescriptors ReadStart(FuzzInput& input)
{
    StartDescriptors start;
    start.device = input.Blob(descriptor_input::MaxDeviceDescriptor);
    start.firstRead = input.Blob(descriptor_input::MaxConfiguration);
    start.laterReads = input.Blob(descriptor_input::MaxConfiguration);
    return start;
}

void Present(ChangingDescriptorDevice& device, StartDescriptors start)
{
    device.SetDeviceDescriptor(std::move(start.device));
    device.SetConfigurationDescriptor(std::move(start.laterReads));
    device.SetNextConfigurationRead(std::move(start.firstRead));
}

// The port opens whenever the device started.
HANDLE OpenPort(const PluggedDevice& plugged)
{
    HANDLE port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        Require(!plugged.Extension()->Started, "the port of a started device did not open");
        return port;
    }
    // A read the device does not answer ends at the shortest timeout.
    COMMTIMEOUTS timeouts{0, 0, 1, 0, 1};
    Require(SetCommTimeouts(port, &timeouts), "setting the timeouts failed on an open port");
    return port;
}

// A write, then a read the device answers on the IN pipe the driver chose:
// with one short packet, which ends the transfer whatever the pipe's packet
// size, or with a stall where no packet is short.
void WriteAndRead(PluggedDevice& plugged, ChangingDescriptorDevice& device, HANDLE port, uint8_t flags,
                  std::vector<UCHAR> message)
{
    PDEVICE_EXTENSION extension = plugged.Extension();
    if (port == INVALID_HANDLE_VALUE || extension == nullptr || !extension->Started) {
        return;
    }
    Require(extension->BulkInPipe != nullptr && extension->BulkOutPipe != nullptr,
            "a started device without both bulk pipes");
    if (message.empty()) {
        message.push_back(0x55);
    }
    if ((flags & descriptor_input::StallFirstOut) != 0) {
        device.StallOut(extension->BulkOutPipe->EndpointAddress);
    }
    DWORD bytes = 0;
    WriteFile(port, message.data(), static_cast<DWORD>(message.size()), &bytes, nullptr);

    UCHAR in = extension->BulkInPipe->EndpointAddress;
    USHORT packetSize = extension->BulkInPipe->MaximumPacketSize;
    if ((flags & descriptor_input::StallIn) != 0 || packetSize == 0) {
        device.StallIn(in);
    } else {
        size_t length = std::min<size_t>(message.size(), packetSize - 1u);
        device.SendPacket(std::vector<UCHAR>(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(length)),
                          in);
    }
    std::vector<UCHAR> buffer(message.size());
    ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &bytes, nullptr);
    Require(bytes <= buffer.size(), "a read returned more bytes than it asked for");
}

}  // namespace
}  // namespace bulkcom_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace bulkcom_fuzz;

    FuzzInput input(data, size);
    uint8_t flags = input.Byte();
    StartDescriptors first = ReadStart(input);
    StartDescriptors second = ReadStart(input);
    std::vector<UCHAR> message = input.Blob(descriptor_input::MaxMessage);

    StartFresh();
    {
        auto device = std::make_shared<ChangingDescriptorDevice>();
        Present(*device, std::move(first));
        PluggedDevice plugged(device, (flags & descriptor_input::ControllerThread) != 0
                                          ? sim::CompletionMode::ControllerThread
                                          : sim::CompletionMode::Synchronous);
        // A device that fails to start is removed at once by the Plug and
        // Play manager; there is nothing more to do with it.
        plugged.Pnp().Enumerate(plugged.Pdo());
        if (plugged.Fdo() != nullptr) {
            HANDLE port = OpenPort(plugged);
            WriteAndRead(plugged, *device, port, flags, message);
            Present(*device, std::move(second));
            plugged.Pnp().Rebalance(plugged.Pdo());
            WriteAndRead(plugged, *device, port, flags, message);
            plugged.Unplug();
            if (port != INVALID_HANDLE_VALUE) {
                Require(CloseHandle(port), "closing the port failed");
            }
            sim::WaitForDeferredCloses();
        }
    }
    RequirePlatformClean();
    return 0;
}
