// Plug and Play requests: every flag transition, stop and restart, the
// capabilities reported upward, removal with and without surprise, and
// system control requests passing through.

#include <algorithm>

#include "kernel/device_interfaces.h"
#include "kernel/fault_injection.h"
#include "kernel/object_namespace.h"
#include "kernel/registry.h"
#include "support/device_under_test.h"
#include "support/port_access.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"
#include "usb/descriptor_variants.h"
#include "usb/scripted_device.h"

namespace bulkcom_test {
namespace {

using sim::UsbRequestKind;

struct Flags {
    bool started, startSeen, removed, removePending, stopPending;
    bool operator==(const Flags&) const = default;
};

Flags FlagsOf(PDEVICE_EXTENSION e)
{
    return {e->Started != 0, e->StartSeen != 0, e->Removed != 0, e->RemovePending != 0, e->StopPending != 0};
}

std::ostream& operator<<(std::ostream& out, const Flags& f)
{
    return out << "{started " << f.started << ", seen " << f.startSeen << ", removed " << f.removed
               << ", remove pending " << f.removePending << ", stop pending " << f.stopPending << "}";
}

bool PassedDown(const std::vector<sim::UsbRequestRecord>& sent, UCHAR minor)
{
    return std::any_of(sent.begin(), sent.end(),
                       [minor](const auto& r) { return r.kind == UsbRequestKind::Pnp && r.minorFunction == minor; });
}

class PnpRequestsTest : public SimTest {
protected:
    void TearDown() override
    {
        device_.reset();
        SimTest::TearDown();
    }

    void StartDevice(sim::ConfigurationLayout layout = sim::BulkPairConfiguration())
    {
        device_ = std::make_unique<UsbDeviceUnderTest>(std::make_shared<sim::ScriptedDevice>(layout));
        ASSERT_EQ(device_->Add(), STATUS_SUCCESS);
        EXPECT_EQ(FlagsOf(device_->Extension()), (Flags{false, false, false, false, false}));
        ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
        device_->NewRequests();
    }

    std::unique_ptr<UsbDeviceUnderTest> device_;
};

TEST_F(PnpRequestsTest, QueriesAndCancelsOfAStartedDeviceMoveItsFlags)
{
    StartDevice();
    PDEVICE_EXTENSION e = device_->Extension();
    EXPECT_EQ(FlagsOf(e), (Flags{true, true, false, false, false}));

    struct Step {
        UCHAR minor;
        Flags after;
    };
    const Step steps[] = {
        {IRP_MN_QUERY_STOP_DEVICE, {true, true, false, false, true}},
        {IRP_MN_CANCEL_STOP_DEVICE, {true, true, false, false, false}},
        {IRP_MN_QUERY_REMOVE_DEVICE, {true, true, false, true, false}},
        {IRP_MN_CANCEL_REMOVE_DEVICE, {true, true, false, false, false}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE("minor function " + std::to_string(step.minor));
        EXPECT_EQ(device_->SendPnp(step.minor), STATUS_SUCCESS);
        EXPECT_EQ(FlagsOf(e), step.after);
        EXPECT_TRUE(PassedDown(device_->NewRequests(), step.minor));
        EXPECT_EQ(e->OutstandingIo, 1);
    }

    // While a query is accepted, port requests are refused; after the
    // cancel they are served again.
    ASSERT_EQ(device_->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(OpenComPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_COMMAND});
    ASSERT_EQ(device_->SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    HANDLE port = OpenComPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PnpRequestsTest, QueriesAndCancelsOfADeviceNotStartedArePassedDownUntouched)
{
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    for (UCHAR minor : {UCHAR{IRP_MN_QUERY_REMOVE_DEVICE}, UCHAR{IRP_MN_CANCEL_REMOVE_DEVICE},
                        UCHAR{IRP_MN_QUERY_STOP_DEVICE}, UCHAR{IRP_MN_CANCEL_STOP_DEVICE}}) {
        // The stand-in bus keeps the preset status of a query, and succeeds
        // a cancel as any bus does: the driver added nothing.
        bool cancel = minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE;
        EXPECT_EQ(device.Pnp().SendPnp(device.Pdo(), minor), cancel ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED)
            << "minor " << int{minor};
        EXPECT_EQ(FlagsOf(device.Extension()), (Flags{false, false, false, false, false}));
        EXPECT_EQ(device.Extension()->OutstandingIo, 1);
    }
}

TEST_F(PnpRequestsTest, AFailedStartLeavesTheDeviceUnstartedAndNotRemoved)
{
    // Lower drivers that fail the start: the configuration is not even tried.
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    device.Extension()->Removed = TRUE;
    EXPECT_EQ(device.Pnp().SendPnp(device.Pdo(), IRP_MN_START_DEVICE), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(FlagsOf(device.Extension()), (Flags{false, true, false, false, false}));
    EXPECT_EQ(device.Bus().Received(device.Pdo()).size(), 2u) << "the capabilities query and the start only";
    device.Extension()->StartSeen = FALSE;

    // A configuration the driver cannot use.
    device_ =
        std::make_unique<UsbDeviceUnderTest>(std::make_shared<sim::ScriptedDevice>(sim::ThreeInterfaceConfiguration()));
    ASSERT_EQ(device_->Add(), STATUS_SUCCESS);
    EXPECT_EQ(device_->Start(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(FlagsOf(device_->Extension()), (Flags{false, true, false, false, false}));
    EXPECT_EQ(OpenComPort(), INVALID_HANDLE_VALUE);
}

TEST_F(PnpRequestsTest, StopUnconfiguresAndANewStartConfiguresAgain)
{
    StartDevice();
    PDEVICE_EXTENSION e = device_->Extension();
    ASSERT_EQ(device_->SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(device_->SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(FlagsOf(e), (Flags{false, false, false, false, false}));
    EXPECT_EQ(e->BulkInPipe, nullptr);
    EXPECT_EQ(e->DeviceDescriptor, nullptr);
    std::vector<sim::UsbRequestRecord> sent = device_->NewRequests();
    EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const auto& r) { return r.deconfigures; }));
    EXPECT_TRUE(PassedDown(sent, IRP_MN_STOP_DEVICE));
    EXPECT_TRUE(sim::Namespace::LinkTarget(u"\\DosDevices\\COM5").has_value()) << "a stop keeps the port name";

    EXPECT_EQ(device_->Start(), STATUS_SUCCESS);
    EXPECT_EQ(FlagsOf(e), (Flags{true, true, false, false, false}));
    EXPECT_NE(e->BulkInPipe, nullptr);
}

TEST_F(PnpRequestsTest, AStopWhoseUnconfigurationFailsStillSucceedsAndTheNextStartConfiguresAfresh)
{
    StartDevice();
    device_->Bus().FailRequests(
        device_->Pdo(), [](const sim::UsbRequestRecord& r) { return r.deconfigures; }, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(device_->SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(device_->SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS) << "a stop may not fail";
    EXPECT_TRUE(PassedDown(device_->NewRequests(), IRP_MN_STOP_DEVICE));
    EXPECT_EQ(FlagsOf(device_->Extension()), (Flags{false, false, false, false, false}));
    EXPECT_EQ(device_->Extension()->BulkInPipe, nullptr);
    EXPECT_EQ(device_->Extension()->InterfaceInfo[0], nullptr) << "the copies went all the same";
    device_->Bus().ClearFailures(device_->Pdo());

    ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
    HANDLE port = OpenComPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(device_->Extension()->OutstandingIo, 1);
}

TEST_F(PnpRequestsTest, CapabilitiesAreAdjustedOnlyOnceAStartHasBeenSeen)
{
    auto query = [&](DEVICE_CAPABILITIES* record) {
        record->Size = sizeof(DEVICE_CAPABILITIES);
        record->Version = 1;
        return device_->Pnp().SendPnp(device_->Pdo(), IRP_MN_QUERY_CAPABILITIES, [record](IO_STACK_LOCATION& stack) {
            stack.Parameters.DeviceCapabilities.Capabilities = record;
        });
    };
    device_ =
        std::make_unique<UsbDeviceUnderTest>(std::make_shared<sim::ScriptedDevice>(sim::ThreeInterfaceConfiguration()));
    ASSERT_EQ(device_->Add(), STATUS_SUCCESS);
    DEVICE_CAPABILITIES record{};
    ASSERT_EQ(query(&record), STATUS_SUCCESS);
    EXPECT_EQ(record.Removable, 1u) << "untouched before any start";
    EXPECT_EQ(record.SurpriseRemovalOK, 0u);
    EXPECT_EQ(record.DeviceState[PowerSystemSleeping1], PowerDeviceD2);

    EXPECT_EQ(device_->Start(), STATUS_NOT_SUPPORTED);
    ASSERT_EQ(query(&record), STATUS_SUCCESS);
    EXPECT_EQ(record.Removable, 0u) << "adjusted after a start, even a failed one";
    EXPECT_EQ(record.SurpriseRemovalOK, 1u);
    EXPECT_EQ(record.DeviceState[PowerSystemUnspecified], PowerDeviceUnspecified);
    EXPECT_EQ(record.DeviceState[PowerSystemWorking], PowerDeviceD0);
    for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; state++) {
        EXPECT_EQ(record.DeviceState[state], PowerDeviceD3) << "system state " << state;
    }
    EXPECT_EQ(record.SystemWake, PowerSystemSleeping3) << "other fields as the bus reported";

    device_->Bus().SetCapabilities(device_->Pdo(), std::nullopt);
    record.Removable = 1;
    EXPECT_EQ(query(&record), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(record.Removable, 1u) << "a failed query's record is left alone";
    EXPECT_EQ(device_->Extension()->OutstandingIo, 1);
}

TEST_F(PnpRequestsTest, SurpriseRemovalThenRemovalWithdrawsTheNameOnce)
{
    StartDevice();
    std::u16string interfaceLink = sim::FromUnicodeString(&device_->Extension()->InterfaceName);
    HANDLE port = OpenComPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    sim::Faults::Clear();
    EXPECT_EQ(device_->SendPnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_TRUE(device_->Extension()->Removed);
    EXPECT_FALSE(sim::Namespace::LinkTarget(u"\\DosDevices\\COM5").has_value()) << "the name goes at once";
    EXPECT_FALSE(sim::DeviceInterfaces::IsEnabled(interfaceLink));
    EXPECT_TRUE(sim::Registry::DeviceMapValueNames(u"SERIALCOMM").empty());
    EXPECT_NE(device_->Extension()->BulkInPipe, nullptr) << "the USB copies stay until the removal";
    EXPECT_TRUE(PassedDown(device_->NewRequests(), IRP_MN_SURPRISE_REMOVAL));

    // Refused by the readiness test, but the close still succeeds.
    DWORD lines = 0;
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_COMMAND});
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(device_->Extension()->PortOpen);
    EXPECT_EQ(device_->Pnp().SendRequest(device_->Pdo(), IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED, {}),
              STATUS_NOT_SUPPORTED)
        << "system control still reaches the bus";

    EXPECT_EQ(device_->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(sim::Faults::CallCount(sim::Fault::SetDeviceInterfaceState), 1u) << "withdrawn once";
    EXPECT_EQ(device_->Pdo()->AttachedDevice, nullptr);
}

TEST_F(PnpRequestsTest, RemovalTearsEverythingDown)
{
    StartDevice();
    EXPECT_EQ(device_->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(device_->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(device_->Pdo()->AttachedDevice, nullptr);
    EXPECT_TRUE(sim::DeviceInterfaces::Enabled().empty());
    EXPECT_TRUE(sim::Namespace::Links().empty());
    EXPECT_TRUE(sim::Registry::DeviceMapValueNames(u"SERIALCOMM").empty());
    EXPECT_TRUE(PassedDown(device_->NewRequests(), IRP_MN_REMOVE_DEVICE));
    // The checks at the end of the test show the USB copies were freed.
}

TEST_F(PnpRequestsTest, SystemControlAndOtherRequestsPassThroughInEveryState)
{
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    EXPECT_EQ(device.Pnp().SendRequest(device.Pdo(), IRP_MJ_SYSTEM_CONTROL, 0, STATUS_NOT_SUPPORTED, {}),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(device.Pnp().SendPnp(device.Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(device.Pnp().SendPnp(device.Pdo(), IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
    std::vector<sim::ReceivedRequest> received = device.Bus().Received(device.Pdo());
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[1].majorFunction, IRP_MJ_SYSTEM_CONTROL);
    EXPECT_EQ(received[3].minorFunction, IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_EQ(device.Extension()->OutstandingIo, 1);
}

}  // namespace
}  // namespace bulkcom_test
