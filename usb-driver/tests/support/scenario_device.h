// What a whole-stack scenario may ask of the kernel it runs on, beyond the
// application API: the same scenarios run against the simulated kernel (host
// tests) and, built with mingw-w64, against Wine's kernel with the real
// bulkcom.sys under a test USB bus (tests/wine/).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#if defined(BULKCOM_SCENARIOS_ON_WINE)
#include <windows.h>
#else
#include "win32_api.h"
#endif

namespace bulkcom_test {

#if defined(BULKCOM_SCENARIOS_ON_WINE)
inline constexpr bool kOnWine = true;
#else
inline constexpr bool kOnWine = false;
#endif

// Where Wine's kernel differs from Windows in a way an application sees;
// scenarios name the difference where their expectation depends on it.
// CreateFile succeeds whatever status the driver completes the open with.
inline constexpr bool kWineCreateReportsNoRefusal = kOnWine;
// Wine sends the remove request right after the surprise removal, with the
// handle still open, and then answers requests on that handle itself.
inline constexpr bool kWineRemovesWithHandleOpen = kOnWine;
// Wine brings a handle's close to the driver only once its driver host has
// taken the next request, so an open made right after a close can reach the
// driver first and be refused unseen; and it sends a close for an open the
// driver refused, which the driver takes as the port's close. Scenarios let
// each close land (LetClosesLand) before they open again.
inline constexpr bool kWineClosesLate = kOnWine;

enum class Direction { Out, In };

// One request the device's bus driver received, as both buses log it.
struct BusRecord {
    enum Kind : std::uint32_t { Urb = 1, PortStatus = 2, ResetPort = 3, CyclePort = 4, Pnp = 5 };
    std::uint32_t kind = 0;
    std::uint32_t function = 0;  // URB function, or Plug and Play minor function
    std::uint32_t endpoint = 0;  // of a transfer or pipe reset
    std::uint32_t length = 0;
    std::uint32_t transferred = 0;
    std::int32_t status = 0;
};

inline constexpr std::uint32_t kUrbFunctionBulkTransfer = 0x0009;
inline constexpr std::uint32_t kUrbFunctionResetPipe = 0x001E;

// The USB device behind the port, and the kernel's view of it. Transfers
// are echoed: each OUT message comes back as one IN message.
class ScenarioDevice {
public:
    virtual ~ScenarioDevice() = default;

    // "\\.\COM7" and "COM7".
    virtual std::string PortPath() const = 0;
    virtual std::string PortName() const = 0;

    // The next bulk transfer in the direction fails with these statuses, is
    // never answered, or meets the device leaving. Arm before sending it:
    // on Wine no command reaches the bus while a transfer blocks.
    virtual void ArmFail(Direction direction, std::int32_t status, std::int32_t usbdStatus) = 0;
    virtual void ArmNeverAnswer(Direction direction) = 0;
    virtual void ArmUnplugOnArrival(Direction direction) = 0;

    // The device leaves; returns once the kernel has taken its COM name away.
    virtual void Unplug() = 0;
    // After an unplug armed on a transfer: returns once the kernel has taken
    // the COM name away.
    virtual void WaitUntilGone() = 0;
    // The device comes back (every handle to the old one closed); returns
    // once the port opens again.
    virtual void Replug() = 0;

    // The requests the bus received since the last call.
    virtual std::vector<BusRecord> NewRequests() = 0;
    // Returns once every handle closed so far has been closed in the driver.
    virtual void LetClosesLand() = 0;
    // The port names listed under HARDWARE\DEVICEMAP\SERIALCOMM.
    virtual std::vector<std::string> SerialCommPorts() = 0;
};

// Plugged, started and named COM7, on the kernel the scenarios are built for.
std::unique_ptr<ScenarioDevice> MakeScenarioDevice();

}  // namespace bulkcom_test
