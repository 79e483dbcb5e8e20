// The power manager's system side: the machine sleeps, resumes and shuts
// down, and every device stack it knows hears of it through query-power and
// set-power requests sent to the top of the stack, one at a time at
// PASSIVE_LEVEL. Tests may also send single system or device requests.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace sim {

// A power request on its way; the status is the one its completion ended with.
class PowerRequestInProgress {
public:
    PowerRequestInProgress();
    bool Completed() const;
    NTSTATUS Wait() const;
    // Called once, by the request's completion.
    void Finish(NTSTATUS status) const;

private:
    struct State {
        std::mutex lock;
        std::condition_variable done;
        bool completed = false;
        NTSTATUS status = STATUS_PENDING;
    };
    std::shared_ptr<State> state_;
};

class PowerManager {
public:
    void AddDeviceStack(PDEVICE_OBJECT physicalDevice);
    void RemoveDeviceStack(PDEVICE_OBJECT physicalDevice);

    // Sleep (S1 to S4) or shutdown (S5): query-power to every stack, then
    // set-power. When a stack refuses the query, the stacks already asked
    // get set-power for the working state and the machine stays awake with
    // the refusal returned.
    NTSTATUS Sleep(SYSTEM_POWER_STATE state);
    // Set-power for the working state to every stack.
    NTSTATUS Resume();
    SYSTEM_POWER_STATE SystemState() const;
    // Held for the whole of a system power change (Sleep, Resume): Windows
    // keeps the device tree still meanwhile, so Plug and Play work a bus
    // reports during the change waits for its end.
    std::mutex& TransitionLock() { return transition_; }

    // One system request to the top of the device's stack.
    PowerRequestInProgress BeginSystemRequest(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction,
                                              SYSTEM_POWER_STATE state);
    NTSTATUS SendSystemRequest(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, SYSTEM_POWER_STATE state);
    // A device set-power request for the stack, as PoRequestPowerIrp builds
    // one for a driver.
    PowerRequestInProgress BeginDeviceRequest(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state);
    NTSTATUS SendDeviceRequest(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state);

private:
    // The stacks still there, in the order they were added.
    std::vector<PDEVICE_OBJECT> Stacks() const;

    mutable std::mutex lock_;
    std::mutex transition_;
    std::vector<PDEVICE_OBJECT> stacks_;
    SYSTEM_POWER_STATE state_ = PowerSystemWorking;
};

}  // namespace sim
