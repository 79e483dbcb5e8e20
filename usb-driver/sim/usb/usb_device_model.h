// What the bus driver asks of an attached USB device: its descriptors and
// what its bulk and interrupt endpoints do with each transfer. The bus
// applies the packet rules; a model only says which packets it sends and
// how much of an OUT transfer it takes.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "platform/platform.h"

namespace sim {

// What an IN endpoint does next.
struct InPacket {
    // Shorter than the endpoint's packet size (empty: a zero-length packet)
    // ends a transfer; longer than the room left, or than the packet size, is babble.
    std::vector<UCHAR> data;
};
struct InStall {};
struct InFailure {
    NTSTATUS status;
    USBD_STATUS usbdStatus;
};
// The device never answers the transfer that meets this: it stays pending
// until it is cancelled or the device is unplugged.
struct InIgnore {};
using InEvent = std::variant<InPacket, InStall, InFailure, InIgnore>;

// How an OUT endpoint answers one transfer.
struct OutAccept {
    ULONG count;  // bytes taken, at most those offered
};
struct OutStall {};
struct OutFailure {
    NTSTATUS status;
    USBD_STATUS usbdStatus;
};
struct OutIgnore {};
using OutAnswer = std::variant<OutAccept, OutStall, OutFailure, OutIgnore>;

class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;

    virtual std::vector<UCHAR> DeviceDescriptor() const = 0;
    // The whole configuration, wTotalLength bytes as the device reports them.
    virtual std::vector<UCHAR> ConfigurationDescriptor() const = 0;

    // Called by the bus with its own lock held; they must not call back into
    // the bus (so never NotifyActivity).
    virtual OutAnswer Out(UCHAR endpoint, std::span<const UCHAR> data) = 0;
    // Takes the next event of the IN endpoint; none while it has nothing to send.
    virtual std::optional<InEvent> NextIn(UCHAR endpoint) = 0;
    // A clear-feature(halt) on the endpoint, and a port reset.
    virtual void EndpointReset([[maybe_unused]] UCHAR endpoint) {}
    virtual void PortReset() {}

    // The bus listens here for a device that has something new to send.
    void SetActivityHandler(std::function<void()> handler);

protected:
    // Tells the bus to look at the endpoints again; called without any of
    // the model's locks held.
    void NotifyActivity();

private:
    std::mutex handlerLock_;
    std::function<void()> handler_;
};

}  // namespace sim
