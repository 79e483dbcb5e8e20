// A USB device unplugged at any moment, at once or as a pulled cable, and
// the Plug and Play and power requests its physical device object answers.

#include <thread>

#include "kernel/device_objects.h"
#include "kernel/registry.h"
#include "pnp-power/pnp_manager.h"
#include "pnp-power/standin_bus.h"
#include "sim/support/usb_client.h"
#include "support/sim_test.h"
#include "usb/loopback_device.h"
#include "usb/scripted_device.h"

namespace bulkcom_test {
namespace {

using sim::CompletionMode;

class UsbUnplugTest : public SimTest, public ::testing::WithParamInterface<CompletionMode> {};
class UsbPhysicalDeviceRequestsTest : public SimTest {};

// A read on the bulk IN pipe that has been let reach the device, where it
// waits for data.
std::unique_ptr<UsbTransfer> DeliveredRead(sim::UsbBus& bus, UsbClient& client, const UsbConfiguration& configuration,
                                           ULONG length)
{
    auto read = client.Read(configuration.Pipe(sim::BulkInEndpoint), length);
    bus.Flush();
    return read;
}

TEST_P(UsbUnplugTest, EndsAWaitingReadAndEveryLaterRequestFails)
{
    sim::UsbBus bus(GetParam());
    std::vector<PDEVICE_OBJECT> told;
    bus.SetUnplugHandler([&](PDEVICE_OBJECT pdo) { told.push_back(pdo); });
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>());
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    auto read = DeliveredRead(bus, client, configuration, 65536);
    ASSERT_FALSE(read->Call().Ended());

    bus.Unplug(pdo);
    EXPECT_EQ(read->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read->Urb().UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(read->Transferred(), 0u);
    EXPECT_EQ(told, std::vector<PDEVICE_OBJECT>{pdo}) << "the Plug and Play side hears of it once";

    NTSTATUS status = STATUS_PENDING;
    EXPECT_EQ(client.PortStatus(&status), 0u) << "neither connected nor enabled";
    EXPECT_EQ(status, STATUS_SUCCESS);

    std::vector<UCHAR> bytes;
    URB urb;
    EXPECT_EQ(client.ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, bytes, &urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(client.Write(configuration.Pipe(sim::BulkOutEndpoint), Pattern(4))->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(client.ResetPipe(configuration.Pipe(sim::BulkInEndpoint)), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(client.Deconfigure(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(client.PortRequest(IOCTL_INTERNAL_USB_RESET_PORT), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(client.PortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_DEVICE_NOT_CONNECTED);

    bus.Unplug(pdo);
    EXPECT_EQ(told.size(), 1u);
}

TEST_P(UsbUnplugTest, EndsTransfersInBothDirectionsAndStopsTheLoopback)
{
    sim::UsbBus bus(GetParam());
    auto device = std::make_shared<sim::ScriptedDevice>();
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(device);
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    device->IgnoreOut();
    auto write = client.Write(configuration.Pipe(sim::BulkOutEndpoint), Pattern(10));
    auto read = DeliveredRead(bus, client, configuration, 64);
    ASSERT_EQ(bus.WaitingTransfers(pdo), 2u);

    bus.Unplug(pdo);
    EXPECT_EQ(write->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(bus.WaitingTransfers(pdo), 0u);

    // Data the device would still send reaches nobody.
    device->SendMessage(Pattern(3));
    EXPECT_EQ(client.Read(configuration.Pipe(sim::BulkInEndpoint), 64)->Wait(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_P(UsbUnplugTest, APulledCableFailsEveryTransactionUntilTheHubSeesThePortEmpty)
{
    sim::UsbBus bus(GetParam());
    std::vector<PDEVICE_OBJECT> told;
    bus.SetUnplugHandler([&](PDEVICE_OBJECT pdo) { told.push_back(pdo); });
    auto device = std::make_shared<sim::ScriptedDevice>();
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(device);
    bus.SetUnplugMode(pdo, sim::UnplugMode::CablePull);
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    USBD_PIPE_HANDLE in = configuration.Pipe(sim::BulkInEndpoint);
    device->IgnoreOut();
    auto write = client.Write(configuration.Pipe(sim::BulkOutEndpoint), Pattern(10));
    auto read = client.Read(in, 64);
    bus.Flush();
    ASSERT_EQ(bus.WaitingTransfers(pdo), 2u);

    bus.Unplug(pdo);
    for (UsbTransfer* transfer : {write.get(), read.get()}) {
        EXPECT_EQ(transfer->Wait(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(transfer->Urb().UrbHeader.Status, USBD_STATUS_XACT_ERROR);
    }
    EXPECT_TRUE(told.empty()) << "the hub has not looked yet";
    EXPECT_EQ(client.PortStatus(), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
    auto later = client.Read(in, 64);
    EXPECT_EQ(later->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(later->Urb().UrbHeader.Status, USBD_STATUS_XACT_ERROR);
    URB urb;
    EXPECT_EQ(client.ResetPipe(in, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(client.PortRequest(IOCTL_INTERNAL_USB_RESET_PORT), STATUS_UNSUCCESSFUL);
    std::vector<UCHAR> bytes;
    EXPECT_EQ(client.ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, bytes), STATUS_UNSUCCESSFUL);
    bus.Unplug(pdo);
    EXPECT_TRUE(told.empty());

    bus.NoticeUnplug(pdo);
    EXPECT_EQ(told, std::vector<PDEVICE_OBJECT>{pdo});
    EXPECT_EQ(client.PortStatus(), 0u);
    EXPECT_EQ(client.Read(in, 64)->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(client.PortRequest(IOCTL_INTERNAL_USB_RESET_PORT), STATUS_DEVICE_NOT_CONNECTED);
    bus.NoticeUnplug(pdo);
    EXPECT_EQ(told.size(), 1u);
}

TEST_P(UsbUnplugTest, APortCycleTakesTheDeviceOffItsPortAndItAttachesAgainAsTheSameDevice)
{
    sim::UsbBus bus(GetParam());
    std::vector<PDEVICE_OBJECT> unplugged;
    bus.SetUnplugHandler([&](PDEVICE_OBJECT pdo) { unplugged.push_back(pdo); });
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>(), u"7");
    sim::Registry::SetHardwareString(pdo, u"PortName", u"COM9");
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    auto read = DeliveredRead(bus, client, configuration, 64);

    // Without a cycle handler, Plug and Play hears of it as of an unplug.
    EXPECT_EQ(client.PortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(client.PortStatus(), 0u);
    bus.Flush();
    EXPECT_EQ(unplugged, std::vector<PDEVICE_OBJECT>{pdo});

    PDEVICE_OBJECT fresh = bus.AttachAgain(pdo);
    EXPECT_NE(fresh, pdo);
    EXPECT_EQ(sim::KernelExtensionOf(fresh).InstanceId, sim::KernelExtensionOf(pdo).InstanceId);
    std::optional<sim::RegistryValue> name = sim::Registry::HardwareValue(fresh, u"PortName");
    EXPECT_TRUE(name.has_value() && name == sim::Registry::HardwareValue(pdo, u"PortName"))
        << "one device node, one hardware key";
    UsbClient again(fresh);
    EXPECT_EQ(again.PortStatus(), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
    ASSERT_EQ(again.Configure().status, STATUS_SUCCESS);

    std::vector<PDEVICE_OBJECT> cycled;
    bus.SetCycleHandler([&](PDEVICE_OBJECT gone) { cycled.push_back(gone); });
    EXPECT_EQ(again.PortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_SUCCESS);
    bus.Flush();
    EXPECT_EQ(cycled, std::vector<PDEVICE_OBJECT>{fresh}) << "the cycle handler, when set, instead";
    EXPECT_EQ(unplugged.size(), 1u);
    bus.DeletePhysicalDevice(pdo);
    bus.DeletePhysicalDevice(fresh);
}

TEST_P(UsbUnplugTest, FromAnotherThreadWhileAReadWaits)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::LoopbackDevice>());
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    auto read = client.Read(configuration.Pipe(sim::BulkInEndpoint), 65536);
    std::thread unplugger([&] { bus.Unplug(pdo); });
    EXPECT_EQ(read->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    unplugger.join();
}

TEST_P(UsbUnplugTest, DeletingThePhysicalDeviceEndsWhatWaits)
{
    std::unique_ptr<UsbTransfer> read;
    bool told = false;
    {
        sim::UsbBus bus(GetParam());
        bus.SetUnplugHandler([&](PDEVICE_OBJECT) { told = true; });
        PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>());
        UsbClient client(pdo);
        UsbConfiguration configuration = client.Configure();
        ASSERT_EQ(configuration.status, STATUS_SUCCESS);
        read = DeliveredRead(bus, client, configuration, 64);
        ASSERT_FALSE(read->Call().Ended());
    }
    // The bus is gone and with it its controller thread: nothing is left to
    // complete later.
    EXPECT_TRUE(read->Call().Ended());
    EXPECT_EQ(read->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(told) << "a deleted device is not reported as unplugged";
}

INSTANTIATE_TEST_SUITE_P(Usb, UsbUnplugTest,
                         ::testing::Values(CompletionMode::Synchronous, CompletionMode::ControllerThread), ModeName);

NTSTATUS NTAPI NoDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

TEST_F(UsbPhysicalDeviceRequestsTest, CapabilitiesAreAnsweredFromTheConfiguredRecordOrNotAtAll)
{
    sim::PnpManager pnp(NoDriverEntry);
    sim::UsbBus bus;
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>());
    DEVICE_CAPABILITIES asked{};
    auto query = [&] {
        asked = DEVICE_CAPABILITIES{};
        asked.Size = sizeof(DEVICE_CAPABILITIES);
        asked.Version = 1;
        asked.Address = 0xFFFFFFFF;
        return pnp.SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION& stack) {
            stack.Parameters.DeviceCapabilities.Capabilities = &asked;
        });
    };

    EXPECT_EQ(query(), STATUS_SUCCESS);
    DEVICE_CAPABILITIES typical = sim::TypicalUsbCapabilities();
    EXPECT_EQ(asked.Removable, 1u);
    EXPECT_EQ(asked.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(asked.DeviceState[PowerSystemSleeping3], typical.DeviceState[PowerSystemSleeping3]);

    DEVICE_CAPABILITIES custom = typical;
    custom.Size = 1;
    custom.Version = 9;
    custom.SurpriseRemovalOK = 1;
    custom.DeviceState[PowerSystemSleeping1] = PowerDeviceD3;
    bus.SetCapabilities(pdo, custom);
    EXPECT_EQ(query(), STATUS_SUCCESS);
    EXPECT_EQ(asked.Size, sizeof(DEVICE_CAPABILITIES)) << "the asker's size and version stay";
    EXPECT_EQ(asked.Version, 1);
    EXPECT_EQ(asked.SurpriseRemovalOK, 1u);
    EXPECT_EQ(asked.DeviceState[PowerSystemSleeping1], PowerDeviceD3);

    bus.SetCapabilities(pdo, std::nullopt);
    EXPECT_EQ(query(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(asked.Address, 0xFFFFFFFFu) << "an unanswered query leaves the record alone";
}

TEST_F(UsbPhysicalDeviceRequestsTest, StateChangesSucceedAndOtherQueriesKeepTheirStatus)
{
    sim::PnpManager pnp(NoDriverEntry);
    sim::UsbBus bus;
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>());
    for (int minor :
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_STOP_DEVICE,
          IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}) {
        SCOPED_TRACE(minor);
        EXPECT_EQ(pnp.SendPnp(pdo, static_cast<UCHAR>(minor)), STATUS_SUCCESS);
    }
    EXPECT_EQ(pnp.SendPnp(pdo, IRP_MN_QUERY_ID), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(pnp.SendRequest(pdo, IRP_MJ_SYSTEM_CONTROL, 0, STATUS_INVALID_DEVICE_REQUEST, {}),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(pnp.SendRequest(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NOT_SUPPORTED,
                              [](IO_STACK_LOCATION& stack) {
                                  stack.Parameters.Power.Type = DevicePowerState;
                                  stack.Parameters.Power.State.DeviceState = PowerDeviceD3;
                              }),
              STATUS_SUCCESS);

    std::vector<sim::UsbRequestRecord> log = bus.Requests(pdo);
    ASSERT_EQ(log.size(), 11u);
    EXPECT_EQ(log[0].kind, sim::UsbRequestKind::Pnp);
    EXPECT_EQ(log[0].minorFunction, IRP_MN_START_DEVICE);
    EXPECT_EQ(log[7].minorFunction, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(log[9].kind, sim::UsbRequestKind::Other);
    EXPECT_EQ(log[10].kind, sim::UsbRequestKind::Power);
    EXPECT_EQ(log[10].minorFunction, IRP_MN_SET_POWER);
    EXPECT_EQ(log[10].status, STATUS_SUCCESS);
}

TEST_F(UsbPhysicalDeviceRequestsTest, RemovalClosesThePipesAndCancelsWhatWaits)
{
    sim::PnpManager pnp(NoDriverEntry);
    sim::UsbBus bus;
    auto device = std::make_shared<sim::ScriptedDevice>();
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(device);
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    // The read must have reached the device for the removal to find it there.
    auto read = DeliveredRead(bus, client, configuration, 64);
    ASSERT_FALSE(read->Call().Ended());

    EXPECT_EQ(pnp.SendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(client.Read(configuration.Pipe(sim::BulkInEndpoint), 64)->Wait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client.PortStatus(), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED}) << "the device is still there";
}

}  // namespace
}  // namespace bulkcom_test
