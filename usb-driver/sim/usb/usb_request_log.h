// What a USB physical device object received, in order of arrival, and how
// each request ended, so tests can assert the sequences a driver sends.
#pragma once

#include <deque>
#include <map>
#include <vector>

#include "platform/platform.h"

namespace sim {

enum class UsbRequestKind {
    SubmitUrb,
    GetPortStatus,
    ResetPort,
    CyclePort,
    OtherInternalControl,
    Pnp,
    Power,
    Other,
};

struct UsbRequestRecord {
    UsbRequestKind kind = UsbRequestKind::Other;
    UCHAR majorFunction = 0;
    UCHAR minorFunction = 0;
    ULONG ioControlCode = 0;

    // Submitted URBs, as they arrived.
    USHORT urbFunction = 0;
    // Of the pipe a transfer or pipe reset names; 0 when the handle is unknown.
    UCHAR endpointAddress = 0;
    UCHAR descriptorType = 0;
    ULONG transferFlags = 0;
    ULONG requestedLength = 0;
    // A select-configuration request with no configuration descriptor.
    bool deconfigures = false;

    // Power requests: the power type, and the system or device state asked for.
    POWER_STATE_TYPE powerType = SystemPowerState;
    ULONG powerState = 0;
    // The device power state the bus had recorded when the request arrived.
    DEVICE_POWER_STATE devicePowerState = PowerDeviceD0;

    // How the request ended.
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
    ULONG transferredLength = 0;
};

// The records of the most recent requests, so that a long run keeps a
// bounded log. Each request is known by its number, its place among all the
// device received; one still in flight stays reachable by it after it has
// left the window, until it ends.
class UsbRequestLog {
public:
    static constexpr size_t Window = 4096;

    // Returns the request's number.
    size_t Add(const UsbRequestRecord& record);
    // The record of a request in the window or still in flight.
    UsbRequestRecord& operator[](size_t number)
    {
        return number - first_ < window_.size() ? window_[number - first_] : Departed(number);
    }
    const UsbRequestRecord& operator[](size_t number) const { return const_cast<UsbRequestLog&>(*this)[number]; }

    // How many requests were ever added.
    size_t Count() const { return first_ + window_.size(); }
    // The records from the numbered one on, oldest first; a number that has
    // left the window is a bug check, so that no test misses a request.
    std::vector<UsbRequestRecord> Since(size_t number) const;
    // Those the window holds.
    std::vector<UsbRequestRecord> Recent() const { return Since(first_); }

private:
    UsbRequestRecord& Departed(size_t number);

    std::deque<UsbRequestRecord> window_;
    // The number of the window's oldest record.
    size_t first_ = 0;
    // Records pushed out of the window before their request ended.
    std::map<size_t, UsbRequestRecord> departed_;
};

}  // namespace sim
