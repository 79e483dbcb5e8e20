// Building the standard descriptors a simulated device reports, from a
// plain description of its configuration.
#pragma once

#include <span>
#include <vector>

#include "platform/platform.h"

namespace sim {

struct EndpointLayout {
    UCHAR address;  // bit 7 set for IN
    UCHAR type = USB_ENDPOINT_TYPE_BULK;
    USHORT maxPacketSize = 64;
    UCHAR interval = 0;
};

struct InterfaceLayout {
    UCHAR number;
    UCHAR alternateSetting = 0;
    UCHAR interfaceClass = 0xFF;  // vendor-specific, as a device needing its own driver has
    UCHAR interfaceSubClass = 0;
    UCHAR interfaceProtocol = 0;
    std::vector<EndpointLayout> endpoints = {};
};

struct ConfigurationLayout {
    UCHAR configurationValue = 1;
    std::vector<InterfaceLayout> interfaces = {};
    // When set, vendor-specific descriptors after the last endpoint bring
    // wTotalLength up to this many bytes.
    USHORT paddedTotalLength = 0;
};

struct DeviceIdentity {
    USHORT vendorId = 0x1209;
    USHORT productId = 0xB1C0;
    UCHAR maxPacketSize0 = 64;
};

std::vector<UCHAR> BuildDeviceDescriptor(const DeviceIdentity& identity);
// bNumInterfaces counts interface numbers, not alternate settings.
std::vector<UCHAR> BuildConfigurationDescriptor(const ConfigurationLayout& configuration);

// The endpoint's wMaxPacketSize; 0 when the configuration has no such endpoint.
USHORT PacketSizeOf(const ConfigurationLayout& configuration, UCHAR endpoint);
// The address of the first endpoint of the type and direction; 0 when there is none.
UCHAR FirstEndpoint(const ConfigurationLayout& configuration, UCHAR type, bool in);

// A message as a device sends it: full packets, then a short one; a message
// whose length is a multiple of the packet size (empty included) ends with a
// zero-length packet.
std::vector<std::vector<UCHAR>> MessagePackets(std::span<const UCHAR> message, USHORT packetSize);
// Bytes cut into full packets and a short last one if any, with nothing to
// mark the end.
std::vector<std::vector<UCHAR>> StreamPackets(std::span<const UCHAR> bytes, USHORT packetSize);

}  // namespace sim
