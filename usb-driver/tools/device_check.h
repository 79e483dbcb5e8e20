// bulkcom-check's answer for one device's descriptors: the driver is loaded
// into the simulated kernel, a USB device reporting those descriptors is
// added to it and started, and what the driver then did (the start's
// status, the requests it sent to the device and how the bus answered
// them, the interface and pipes it kept) is the answer.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "platform/platform.h"

namespace bulkcom_check {

// Each value is bulkcom-check's exit status for the verdict.
enum class Verdict {
    Starts = 0,
    WillNotStart = 1,
    // The bytes cannot be a device's descriptors; the driver was not run.
    Unusable = 2,
    // The platform's checks found what the driver left behind; a kernel
    // rule the driver breaks ends the process with this status too.
    DriverFault = 3,
};

constexpr int ExitStatus(Verdict verdict)
{
    return static_cast<int>(verdict);
}

struct TakenPipe {
    UCHAR address = 0;
    USHORT packetSize = 0;

    bool operator==(const TakenPipe&) const = default;
};

// The interface whose pipes the started driver uses, as the USB stack
// returned it.
struct TakenInterface {
    UCHAR number = 0;
    UCHAR alternateSetting = 0;
    UCHAR interfaceClass = 0;
    UCHAR interfaceSubClass = 0;
    UCHAR interfaceProtocol = 0;
    TakenPipe bulkOut;
    TakenPipe bulkIn;

    bool operator==(const TakenInterface&) const = default;
};

struct CheckResult {
    Verdict verdict = Verdict::Unusable;
    // When the driver started.
    std::optional<TakenInterface> taken;
    // Why the driver will not start or why the file cannot be used, in one
    // or two sentences; for a driver fault, the platform's report.
    std::string reason;
    // The whole answer as bulkcom-check prints it.
    std::string text;
};

// Runs on the simulated platform as the caller has started it (afresh) and
// ends with its checks.
CheckResult CheckDevice(std::span<const UCHAR> descriptors);

// From here on the simulated kernel's bug check, which aborts, ends the
// process with the driver-fault status after saying so.
void ReportBugChecksAsDriverFaults();

}  // namespace bulkcom_check
