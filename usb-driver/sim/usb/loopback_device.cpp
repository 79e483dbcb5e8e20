#include "loopback_device.h"

namespace sim {

LoopbackDevice::LoopbackDevice(ConfigurationLayout configuration, DeviceIdentity identity, UCHAR inEndpoint)
    : configuration_(std::move(configuration)), identity_(identity), inEndpoint_(inEndpoint)
{
}

std::vector<UCHAR> LoopbackDevice::DeviceDescriptor() const
{
    return BuildDeviceDescriptor(identity_);
}

std::vector<UCHAR> LoopbackDevice::ConfigurationDescriptor() const
{
    return BuildConfigurationDescriptor(configuration_);
}

OutAnswer LoopbackDevice::Out(UCHAR, std::span<const UCHAR> data)
{
    std::lock_guard lock(lock_);
    for (auto& packet : MessagePackets(data, PacketSizeOf(configuration_, inEndpoint_))) {
        packets_.push_back(std::move(packet));
    }
    return OutAccept{static_cast<ULONG>(data.size())};
}

std::optional<InEvent> LoopbackDevice::NextIn(UCHAR endpoint)
{
    std::lock_guard lock(lock_);
    if (endpoint != inEndpoint_ || packets_.empty()) {
        return std::nullopt;
    }
    InPacket packet{std::move(packets_.front())};
    packets_.pop_front();
    return packet;
}

}  // namespace sim
