#include "usb_descriptors.h"

#include <set>

#include "kernel/bugcheck.h"

namespace sim {

namespace {

constexpr UCHAR VendorSpecificDescriptorType = 0xFF;

void Append16(std::vector<UCHAR>& bytes, USHORT value)
{
    bytes.push_back(static_cast<UCHAR>(value & 0xFF));
    bytes.push_back(static_cast<UCHAR>(value >> 8));
}

}  // namespace

std::vector<UCHAR> BuildDeviceDescriptor(const DeviceIdentity& identity)
{
    std::vector<UCHAR> bytes{sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE};
    Append16(bytes, 0x0200);  // USB 2.0
    bytes.insert(bytes.end(), {0, 0, 0, identity.maxPacketSize0});
    Append16(bytes, identity.vendorId);
    Append16(bytes, identity.productId);
    Append16(bytes, 0x0100);                  // device release 1.00
    bytes.insert(bytes.end(), {1, 2, 3, 1});  // manufacturer, product and serial strings; one configuration
    return bytes;
}

std::vector<UCHAR> BuildConfigurationDescriptor(const ConfigurationLayout& configuration)
{
    std::set<UCHAR> numbers;
    for (const InterfaceLayout& interface : configuration.interfaces) {
        numbers.insert(interface.number);
    }
    std::vector<UCHAR> bytes{sizeof(USB_CONFIGURATION_DESCRIPTOR),
                             USB_CONFIGURATION_DESCRIPTOR_TYPE,
                             0,
                             0,
                             static_cast<UCHAR>(numbers.size()),
                             configuration.configurationValue,
                             0,
                             USB_CONFIG_BUS_POWERED,
                             50};
    for (const InterfaceLayout& interface : configuration.interfaces) {
        bytes.insert(bytes.end(),
                     {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, interface.number,
                      interface.alternateSetting, static_cast<UCHAR>(interface.endpoints.size()),
                      interface.interfaceClass, interface.interfaceSubClass, interface.interfaceProtocol, 0});
        for (const EndpointLayout& endpoint : interface.endpoints) {
            bytes.insert(bytes.end(), {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint.address,
                                       endpoint.type});
            Append16(bytes, endpoint.maxPacketSize);
            bytes.push_back(endpoint.interval);
        }
    }
    if (configuration.paddedTotalLength != 0) {
        if (configuration.paddedTotalLength < bytes.size() + 2) {
            BugCheck("SIMULATION_LIMIT", "a padded configuration needs room for at least one 2-byte descriptor");
        }
        size_t remaining = configuration.paddedTotalLength - bytes.size();
        while (remaining > 0) {
            // Never leave a single byte, which no descriptor could fill.
            size_t length = remaining > 255 ? (remaining - 255 == 1 ? 254 : 255) : remaining;
            bytes.push_back(static_cast<UCHAR>(length));
            bytes.push_back(VendorSpecificDescriptorType);
            bytes.insert(bytes.end(), length - 2, 0x5A);
            remaining -= length;
        }
    }
    USHORT total = static_cast<USHORT>(bytes.size());
    bytes[2] = static_cast<UCHAR>(total & 0xFF);
    bytes[3] = static_cast<UCHAR>(total >> 8);
    return bytes;
}

USHORT PacketSizeOf(const ConfigurationLayout& configuration, UCHAR endpoint)
{
    for (const InterfaceLayout& interface : configuration.interfaces) {
        for (const EndpointLayout& layout : interface.endpoints) {
            if (layout.address == endpoint) {
                return layout.maxPacketSize;
            }
        }
    }
    return 0;
}

UCHAR FirstEndpoint(const ConfigurationLayout& configuration, UCHAR type, bool in)
{
    for (const InterfaceLayout& interface : configuration.interfaces) {
        for (const EndpointLayout& layout : interface.endpoints) {
            if (layout.type == type && ((layout.address & USB_ENDPOINT_DIRECTION_MASK) != 0) == in) {
                return layout.address;
            }
        }
    }
    return 0;
}

std::vector<std::vector<UCHAR>> StreamPackets(std::span<const UCHAR> bytes, USHORT packetSize)
{
    std::vector<std::vector<UCHAR>> packets;
    for (size_t offset = 0; offset < bytes.size(); offset += packetSize) {
        std::span<const UCHAR> piece = bytes.subspan(offset, std::min<size_t>(packetSize, bytes.size() - offset));
        packets.emplace_back(piece.begin(), piece.end());
    }
    return packets;
}

std::vector<std::vector<UCHAR>> MessagePackets(std::span<const UCHAR> message, USHORT packetSize)
{
    std::vector<std::vector<UCHAR>> packets = StreamPackets(message, packetSize);
    if (message.size() % packetSize == 0) {
        packets.emplace_back();
    }
    return packets;
}

}  // namespace sim
