// A device whose every answer a test queues in advance: what each IN
// endpoint sends, in order, and how each OUT transfer is answered. An IN
// endpoint with nothing queued sends nothing, so a transfer waits; an OUT
// endpoint with no answer queued takes everything it is given.
#pragma once

#include <deque>
#include <map>
#include <mutex>

#include "descriptor_variants.h"
#include "usb_device_model.h"

namespace sim {

class ScriptedDevice : public UsbDeviceModel {
public:
    // Stands for the configuration's first bulk endpoint of the direction.
    static constexpr UCHAR FirstBulk = 0;

    explicit ScriptedDevice(ConfigurationLayout configuration = BulkPairConfiguration(), DeviceIdentity identity = {});

    // What the device reports instead of the descriptors built from its
    // configuration, for devices with malformed or changing descriptors.
    void SetDeviceDescriptor(std::vector<UCHAR> bytes);
    void SetConfigurationDescriptor(std::vector<UCHAR> bytes);

    // IN endpoint, in the order queued.
    // One message: full packets, then a short or zero-length packet.
    void SendMessage(std::span<const UCHAR> message, UCHAR endpoint = FirstBulk);
    // Full packets and a short last one if any, with no end mark.
    void SendPackets(std::span<const UCHAR> bytes, UCHAR endpoint = FirstBulk);
    // Exactly one packet of these bytes: empty is a zero-length packet,
    // longer than the packet size is babble.
    void SendPacket(std::vector<UCHAR> packet, UCHAR endpoint = FirstBulk);
    void StallIn(UCHAR endpoint = FirstBulk);
    void FailIn(NTSTATUS status, USBD_STATUS usbdStatus, UCHAR endpoint = FirstBulk);
    // The transfer that meets this is never answered.
    void IgnoreIn(UCHAR endpoint = FirstBulk);

    // OUT endpoint, one answer per transfer in the order queued.
    void AcceptOut(ULONG count, UCHAR endpoint = FirstBulk);
    void StallOut(UCHAR endpoint = FirstBulk);
    void FailOut(NTSTATUS status, USBD_STATUS usbdStatus, UCHAR endpoint = FirstBulk);
    void IgnoreOut(UCHAR endpoint = FirstBulk);

    // The bytes each OUT transfer handed to the device, in order.
    std::vector<std::vector<UCHAR>> Written(UCHAR endpoint = FirstBulk) const;
    unsigned EndpointResets(UCHAR endpoint) const;
    unsigned PortResets() const;

    std::vector<UCHAR> DeviceDescriptor() const override;
    std::vector<UCHAR> ConfigurationDescriptor() const override;
    OutAnswer Out(UCHAR endpoint, std::span<const UCHAR> data) override;
    std::optional<InEvent> NextIn(UCHAR endpoint) override;
    void EndpointReset(UCHAR endpoint) override;
    void PortReset() override;

private:
    UCHAR InAddress(UCHAR endpoint) const;
    UCHAR OutAddress(UCHAR endpoint) const;
    void QueueIn(UCHAR endpoint, std::vector<InEvent> events);
    void QueueOut(UCHAR endpoint, OutAnswer answer);

    const ConfigurationLayout configuration_;
    mutable std::mutex lock_;
    std::vector<UCHAR> deviceDescriptor_;
    std::vector<UCHAR> configurationDescriptor_;
    std::map<UCHAR, std::deque<InEvent>> in_;
    std::map<UCHAR, std::deque<OutAnswer>> out_;
    std::map<UCHAR, std::vector<std::vector<UCHAR>>> written_;
    std::map<UCHAR, unsigned> endpointResets_;
    unsigned portResets_ = 0;
};

}  // namespace sim
