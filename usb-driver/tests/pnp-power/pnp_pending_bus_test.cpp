// Plug and Play requests through a bus driver that pends them and ends them
// later from another thread: start, capabilities, stop, restart, the
// cancelled queries, surprise removal and removal reach the same outcomes as
// through a bus that ends them at once, in both USB completion modes.

#include <algorithm>
#include <mutex>
#include <tuple>

#include "kernel/device_interfaces.h"
#include "kernel/hooks.h"
#include "kernel/object_namespace.h"
#include "support/device_under_test.h"
#include "support/port_access.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"
#include "usb/scripted_device.h"

namespace bulkcom_test {
namespace {

using sim::CompletionMode;

// What IoCallDriver gave back for each Plug and Play request that reached
// the physical device.
class PnpReturnWatch {
public:
    explicit PnpReturnWatch(PDEVICE_OBJECT pdo)
    {
        sim::Hooks().requestDispatched = [this, pdo](PDEVICE_OBJECT device, const IO_STACK_LOCATION& stack,
                                                     NTSTATUS returned) {
            if (device == pdo && stack.MajorFunction == IRP_MJ_PNP) {
                std::lock_guard lock(lock_);
                returned_.push_back(returned);
            }
        };
    }
    ~PnpReturnWatch() { sim::Hooks().requestDispatched = nullptr; }
    PnpReturnWatch(const PnpReturnWatch&) = delete;
    PnpReturnWatch& operator=(const PnpReturnWatch&) = delete;

    size_t Count()
    {
        std::lock_guard lock(lock_);
        return returned_.size();
    }
    bool AllPending()
    {
        std::lock_guard lock(lock_);
        return std::all_of(returned_.begin(), returned_.end(), [](NTSTATUS s) { return s == STATUS_PENDING; });
    }
    bool NonePending()
    {
        std::lock_guard lock(lock_);
        return std::none_of(returned_.begin(), returned_.end(), [](NTSTATUS s) { return s == STATUS_PENDING; });
    }

private:
    std::mutex lock_;
    std::vector<NTSTATUS> returned_;
};

bool PassedDown(const std::vector<sim::UsbRequestRecord>& sent, UCHAR minor)
{
    return std::any_of(sent.begin(), sent.end(), [minor](const auto& r) {
        return r.kind == sim::UsbRequestKind::Pnp && r.minorFunction == minor && r.completed;
    });
}

// The USB completion mode, and whether the bus pends Plug and Play requests.
class PnpPendingBusTest : public SimTest, public ::testing::WithParamInterface<std::tuple<CompletionMode, bool>> {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        device_ =
            std::make_unique<UsbDeviceUnderTest>(std::make_shared<sim::ScriptedDevice>(), std::get<0>(GetParam()));
        device_->Bus().PendPnpRequests(device_->Pdo(), Pending());
        watch_ = std::make_unique<PnpReturnWatch>(device_->Pdo());
    }
    void TearDown() override
    {
        device_.reset();
        EXPECT_TRUE(Pending() ? watch_->AllPending() : watch_->NonePending());
        EXPECT_GT(watch_->Count(), 0u);
        watch_.reset();
        SimTest::TearDown();
    }
    bool Pending() const { return std::get<1>(GetParam()); }
    NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES& record)
    {
        record = DEVICE_CAPABILITIES{};
        record.Size = sizeof(DEVICE_CAPABILITIES);
        record.Version = 1;
        return device_->Pnp().SendPnp(device_->Pdo(), IRP_MN_QUERY_CAPABILITIES, [&record](IO_STACK_LOCATION& stack) {
            stack.Parameters.DeviceCapabilities.Capabilities = &record;
        });
    }

    std::unique_ptr<UsbDeviceUnderTest> device_;
    std::unique_ptr<PnpReturnWatch> watch_;
};

TEST_P(PnpPendingBusTest, StartCapabilitiesStopRestartAndRemoval)
{
    ASSERT_EQ(device_->Add(), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = device_->Extension();
    ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(e->Started);
    EXPECT_NE(e->BulkInPipe, nullptr);
    EXPECT_TRUE(PassedDown(device_->NewRequests(), IRP_MN_START_DEVICE));

    DEVICE_CAPABILITIES record;
    ASSERT_EQ(QueryCapabilities(record), STATUS_SUCCESS);
    EXPECT_EQ(record.Removable, 0u) << "adjusted on the way back up";
    EXPECT_EQ(record.SurpriseRemovalOK, 1u);
    EXPECT_EQ(record.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(record.DeviceState[PowerSystemSleeping1], PowerDeviceD3);
    EXPECT_EQ(record.SystemWake, PowerSystemSleeping3) << "other fields as the bus reported";

    ASSERT_EQ(device_->SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(device_->SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(e->Started);
    EXPECT_EQ(e->BulkInPipe, nullptr);
    std::vector<sim::UsbRequestRecord> sent = device_->NewRequests();
    EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const auto& r) { return r.deconfigures; }));
    EXPECT_TRUE(PassedDown(sent, IRP_MN_STOP_DEVICE));

    ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(e->Started);
    EXPECT_NE(e->BulkInPipe, nullptr);
    HANDLE port = OpenComPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(port));

    ASSERT_EQ(device_->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(device_->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(device_->Pdo()->AttachedDevice, nullptr);
    EXPECT_TRUE(sim::DeviceInterfaces::Enabled().empty());
    EXPECT_TRUE(sim::Namespace::Links().empty());
    EXPECT_TRUE(PassedDown(device_->NewRequests(), IRP_MN_REMOVE_DEVICE));
}

TEST_P(PnpPendingBusTest, CancelledQueriesAndSurpriseRemoval)
{
    device_->AddAndStart();
    PDEVICE_EXTENSION e = device_->Extension();

    ASSERT_EQ(device_->SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(e->StopPending);
    EXPECT_EQ(device_->SendPnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(e->StopPending);
    ASSERT_EQ(device_->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(e->RemovePending);
    EXPECT_EQ(device_->SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(e->RemovePending);
    EXPECT_TRUE(e->Started);
    EXPECT_EQ(device_->SendPnp(IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED) << "the bus's answer stands";

    HANDLE port = OpenComPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(device_->SendPnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_TRUE(e->Removed);
    EXPECT_FALSE(sim::Namespace::LinkTarget(u"\\DosDevices\\COM5").has_value());
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(device_->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(device_->Pdo()->AttachedDevice, nullptr);
    EXPECT_TRUE(PassedDown(device_->NewRequests(), IRP_MN_REMOVE_DEVICE));
}

std::string ParamName(const ::testing::TestParamInfo<std::tuple<CompletionMode, bool>>& info)
{
    std::string mode = std::get<0>(info.param) == CompletionMode::Synchronous ? "Synchronous" : "ControllerThread";
    return mode + (std::get<1>(info.param) ? "BusPends" : "BusEndsAtOnce");
}

INSTANTIATE_TEST_SUITE_P(Pnp, PnpPendingBusTest,
                         ::testing::Combine(::testing::Values(CompletionMode::Synchronous,
                                                              CompletionMode::ControllerThread),
                                            ::testing::Bool()),
                         ParamName);

// The stand-in bus pends too: the requests a device that was never started
// gets end the same way.
class StandInBusPendingTest : public SimTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StandInBusPendingTest, CapabilitiesQueryAndRemovalOfADeviceNeverStarted)
{
    DeviceUnderTest device;
    device.Bus().PendPnpRequests(device.Pdo(), GetParam());
    {
        PnpReturnWatch watch(device.Pdo());
        ASSERT_EQ(device.Add(), STATUS_SUCCESS);
        DEVICE_CAPABILITIES record{};
        record.Size = sizeof(DEVICE_CAPABILITIES);
        record.Version = 1;
        ASSERT_EQ(device.Pnp().SendPnp(device.Pdo(), IRP_MN_QUERY_CAPABILITIES,
                                       [&record](IO_STACK_LOCATION& stack) {
                                           stack.Parameters.DeviceCapabilities.Capabilities = &record;
                                       }),
                  STATUS_SUCCESS);
        EXPECT_EQ(record.Removable, 1u) << "untouched before any start";
        EXPECT_EQ(device.Pnp().SendPnp(device.Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(device.Remove(), STATUS_SUCCESS);
        EXPECT_EQ(device.Pdo()->AttachedDevice, nullptr);
        std::vector<sim::ReceivedRequest> received = device.Bus().Received(device.Pdo());
        EXPECT_EQ(watch.Count(), static_cast<size_t>(std::count_if(received.begin(), received.end(), [](const auto& r) {
                      return r.majorFunction == IRP_MJ_PNP;
                  })));
        EXPECT_TRUE(GetParam() ? watch.AllPending() : watch.NonePending());
    }
}

INSTANTIATE_TEST_SUITE_P(Pnp, StandInBusPendingTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "BusPends" : "BusEndsAtOnce"); });

}  // namespace
}  // namespace bulkcom_test
