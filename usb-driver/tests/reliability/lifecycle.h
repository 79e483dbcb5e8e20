// One whole life of the port, as the fault sweep runs it again and again
// with one platform routine failing: plug in, enumerate, open, settings,
// round trips, purge, rebalance, sleep and resume, the recovery paths
// (stalled read and write, a read that times out, a write the device
// ignores), close, a cancelled query-remove, and an ending by unplug or by
// an orderly removal.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pnp-power/pnp_manager.h"
#include "usb/scripted_device.h"
#include "usb/usb_bus.h"
#include "win32_api.h"

namespace bulkcom_test {

enum class Ending { Unplug, Removal };

class Lifecycle {
public:
    explicit Lifecycle(sim::CompletionMode mode);
    // Deletes the physical device and unloads the driver.
    ~Lifecycle();
    Lifecycle(const Lifecycle&) = delete;
    Lifecycle& operator=(const Lifecycle&) = delete;

    // Runs every step and the ending. A step that reports success must have
    // done what a run without faults does; a step may report a failure only
    // once a fault has been injected. Anything else fails the test.
    void Run(Ending ending);

private:
    enum class Result { AsWithoutFaults, Failed, WrongSuccess };

    void Step(const std::string& name, const std::function<Result()>& step);
    Result Enumerate();
    Result Open();
    Result Settings();
    Result RoundTrip(UCHAR seed);
    Result StalledWrite();
    Result StalledRead();
    Result TimedOutRead();
    Result IgnoredWrite();
    Result QueryRemoveAndCancel();
    Result SleepAndResume();
    Result Close();
    // A device request for D0 that could not even be asked for leaves the
    // device out of D0 until the next system power change.
    bool StuckOutOfD0() const;
    void End(Ending ending);
    // A read that succeeded must have returned the oldest reply still
    // queued at the device, or a later one when earlier reads failed.
    bool ReadBackInOrder(const std::vector<UCHAR>& received);
    Result UnexpectedData(const std::vector<UCHAR>& received);

    std::shared_ptr<sim::ScriptedDevice> device_;
    std::unique_ptr<sim::UsbBus> bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
    PDEVICE_OBJECT pdo_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::deque<std::vector<UCHAR>> replies_;
};

}  // namespace bulkcom_test
