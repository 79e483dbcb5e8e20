// A device that sends every OUT message back as one IN message, ended by a
// short packet, or by a zero-length packet when its length is a multiple of
// the IN endpoint's packet size, as real devices do.
#pragma once

#include <deque>
#include <mutex>

#include "descriptor_variants.h"
#include "usb_device_model.h"

namespace sim {

class LoopbackDevice : public UsbDeviceModel {
public:
    // Messages to any bulk OUT endpoint come back on inEndpoint.
    explicit LoopbackDevice(ConfigurationLayout configuration = BulkPairConfiguration(), DeviceIdentity identity = {},
                            UCHAR inEndpoint = BulkInEndpoint);

    std::vector<UCHAR> DeviceDescriptor() const override;
    std::vector<UCHAR> ConfigurationDescriptor() const override;
    OutAnswer Out(UCHAR endpoint, std::span<const UCHAR> data) override;
    std::optional<InEvent> NextIn(UCHAR endpoint) override;

private:
    const ConfigurationLayout configuration_;
    const DeviceIdentity identity_;
    const UCHAR inEndpoint_;
    std::mutex lock_;
    std::deque<std::vector<UCHAR>> packets_;
};

}  // namespace sim
