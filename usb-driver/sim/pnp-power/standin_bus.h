// A stand-in for the USB bus driver: physical device objects that answer the
// capabilities query, succeed the Plug and Play requests no driver may fail,
// query-power and set-power, and complete every other request with the
// status it carries, having nothing below them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

class ControllerThread;

struct ReceivedRequest {
    UCHAR majorFunction;
    UCHAR minorFunction;
    ULONG ioControlCode;
};

class StandInBus {
public:
    StandInBus();
    ~StandInBus();
    StandInBus(const StandInBus&) = delete;
    StandInBus& operator=(const StandInBus&) = delete;

    // A named physical device object with an empty hardware key.
    PDEVICE_OBJECT CreatePhysicalDevice(std::u16string_view instanceId);
    void DeletePhysicalDevice(PDEVICE_OBJECT physicalDevice);

    // The record the device reports to a capabilities query; none leaves the
    // query unanswered (its preset STATUS_NOT_SUPPORTED stands).
    void SetCapabilities(PDEVICE_OBJECT physicalDevice, std::optional<DEVICE_CAPABILITIES> capabilities);
    // Plug and Play requests return STATUS_PENDING and end later on the
    // bus's own thread, as a bus driver that finishes them from a worker
    // does; so the pending branches of a function driver's forward-and-wait
    // paths run.
    void PendPnpRequests(PDEVICE_OBJECT physicalDevice, bool pend);

    std::vector<ReceivedRequest> Received(PDEVICE_OBJECT physicalDevice) const;
    // The record of the last capabilities query as it arrived, before the
    // device filled it in.
    std::optional<DEVICE_CAPABILITIES> CapabilitiesAsAsked(PDEVICE_OBJECT physicalDevice) const;

private:
    PDRIVER_OBJECT driver_;
    unsigned nextNumber_ = 0;
    // Where pended requests end.
    std::unique_ptr<ControllerThread> worker_;
};

// What a typical USB function reports: D0 working, D3 otherwise, removable.
DEVICE_CAPABILITIES TypicalUsbCapabilities();

}  // namespace sim
