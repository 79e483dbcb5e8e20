#include "descriptor_variants.h"

namespace sim {

namespace {

InterfaceLayout BulkPairInterface(UCHAR number, USHORT packetSize = 64)
{
    return InterfaceLayout{.number = number,
                           .endpoints = {EndpointLayout{.address = BulkOutEndpoint, .maxPacketSize = packetSize},
                                         EndpointLayout{.address = BulkInEndpoint, .maxPacketSize = packetSize}}};
}

InterfaceLayout InterruptInterface(UCHAR number, unsigned pipes = 1)
{
    InterfaceLayout interface {
        .number = number, .interfaceClass = 0x02, .interfaceSubClass = 0x02
    };
    interface.endpoints.push_back(EndpointLayout{
        .address = InterruptInEndpoint, .type = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 16, .interval = 10});
    if (pipes > 1) {
        interface.endpoints.push_back(EndpointLayout{
            .address = InterruptOutEndpoint, .type = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 16, .interval = 10});
    }
    return interface;
}

}  // namespace

ConfigurationLayout BulkPairConfiguration(USHORT packetSize)
{
    return ConfigurationLayout{.interfaces = {BulkPairInterface(0, packetSize)}};
}

ConfigurationLayout InterruptThenBulkConfiguration(unsigned interruptPipes)
{
    return ConfigurationLayout{.interfaces = {InterruptInterface(0, interruptPipes), BulkPairInterface(1)}};
}

ConfigurationLayout BulkThenEmptyConfiguration()
{
    return ConfigurationLayout{.interfaces = {BulkPairInterface(0), InterfaceLayout{.number = 1}}};
}

ConfigurationLayout TwoBulkOutConfiguration()
{
    InterfaceLayout interface = BulkPairInterface(0);
    interface.endpoints.push_back(EndpointLayout{.address = SecondBulkOutEndpoint});
    return ConfigurationLayout{.interfaces = {interface}};
}

ConfigurationLayout PaddedConfiguration(USHORT totalLength)
{
    return ConfigurationLayout{.interfaces = {BulkPairInterface(0)}, .paddedTotalLength = totalLength};
}

ConfigurationLayout NoInterfaceZeroConfiguration()
{
    return ConfigurationLayout{.interfaces = {InterruptInterface(1), BulkPairInterface(2)}};
}

ConfigurationLayout ThreeInterfaceConfiguration()
{
    return ConfigurationLayout{
        .interfaces = {InterruptInterface(0), BulkPairInterface(1), InterfaceLayout{.number = 2}}};
}

}  // namespace sim
