// Power requests on every generation the driver tells apart, with the bus
// completing in either context: system requests held until their device
// request finishes (or let go at once on the way back to work from Vista
// on), device requests moving the power gate, the port check on the return
// to D0, and what a failed device request or PoRequestPowerIrp leaves.

#include <algorithm>
#include <thread>
#include <vector>

#include "kernel/fault_injection.h"
#include "kernel/registry.h"
#include "pnp-power/power_requests.h"
#include "pnp-power/power_watchdog.h"
#include "support/port_access.h"
#include "support/power_cases.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"
#include "support/wait_watcher.h"
#include "usb/scripted_device.h"

namespace bulkcom_test {
namespace {

using sim::UsbRequestKind;
using sim::UsbRequestRecord;

bool IsSetPower(const UsbRequestRecord& record, POWER_STATE_TYPE type, ULONG state)
{
    return record.kind == UsbRequestKind::Power && record.minorFunction == IRP_MN_SET_POWER &&
           record.powerType == type && record.powerState == state;
}

// Where the first record that matches stands, or the size when none does.
template <typename Matches>
size_t IndexOf(const std::vector<UsbRequestRecord>& records, Matches matches)
{
    return static_cast<size_t>(std::find_if(records.begin(), records.end(), matches) - records.begin());
}

size_t IndexOfSetPower(const std::vector<UsbRequestRecord>& records, POWER_STATE_TYPE type, ULONG state)
{
    return IndexOf(records, [&](const UsbRequestRecord& r) { return IsSetPower(r, type, state); });
}

std::vector<UsbRequestKind> KindsAfter(const std::vector<UsbRequestRecord>& records, size_t index)
{
    std::vector<UsbRequestKind> kinds;
    for (size_t i = index + 1; i < records.size(); ++i) {
        kinds.push_back(records[i].kind);
    }
    return kinds;
}

class PowerRequestsTest : public SimTest, public ::testing::WithParamInterface<PowerCase> {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::SetWindowsVersion(GetParam().version);
        // Nothing here may keep a power request for long.
        sim::SetPowerWatchdogLimit(std::chrono::seconds(30));
        scripted_ = std::make_shared<sim::ScriptedDevice>();
        device_ = std::make_unique<UsbDeviceUnderTest>(scripted_, GetParam().mode);
        device_->AddAndStart();
        ASSERT_EQ(Extension()->OsClass, GetParam().osClass);
        device_->NewRequests();
    }
    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
        device_->Bus().ReleasePowerRequests(device_->Pdo());
        device_->Bus().Flush();
        device_.reset();
        SimTest::TearDown();
    }

    PDEVICE_EXTENSION Extension() const { return device_->Extension(); }
    sim::UsbBus& Bus() { return device_->Bus(); }
    sim::PowerManager& Power() { return device_->Pnp().Power(); }
    bool EarlyResume() const { return GetParam().osClass >= 2; }
    bool CheckAtPassiveLevel() const { return GetParam().mode == sim::CompletionMode::Synchronous; }

    NTSTATUS SetSystem(SYSTEM_POWER_STATE state)
    {
        NTSTATUS status = Power().SendSystemRequest(device_->Pdo(), IRP_MN_SET_POWER, state);
        // What completes beside the system request (an early resume) is over too.
        Bus().Flush();
        return status;
    }
    NTSTATUS SetDevice(DEVICE_POWER_STATE state) { return Power().SendDeviceRequest(device_->Pdo(), state); }
    void HoldDevicePower(DEVICE_POWER_STATE state)
    {
        Bus().HoldPowerRequests(device_->Pdo(), [state](const UsbRequestRecord& record) {
            return IsSetPower(record, DevicePowerState, state);
        });
    }

    // The gate and the recorded state agree, and no path kept the semaphore
    // or a reference.
    void ExpectSettled(DEVICE_POWER_STATE state)
    {
        PDEVICE_EXTENSION e = Extension();
        bool d0 = state == PowerDeviceD0;
        EXPECT_EQ(e->DevicePowerState, state);
        EXPECT_EQ(e->PoweredDown != 0, !d0);
        EXPECT_EQ(KeReadStateEvent(&e->PowerUpEvent) != 0, d0);
        EXPECT_EQ(KeReadStateSemaphore(&e->IoSemaphore), 1);
        EXPECT_EQ(e->OutstandingIo, 1);
        EXPECT_EQ(e->PendingSystemPowerIrp, nullptr);
    }

    std::vector<sim::PowerStateChange> ChangesOfTheDriver() const
    {
        std::vector<sim::PowerStateChange> changes = sim::PowerStateChanges();
        std::erase_if(changes, [this](const auto& change) { return change.device != device_->Fdo(); });
        return changes;
    }

    std::shared_ptr<sim::ScriptedDevice> scripted_;
    std::unique_ptr<UsbDeviceUnderTest> device_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_P(PowerRequestsTest, ASystemRequestForTheCurrentDeviceStateGoesDownAtOnce)
{
    EXPECT_EQ(SetSystem(PowerSystemWorking), STATUS_SUCCESS);
    std::vector<UsbRequestRecord> sent = device_->NewRequests();
    ASSERT_EQ(sent.size(), 1u) << "no device request asked for";
    EXPECT_TRUE(IsSetPower(sent[0], SystemPowerState, PowerSystemWorking));

    ASSERT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    device_->NewRequests();
    EXPECT_EQ(SetSystem(PowerSystemHibernate), STATUS_SUCCESS) << "hibernation maps to the D3 the device is in";
    sent = device_->NewRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(IsSetPower(sent[0], SystemPowerState, PowerSystemHibernate));
    ExpectSettled(PowerDeviceD3);
}

TEST_P(PowerRequestsTest, SleepHoldsTheSystemRequestUntilTheDeviceRequestHasFinished)
{
    HoldDevicePower(PowerDeviceD3);
    sim::PowerRequestInProgress sleep =
        Power().BeginSystemRequest(device_->Pdo(), IRP_MN_SET_POWER, PowerSystemSleeping3);
    EXPECT_FALSE(sleep.Completed());
    EXPECT_NE(Extension()->PendingSystemPowerIrp, nullptr);
    EXPECT_TRUE(Extension()->PoweredDown) << "recorded before the bus saw the device request";
    std::vector<UsbRequestRecord> sent = Bus().Requests(device_->Pdo());
    EXPECT_LT(IndexOfSetPower(sent, DevicePowerState, PowerDeviceD3), sent.size());
    EXPECT_EQ(IndexOfSetPower(sent, SystemPowerState, PowerSystemSleeping3), sent.size()) << "still held";

    Bus().ReleasePowerRequests(device_->Pdo());
    EXPECT_EQ(sleep.Wait(), STATUS_SUCCESS);
    Bus().Flush();
    sent = Bus().Requests(device_->Pdo());
    size_t deviceDown = IndexOfSetPower(sent, DevicePowerState, PowerDeviceD3);
    size_t systemDown = IndexOfSetPower(sent, SystemPowerState, PowerSystemSleeping3);
    ASSERT_LT(systemDown, sent.size());
    EXPECT_LT(deviceDown, systemDown);
    ExpectSettled(PowerDeviceD3);
    ASSERT_FALSE(ChangesOfTheDriver().empty());
    EXPECT_EQ(ChangesOfTheDriver().back().state.DeviceState, PowerDeviceD3);
}

TEST_P(PowerRequestsTest, TheReturnToWorkGoesOnAtOnceFromVistaOnAndWaitsForTheDeviceOnXp)
{
    ASSERT_EQ(SetSystem(PowerSystemSleeping3), STATUS_SUCCESS);
    HoldDevicePower(PowerDeviceD0);
    sim::PowerRequestInProgress resume =
        Power().BeginSystemRequest(device_->Pdo(), IRP_MN_SET_POWER, PowerSystemWorking);
    if (EarlyResume()) {
        EXPECT_EQ(resume.Wait(), STATUS_SUCCESS) << "while the device request is still with the bus";
        EXPECT_TRUE(Extension()->PoweredDown);
    } else {
        EXPECT_FALSE(resume.Completed());
        EXPECT_NE(Extension()->PendingSystemPowerIrp, nullptr);
    }
    Bus().ReleasePowerRequests(device_->Pdo());
    EXPECT_EQ(resume.Wait(), STATUS_SUCCESS);
    Bus().Flush();
    ExpectSettled(PowerDeviceD0);
}

TEST_P(PowerRequestsTest, AFailedPoRequestPowerIrpStillPassesTheSystemRequestOn)
{
    sim::Faults::FailNthCall(sim::Fault::RequestPowerIrp, 1);
    EXPECT_EQ(SetSystem(PowerSystemSleeping3), STATUS_SUCCESS);
    ExpectSettled(PowerDeviceD0);
    std::vector<UsbRequestRecord> sent = device_->NewRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(IsSetPower(sent[0], SystemPowerState, PowerSystemSleeping3));

    ASSERT_EQ(SetSystem(PowerSystemSleeping3), STATUS_SUCCESS);
    sim::Faults::FailNthCall(sim::Fault::RequestPowerIrp, 1);
    EXPECT_EQ(SetSystem(PowerSystemWorking), STATUS_SUCCESS);
    ExpectSettled(PowerDeviceD3);
}

TEST_P(PowerRequestsTest, ADeviceRequestForTheCurrentStateChangesNothing)
{
    EXPECT_EQ(SetDevice(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(ChangesOfTheDriver().empty()) << "PoSetPowerState is not called";
    std::vector<UsbRequestRecord> sent = device_->NewRequests();
    ASSERT_EQ(sent.size(), 1u);
    ExpectSettled(PowerDeviceD0);
}

TEST_P(PowerRequestsTest, PowerUpHoldsPortRequestsUntilThePortCheckAndTheGate)
{
    port_ = OpenComPort();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ASSERT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    scripted_->SendMessage(std::vector<UCHAR>{1, 2, 3});
    HoldDevicePower(PowerDeviceD0);
    sim::PowerRequestInProgress powerUp = Power().BeginDeviceRequest(device_->Pdo(), PowerDeviceD0);
    EXPECT_EQ(KeReadStateSemaphore(&Extension()->IoSemaphore), 0) << "held while the bus powers the device up";

    WaitWatcher watcher;
    DWORD read = 0;
    BOOL ok = FALSE;
    std::thread reader([&] {
        std::vector<UCHAR> buffer(8);
        ok = ReadFile(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr);
    });
    watcher.WaitUntilBlockedOn(&Extension()->PowerUpEvent);
    std::vector<UsbRequestRecord> sent = Bus().Requests(device_->Pdo());
    size_t powerUpRecord = IndexOfSetPower(sent, DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(powerUpRecord, sent.size() - 1) << "nothing sent for the read yet";

    Bus().ReleasePowerRequests(device_->Pdo());
    EXPECT_EQ(powerUp.Wait(), STATUS_SUCCESS);
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(read, 3u);
    sent = Bus().Requests(device_->Pdo());
    // The port check of the power-up runs only at PASSIVE_LEVEL; the read's
    // own check and its transfer follow it.
    std::vector<UsbRequestKind> expected = {UsbRequestKind::GetPortStatus, UsbRequestKind::SubmitUrb};
    if (CheckAtPassiveLevel()) {
        expected.insert(expected.begin(), UsbRequestKind::GetPortStatus);
    }
    EXPECT_EQ(KindsAfter(sent, powerUpRecord), expected);
    ExpectSettled(PowerDeviceD0);
}

TEST_P(PowerRequestsTest, AFailedPowerUpLeavesTheGateClosedAndTheNextRequestStillComes)
{
    ASSERT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    Bus().FailRequests(
        device_->Pdo(),
        [](const UsbRequestRecord& record) { return IsSetPower(record, DevicePowerState, PowerDeviceD0); },
        STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(SetDevice(PowerDeviceD0), STATUS_DEVICE_POWER_FAILURE);
    ExpectSettled(PowerDeviceD3);

    Bus().ClearFailures(device_->Pdo());
    EXPECT_EQ(SetDevice(PowerDeviceD0), STATUS_SUCCESS);
    ExpectSettled(PowerDeviceD0);
}

TEST_P(PowerRequestsTest, FromD3ToD2OnlyTheStateIsRecorded)
{
    ASSERT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    device_->NewRequests();
    EXPECT_EQ(SetDevice(PowerDeviceD2), STATUS_SUCCESS);
    ExpectSettled(PowerDeviceD2);
    ASSERT_FALSE(ChangesOfTheDriver().empty());
    EXPECT_EQ(ChangesOfTheDriver().back().state.DeviceState, PowerDeviceD2);
    std::vector<UsbRequestRecord> sent = device_->NewRequests();
    ASSERT_EQ(sent.size(), 1u) << "no port check between two states out of D0";
}

TEST_P(PowerRequestsTest, ThePortIsCycledOnResumeWhenTheBusReportsItNotConnected)
{
    ASSERT_EQ(Power().Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    PDEVICE_OBJECT before = device_->Pdo();
    Bus().SetPortStatus(before, USBD_PORT_ENABLED);
    size_t seen = Bus().RequestCount(before);
    ASSERT_EQ(Power().Resume(), STATUS_SUCCESS);
    Bus().Flush();
    device_->Pnp().WaitUntilIdle();
    std::vector<UsbRequestRecord> sent = Bus().Requests(before, seen);
    size_t check = IndexOf(sent, [](const auto& r) { return r.kind == UsbRequestKind::GetPortStatus; });
    size_t cycle = IndexOf(sent, [](const auto& r) { return r.kind == UsbRequestKind::CyclePort; });
    size_t removal = IndexOf(
        sent, [](const auto& r) { return r.kind == UsbRequestKind::Pnp && r.minorFunction == IRP_MN_REMOVE_DEVICE; });
    if (CheckAtPassiveLevel()) {
        EXPECT_LT(check, cycle);
        EXPECT_LT(cycle, removal) << "a cycled port leaves Plug and Play as an unplugged device does";
        EXPECT_LT(removal, sent.size());
        ASSERT_NE(device_->Pdo(), before) << "and the device enumerates again";
        EXPECT_TRUE(device_->Extension()->Started);
        EXPECT_EQ(sim::Registry::DeviceMapValueNames(u"SERIALCOMM").size(), 1u) << "under its one port name";
    } else {
        EXPECT_EQ(check, sent.size()) << "nothing can be asked at DISPATCH_LEVEL";
        EXPECT_EQ(cycle, sent.size());
        EXPECT_EQ(device_->Pdo(), before);
        ExpectSettled(PowerDeviceD0);
        Bus().SetPortStatus(before, std::nullopt);
    }
}

TEST_P(PowerRequestsTest, QueriesAndOtherPowerRequestsGoDownUntouched)
{
    for (UCHAR minor : {UCHAR{IRP_MN_QUERY_POWER}, UCHAR{IRP_MN_POWER_SEQUENCE}}) {
        for (SYSTEM_POWER_STATE state : {PowerSystemSleeping3, PowerSystemShutdown}) {
            EXPECT_EQ(Power().SendSystemRequest(device_->Pdo(), minor, state),
                      minor == IRP_MN_QUERY_POWER ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
        }
    }
    EXPECT_EQ(device_->NewRequests().size(), 4u);
    ExpectSettled(PowerDeviceD0);
}

INSTANTIATE_TEST_SUITE_P(Power, PowerRequestsTest, ::testing::ValuesIn(AllPowerCases()), PowerCaseName);

}  // namespace
}  // namespace bulkcom_test
