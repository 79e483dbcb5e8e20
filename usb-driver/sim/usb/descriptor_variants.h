// The configurations tests give their devices: the usual bulk pair and the
// variants whose handling the driver has to get right.
#pragma once

#include "usb_descriptors.h"

namespace sim {

inline constexpr UCHAR BulkOutEndpoint = 0x02;
inline constexpr UCHAR BulkInEndpoint = 0x81;
inline constexpr UCHAR InterruptInEndpoint = 0x83;
inline constexpr UCHAR SecondBulkOutEndpoint = 0x04;
inline constexpr UCHAR InterruptOutEndpoint = 0x05;

// Interface 0 with bulk OUT 0x02 and bulk IN 0x81.
ConfigurationLayout BulkPairConfiguration(USHORT packetSize = 64);
// Interface 0 with interrupt pipes only (one IN, then OUT as a second),
// interface 1 with the bulk pair.
ConfigurationLayout InterruptThenBulkConfiguration(unsigned interruptPipes = 1);
// Interface 0 with the bulk pair, interface 1 with no endpoint.
ConfigurationLayout BulkThenEmptyConfiguration();
// Interface 0 with bulk OUT 0x02, bulk IN 0x81 and a later bulk OUT 0x04.
ConfigurationLayout TwoBulkOutConfiguration();
// The bulk pair, padded with vendor descriptors to wTotalLength bytes.
ConfigurationLayout PaddedConfiguration(USHORT totalLength);
// Interfaces 1 and 2 (interrupt, then the bulk pair) and no interface 0.
ConfigurationLayout NoInterfaceZeroConfiguration();
// Three interfaces: interrupt, the bulk pair, and one without endpoints.
ConfigurationLayout ThreeInterfaceConfiguration();

}  // namespace sim
