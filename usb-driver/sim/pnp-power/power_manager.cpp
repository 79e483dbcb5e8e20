#include "power_manager.h"

#include <algorithm>

#include "kernel/bugcheck.h"
#include "kernel/device_objects.h"
#include "kernel/irql.h"
#include "power_requests.h"

namespace sim {

namespace {

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state)
{
    switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
        return PowerActionSleep;
    case PowerSystemHibernate:
        return PowerActionHibernate;
    case PowerSystemShutdown:
        return PowerActionShutdown;
    default:
        return PowerActionNone;
    }
}

PowerRequestInProgress Send(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, POWER_STATE_TYPE type,
                            POWER_STATE state, POWER_ACTION action)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "the power manager");
    PowerRequestInProgress request;
    PIRP irp = AllocatePowerIrp(physicalDevice, minorFunction, type, state, action,
                                [request](IO_STATUS_BLOCK status) { request.Finish(status.Status); });
    SendPowerIrp(irp);
    return request;
}

}  // namespace

PowerRequestInProgress::PowerRequestInProgress() : state_(std::make_shared<State>()) {}

bool PowerRequestInProgress::Completed() const
{
    std::lock_guard lock(state_->lock);
    return state_->completed;
}

NTSTATUS PowerRequestInProgress::Wait() const
{
    std::unique_lock lock(state_->lock);
    state_->done.wait(lock, [this] { return state_->completed; });
    return state_->status;
}

void PowerRequestInProgress::Finish(NTSTATUS status) const
{
    {
        std::lock_guard lock(state_->lock);
        state_->completed = true;
        state_->status = status;
    }
    state_->done.notify_all();
}

void PowerManager::AddDeviceStack(PDEVICE_OBJECT physicalDevice)
{
    std::lock_guard lock(lock_);
    if (std::find(stacks_.begin(), stacks_.end(), physicalDevice) == stacks_.end()) {
        stacks_.push_back(physicalDevice);
    }
}

void PowerManager::RemoveDeviceStack(PDEVICE_OBJECT physicalDevice)
{
    std::lock_guard lock(lock_);
    std::erase(stacks_, physicalDevice);
}

std::vector<PDEVICE_OBJECT> PowerManager::Stacks() const
{
    std::lock_guard lock(lock_);
    std::vector<PDEVICE_OBJECT> live;
    std::copy_if(stacks_.begin(), stacks_.end(), std::back_inserter(live), IsLiveDeviceObject);
    return live;
}

NTSTATUS PowerManager::Sleep(SYSTEM_POWER_STATE state)
{
    if (state < PowerSystemSleeping1 || state > PowerSystemShutdown) {
        BugCheck("INVALID_PARAMETER", "the machine sleeps in S1 to S4 or shuts down in S5");
    }
    std::lock_guard transition(transition_);
    std::vector<PDEVICE_OBJECT> stacks = Stacks();
    for (size_t asked = 0; asked < stacks.size(); ++asked) {
        NTSTATUS status = SendSystemRequest(stacks[asked], IRP_MN_QUERY_POWER, state);
        if (!NT_SUCCESS(status)) {
            for (size_t i = 0; i <= asked; ++i) {
                SendSystemRequest(stacks[i], IRP_MN_SET_POWER, PowerSystemWorking);
            }
            return status;
        }
    }
    for (PDEVICE_OBJECT stack : stacks) {
        SendSystemRequest(stack, IRP_MN_SET_POWER, state);
    }
    std::lock_guard lock(lock_);
    state_ = state;
    return STATUS_SUCCESS;
}

NTSTATUS PowerManager::Resume()
{
    std::lock_guard transition(transition_);
    // Set-power cannot be refused: its status is only passed on.
    for (PDEVICE_OBJECT stack : Stacks()) {
        SendSystemRequest(stack, IRP_MN_SET_POWER, PowerSystemWorking);
    }
    std::lock_guard lock(lock_);
    state_ = PowerSystemWorking;
    return STATUS_SUCCESS;
}

SYSTEM_POWER_STATE PowerManager::SystemState() const
{
    std::lock_guard lock(lock_);
    return state_;
}

PowerRequestInProgress PowerManager::BeginSystemRequest(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction,
                                                        SYSTEM_POWER_STATE state)
{
    POWER_STATE power;
    power.SystemState = state;
    return Send(physicalDevice, minorFunction, SystemPowerState, power, ActionFor(state));
}

NTSTATUS PowerManager::SendSystemRequest(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, SYSTEM_POWER_STATE state)
{
    return BeginSystemRequest(physicalDevice, minorFunction, state).Wait();
}

PowerRequestInProgress PowerManager::BeginDeviceRequest(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state)
{
    POWER_STATE power;
    power.DeviceState = state;
    return Send(physicalDevice, IRP_MN_SET_POWER, DevicePowerState, power, PowerActionNone);
}

NTSTATUS PowerManager::SendDeviceRequest(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state)
{
    return BeginDeviceRequest(physicalDevice, state).Wait();
}

}  // namespace sim
