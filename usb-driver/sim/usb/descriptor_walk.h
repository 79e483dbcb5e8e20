// Walking the descriptors of a configuration the way the USB stack does:
// never past wTotalLength, and stopping at the first malformed descriptor,
// so that no device can make a walk loop or read beyond its data.
#pragma once

#include <vector>

#include "platform/platform.h"

namespace sim {

class DescriptorWalk {
public:
    // From start, which must lie within the configuration's wTotalLength
    // bytes; a start outside them gives an empty walk.
    DescriptorWalk(PUSB_CONFIGURATION_DESCRIPTOR configuration, const void* start);

    // The next descriptor, or null at the end and at a descriptor whose
    // bLength is zero or runs past the end.
    PUSB_COMMON_DESCRIPTOR Next();

private:
    const UCHAR* position_;
    const UCHAR* end_;
};

// The first interface descriptor from start that matches; -1 matches any value.
PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration, const void* start, LONG number,
                                        LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
                                        LONG interfaceProtocol);

// The endpoint descriptors that follow an interface descriptor, up to the next
// interface descriptor or the end of the walk.
std::vector<PUSB_ENDPOINT_DESCRIPTOR> EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                  PUSB_INTERFACE_DESCRIPTOR interface);

// Whether an interface descriptor lies wholly within the configuration.
bool LiesWithin(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSB_INTERFACE_DESCRIPTOR interface);

}  // namespace sim
