// A USB device's descriptors in the form Linux gives them in
// /sys/bus/usb/devices/<device>/descriptors: the 18-byte device descriptor,
// then each configuration, wTotalLength bytes from its configuration
// descriptor. Read for showing them to the device's maker; what the driver
// makes of them is learned by running it.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace bulkcom_check {

// The device descriptor and 255 configurations of the largest size.
inline constexpr size_t MaximumDumpSize = 18 + 255 * size_t{0xFFFF};

struct DumpedEndpoint {
    UCHAR address = 0;
    UCHAR type = 0;  // USB_ENDPOINT_TYPE_...
    USHORT packetSize = 0;
};

struct DumpedInterface {
    size_t offset = 0;  // in the file
    UCHAR number = 0;
    UCHAR alternateSetting = 0;
    UCHAR interfaceClass = 0;
    UCHAR interfaceSubClass = 0;
    UCHAR interfaceProtocol = 0;
    UCHAR declaredEndpoints = 0;  // bNumEndpoints
    std::vector<DumpedEndpoint> endpoints;
};

struct DescriptorDump {
    std::vector<UCHAR> deviceDescriptor;
    // The first configuration, wTotalLength bytes: the one the driver reads.
    std::vector<UCHAR> configuration;
    USHORT vendorId = 0;
    USHORT productId = 0;
    UCHAR configurations = 0;  // bNumConfigurations
    UCHAR interfaces = 0;      // bNumInterfaces of the first configuration
    // The interface descriptors of the first configuration, each with the
    // endpoint descriptors after it, as the USB stack walks them.
    std::vector<DumpedInterface> interfaceDescriptors;
    // What that walk passes over or stops at, each naming its file offset.
    std::vector<std::string> notes;
};

// The dump, or nothing with the reason in *problem when the bytes cannot be
// a device's descriptors: the device descriptor missing or broken, or the
// first configuration shorter than its header or than its wTotalLength.
// Whatever lies inside a configuration is left for the driver to judge.
std::optional<DescriptorDump> ReadDump(std::span<const UCHAR> bytes, std::string* problem);

// Reads at most one byte more than MaximumDumpSize, so that no file is too
// large to be told so; false with the reason in *problem when the file
// cannot be read.
bool LoadDumpFile(const std::string& path, std::vector<UCHAR>* bytes, std::string* problem);

// A line for the device and its first configuration, one for each
// interface descriptor, one for each note.
std::string Listing(const DescriptorDump& dump);

// Such as "0x81".
std::string EndpointAddressText(UCHAR address);

}  // namespace bulkcom_check
