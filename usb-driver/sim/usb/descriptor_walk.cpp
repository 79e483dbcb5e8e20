#include "descriptor_walk.h"

namespace sim {

namespace {

const UCHAR* Bytes(const void* address)
{
    return static_cast<const UCHAR*>(address);
}

const UCHAR* EndOf(PUSB_CONFIGURATION_DESCRIPTOR configuration)
{
    return Bytes(configuration) + configuration->wTotalLength;
}

bool Matches(LONG wanted, UCHAR actual)
{
    return wanted == -1 || wanted == LONG{actual};
}

}  // namespace

DescriptorWalk::DescriptorWalk(PUSB_CONFIGURATION_DESCRIPTOR configuration, const void* start)
    : position_(Bytes(start)), end_(EndOf(configuration))
{
    if (position_ < Bytes(configuration) || position_ >= end_) {
        position_ = end_;
    }
}

PUSB_COMMON_DESCRIPTOR DescriptorWalk::Next()
{
    if (end_ - position_ < static_cast<ptrdiff_t>(sizeof(USB_COMMON_DESCRIPTOR))) {
        position_ = end_;
        return nullptr;
    }
    UCHAR length = position_[0];
    if (length == 0 || length > end_ - position_) {
        position_ = end_;
        return nullptr;
    }
    auto* descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(position_));
    position_ += length;
    return descriptor;
}

PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration, const void* start, LONG number,
                                        LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
                                        LONG interfaceProtocol)
{
    DescriptorWalk walk(configuration, start);
    while (PUSB_COMMON_DESCRIPTOR descriptor = walk.Next()) {
        // A descriptor too short to be an interface descriptor is passed over.
        if (descriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
            descriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            continue;
        }
        auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(descriptor);
        if (Matches(number, interface->bInterfaceNumber) && Matches(alternateSetting, interface->bAlternateSetting) &&
            Matches(interfaceClass, interface->bInterfaceClass) &&
            Matches(interfaceSubClass, interface->bInterfaceSubClass) &&
            Matches(interfaceProtocol, interface->bInterfaceProtocol)) {
            return interface;
        }
    }
    return nullptr;
}

std::vector<PUSB_ENDPOINT_DESCRIPTOR> EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                  PUSB_INTERFACE_DESCRIPTOR interface)
{
    std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
    DescriptorWalk walk(configuration, interface);
    walk.Next();
    while (PUSB_COMMON_DESCRIPTOR descriptor = walk.Next()) {
        if (descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        if (descriptor->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
            descriptor->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            endpoints.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(descriptor));
        }
    }
    return endpoints;
}

bool LiesWithin(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSB_INTERFACE_DESCRIPTOR interface)
{
    const UCHAR* begin = Bytes(interface);
    return begin >= Bytes(configuration) && EndOf(configuration) - begin >= static_cast<ptrdiff_t>(sizeof(*interface));
}

}  // namespace sim
