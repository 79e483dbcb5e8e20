#include "scripted_device.h"

#include <algorithm>

namespace sim {

ScriptedDevice::ScriptedDevice(ConfigurationLayout configuration, DeviceIdentity identity)
    : configuration_(std::move(configuration)), deviceDescriptor_(BuildDeviceDescriptor(identity)),
      configurationDescriptor_(BuildConfigurationDescriptor(configuration_))
{
}

void ScriptedDevice::SetDeviceDescriptor(std::vector<UCHAR> bytes)
{
    std::lock_guard lock(lock_);
    deviceDescriptor_ = std::move(bytes);
}

void ScriptedDevice::SetConfigurationDescriptor(std::vector<UCHAR> bytes)
{
    std::lock_guard lock(lock_);
    configurationDescriptor_ = std::move(bytes);
}

UCHAR ScriptedDevice::InAddress(UCHAR endpoint) const
{
    return endpoint == FirstBulk ? FirstEndpoint(configuration_, USB_ENDPOINT_TYPE_BULK, true) : endpoint;
}

UCHAR ScriptedDevice::OutAddress(UCHAR endpoint) const
{
    return endpoint == FirstBulk ? FirstEndpoint(configuration_, USB_ENDPOINT_TYPE_BULK, false) : endpoint;
}

void ScriptedDevice::QueueIn(UCHAR endpoint, std::vector<InEvent> events)
{
    {
        std::lock_guard lock(lock_);
        auto& queue = in_[InAddress(endpoint)];
        queue.insert(queue.end(), std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));
    }
    NotifyActivity();
}

void ScriptedDevice::QueueOut(UCHAR endpoint, OutAnswer answer)
{
    {
        std::lock_guard lock(lock_);
        out_[OutAddress(endpoint)].push_back(answer);
    }
    // The device takes an answer when a transfer reaches it, so queueing one
    // wakes nothing.
}

void ScriptedDevice::SendMessage(std::span<const UCHAR> message, UCHAR endpoint)
{
    std::vector<InEvent> events;
    for (auto& packet : MessagePackets(message, PacketSizeOf(configuration_, InAddress(endpoint)))) {
        events.emplace_back(InPacket{std::move(packet)});
    }
    QueueIn(endpoint, std::move(events));
}

void ScriptedDevice::SendPackets(std::span<const UCHAR> bytes, UCHAR endpoint)
{
    std::vector<InEvent> events;
    for (auto& packet : StreamPackets(bytes, PacketSizeOf(configuration_, InAddress(endpoint)))) {
        events.emplace_back(InPacket{std::move(packet)});
    }
    QueueIn(endpoint, std::move(events));
}

void ScriptedDevice::SendPacket(std::vector<UCHAR> packet, UCHAR endpoint)
{
    std::vector<InEvent> events;
    events.emplace_back(InPacket{std::move(packet)});
    QueueIn(endpoint, std::move(events));
}

void ScriptedDevice::StallIn(UCHAR endpoint)
{
    QueueIn(endpoint, {InStall{}});
}

void ScriptedDevice::FailIn(NTSTATUS status, USBD_STATUS usbdStatus, UCHAR endpoint)
{
    QueueIn(endpoint, {InFailure{status, usbdStatus}});
}

void ScriptedDevice::IgnoreIn(UCHAR endpoint)
{
    QueueIn(endpoint, {InIgnore{}});
}

void ScriptedDevice::AcceptOut(ULONG count, UCHAR endpoint)
{
    QueueOut(endpoint, OutAccept{count});
}

void ScriptedDevice::StallOut(UCHAR endpoint)
{
    QueueOut(endpoint, OutStall{});
}

void ScriptedDevice::FailOut(NTSTATUS status, USBD_STATUS usbdStatus, UCHAR endpoint)
{
    QueueOut(endpoint, OutFailure{status, usbdStatus});
}

void ScriptedDevice::IgnoreOut(UCHAR endpoint)
{
    QueueOut(endpoint, OutIgnore{});
}

std::vector<std::vector<UCHAR>> ScriptedDevice::Written(UCHAR endpoint) const
{
    std::lock_guard lock(lock_);
    auto found = written_.find(OutAddress(endpoint));
    return found == written_.end() ? std::vector<std::vector<UCHAR>>{} : found->second;
}

unsigned ScriptedDevice::EndpointResets(UCHAR endpoint) const
{
    std::lock_guard lock(lock_);
    auto found = endpointResets_.find(endpoint);
    return found == endpointResets_.end() ? 0 : found->second;
}

unsigned ScriptedDevice::PortResets() const
{
    std::lock_guard lock(lock_);
    return portResets_;
}

std::vector<UCHAR> ScriptedDevice::DeviceDescriptor() const
{
    std::lock_guard lock(lock_);
    return deviceDescriptor_;
}

std::vector<UCHAR> ScriptedDevice::ConfigurationDescriptor() const
{
    std::lock_guard lock(lock_);
    return configurationDescriptor_;
}

OutAnswer ScriptedDevice::Out(UCHAR endpoint, std::span<const UCHAR> data)
{
    std::lock_guard lock(lock_);
    OutAnswer answer = OutAccept{static_cast<ULONG>(data.size())};
    if (auto& queue = out_[endpoint]; !queue.empty()) {
        answer = queue.front();
        queue.pop_front();
    }
    if (const auto* accept = std::get_if<OutAccept>(&answer)) {
        ULONG taken = std::min<ULONG>(accept->count, static_cast<ULONG>(data.size()));
        written_[endpoint].emplace_back(data.begin(), data.begin() + taken);
        answer = OutAccept{taken};
    }
    return answer;
}

std::optional<InEvent> ScriptedDevice::NextIn(UCHAR endpoint)
{
    std::lock_guard lock(lock_);
    auto& queue = in_[endpoint];
    if (queue.empty()) {
        return std::nullopt;
    }
    InEvent event = std::move(queue.front());
    queue.pop_front();
    return event;
}

void ScriptedDevice::EndpointReset(UCHAR endpoint)
{
    std::lock_guard lock(lock_);
    endpointResets_[endpoint]++;
}

void ScriptedDevice::PortReset()
{
    std::lock_guard lock(lock_);
    portResets_++;
}

}  // namespace sim
