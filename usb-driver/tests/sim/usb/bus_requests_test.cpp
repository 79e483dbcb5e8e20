// The USB bus driver's answers to descriptor reads, select configuration,
// malformed URBs and port requests, sent as real internal control requests
// in both completion modes; and where it completes them.

#include <mutex>
#include <set>
#include <thread>

#include "kernel/device_objects.h"
#include "kernel/hooks.h"
#include "kernel/irql.h"
#include "kernel/object_namespace.h"
#include "sim/support/usb_client.h"
#include "support/sim_test.h"
#include "pnp-power/standin_bus.h"
#include "usb/scripted_device.h"

namespace bulkcom_test {
namespace {

using sim::CompletionMode;

constexpr char16_t Instance[] = u"5&2f3c1a&0&1";

// A configured scripted device on a bus completing in the given mode.
struct ConfiguredDevice {
    explicit ConfiguredDevice(CompletionMode mode)
        : bus(mode), device(std::make_shared<sim::ScriptedDevice>()), pdo(bus.CreatePhysicalDevice(device, Instance)),
          client(pdo), configuration(client.Configure())
    {
    }
    sim::UsbBus bus;
    std::shared_ptr<sim::ScriptedDevice> device;
    PDEVICE_OBJECT pdo;
    UsbClient client;
    UsbConfiguration configuration;
};

class UsbBusRequestsTest : public SimTest, public ::testing::WithParamInterface<CompletionMode> {};
class UsbPhysicalDeviceTest : public SimTest {};

std::vector<UCHAR> Prefix(const std::vector<UCHAR>& bytes, size_t length)
{
    return std::vector<UCHAR>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(length));
}

bool UntouchedFrom(const std::vector<UCHAR>& bytes, size_t offset)
{
    return std::all_of(bytes.begin() + static_cast<ptrdiff_t>(offset), bytes.end(),
                       [](UCHAR byte) { return byte == UntouchedByte; });
}

TEST_P(UsbBusRequestsTest, DeviceDescriptorReadsAreCutToTheOfferedLength)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>(), Instance);
    UsbClient client(pdo);
    std::vector<UCHAR> expected = sim::BuildDeviceDescriptor({});
    std::vector<UCHAR> bytes;
    URB urb;

    ASSERT_EQ(client.ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 8, bytes, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 8u);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(bytes, Prefix(expected, 8));

    ASSERT_EQ(client.ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 64, bytes, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(Prefix(bytes, 18), expected);
    EXPECT_TRUE(UntouchedFrom(bytes, 18)) << "nothing is written beyond what the device sent";
}

TEST_P(UsbBusRequestsTest, AConfigurationLongerThanTheOfferIsReadAgainWhole)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo =
        bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>(sim::PaddedConfiguration(600)), Instance);
    UsbClient client(pdo);
    std::vector<UCHAR> expected = sim::BuildConfigurationDescriptor(sim::PaddedConfiguration(600));
    ASSERT_EQ(expected.size(), 600u);
    std::vector<UCHAR> bytes;
    URB urb;

    ASSERT_EQ(client.ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 521, bytes, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 521u);
    EXPECT_EQ(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data())->wTotalLength, 600);
    EXPECT_EQ(bytes, Prefix(expected, 521));

    ASSERT_EQ(client.ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 600, bytes, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 600u);
    EXPECT_EQ(bytes, expected);

    ASSERT_EQ(client.ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1000, bytes, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 600u);
    EXPECT_TRUE(UntouchedFrom(bytes, 600));

    std::vector<sim::UsbRequestRecord> log = bus.Requests(pdo);
    ASSERT_EQ(log.size(), 3u);
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].kind, sim::UsbRequestKind::SubmitUrb);
        EXPECT_EQ(log[i].urbFunction, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        EXPECT_EQ(log[i].descriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
        EXPECT_TRUE(log[i].completed);
    }
    EXPECT_EQ(log[0].requestedLength, 521u);
    EXPECT_EQ(log[0].transferredLength, 521u);
    EXPECT_EQ(log[1].requestedLength, 600u);
    EXPECT_EQ(log[2].requestedLength, 1000u);
    EXPECT_EQ(log[2].transferredLength, 600u);
}

TEST_P(UsbBusRequestsTest, DescriptorsTheDeviceLacksAreStalled)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>(), Instance);
    UsbClient client(pdo);
    std::vector<UCHAR> bytes;
    URB urb;
    EXPECT_EQ(client.ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, 64, bytes, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
    EXPECT_TRUE(UntouchedFrom(bytes, 0));
}

TEST_P(UsbBusRequestsTest, SelectConfigurationFillsEveryInterfaceAndPipe)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(
        std::make_shared<sim::ScriptedDevice>(sim::InterruptThenBulkConfiguration(2)), Instance);
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    EXPECT_NE(configuration.handle, nullptr);

    ASSERT_EQ(configuration.interfaces.size(), 2u);
    const USBD_INTERFACE_INFORMATION& control = configuration.interfaces[0];
    const USBD_INTERFACE_INFORMATION& data = configuration.interfaces[1];
    EXPECT_EQ(control.InterfaceNumber, 0);
    EXPECT_EQ(control.Class, 0x02);
    EXPECT_EQ(control.SubClass, 0x02);
    EXPECT_EQ(control.NumberOfPipes, 2u);
    EXPECT_EQ(data.InterfaceNumber, 1);
    EXPECT_EQ(data.Class, 0xFF);
    EXPECT_EQ(data.NumberOfPipes, 2u);
    EXPECT_NE(control.InterfaceHandle, nullptr);
    EXPECT_NE(data.InterfaceHandle, nullptr);
    EXPECT_NE(control.InterfaceHandle, data.InterfaceHandle);

    struct Expected {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT packetSize;
        UCHAR interval;
    };
    const Expected expected[] = {{sim::InterruptInEndpoint, UsbdPipeTypeInterrupt, 16, 10},
                                 {sim::InterruptOutEndpoint, UsbdPipeTypeInterrupt, 16, 10},
                                 {sim::BulkOutEndpoint, UsbdPipeTypeBulk, 64, 0},
                                 {sim::BulkInEndpoint, UsbdPipeTypeBulk, 64, 0}};
    ASSERT_EQ(configuration.pipes.size(), 4u);
    std::set<USBD_PIPE_HANDLE> handles;
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const USBD_PIPE_INFORMATION& pipe = configuration.pipes[i];
        EXPECT_EQ(pipe.EndpointAddress, expected[i].address);
        EXPECT_EQ(pipe.PipeType, expected[i].type);
        EXPECT_EQ(pipe.MaximumPacketSize, expected[i].packetSize);
        EXPECT_EQ(pipe.Interval, expected[i].interval);
        EXPECT_EQ(pipe.MaximumTransferSize, ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE});
        EXPECT_NE(pipe.PipeHandle, nullptr);
        handles.insert(pipe.PipeHandle);
    }
    EXPECT_EQ(handles.size(), 4u) << "every pipe has its own handle";
}

TEST_P(UsbBusRequestsTest, DeconfiguringInvalidatesEveryPipeHandle)
{
    ConfiguredDevice configured(GetParam());
    auto& [bus, device, pdo, client, old] = configured;
    ASSERT_EQ(old.status, STATUS_SUCCESS);

    ASSERT_EQ(client.Deconfigure(), STATUS_SUCCESS);
    EXPECT_TRUE(bus.Requests(pdo).back().deconfigures);

    auto read = client.Read(old.Pipe(sim::BulkInEndpoint), 64);
    EXPECT_EQ(read->Wait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read->Urb().UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    URB reset;
    EXPECT_EQ(client.ResetPipe(old.Pipe(sim::BulkOutEndpoint), &reset), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    UsbConfiguration again = client.Configure();
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_NE(again.Pipe(sim::BulkInEndpoint), old.Pipe(sim::BulkInEndpoint)) << "a stale handle never comes back";
    EXPECT_NE(again.handle, old.handle);
    device->SendMessage(Pattern(5));
    auto fresh = client.Read(again.Pipe(sim::BulkInEndpoint), 64);
    EXPECT_EQ(fresh->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(fresh->Received(), Pattern(5));
}

TEST_P(UsbBusRequestsTest, ARefusedSelectLeavesTheConfigurationAsItWas)
{
    ConfiguredDevice configured(GetParam());
    auto& [bus, device, pdo, client, configuration] = configured;
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);

    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.descriptor.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, -1, -1, -1, -1), nullptr}, {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
    ASSERT_NE(select, nullptr);

    list[0].Interface->InterfaceNumber = 5;
    EXPECT_EQ(client.Submit(*select), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);

    list[0].Interface->InterfaceNumber = 0;
    list[0].Interface->Length = GET_USBD_INTERFACE_SIZE(1);
    EXPECT_EQ(client.Submit(*select), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(select->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    ExFreePool(select);

    device->SendMessage(Pattern(3));
    auto read = client.Read(configuration.Pipe(sim::BulkInEndpoint), 64);
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS) << "the pipes of the configuration in force still work";
}

TEST_P(UsbBusRequestsTest, MalformedRequestsAreRefused)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>(), Instance);
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);

    {
        UsbCall noUrb(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr);
        EXPECT_EQ(noUrb.Wait(), STATUS_INVALID_PARAMETER);
    }
    URB unknown{};
    unknown.UrbHeader.Length = sizeof(URB);
    unknown.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
    EXPECT_EQ(client.Submit(unknown), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

    URB truncated{};
    truncated.UrbBulkOrInterruptTransfer.Hdr.Length = sizeof(_URB_HEADER);
    truncated.UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    truncated.UrbBulkOrInterruptTransfer.PipeHandle = configuration.Pipe(sim::BulkInEndpoint);
    EXPECT_EQ(client.Submit(truncated), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(truncated.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

    int somewhere = 0;
    auto unknownPipe = client.Read(&somewhere, 64);
    EXPECT_EQ(unknownPipe->Wait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unknownPipe->Urb().UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    EXPECT_EQ(client.PortRequest(CTL_CODE(FILE_DEVICE_USB, 0x3FF, METHOD_NEITHER, FILE_ANY_ACCESS)),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_P(UsbBusRequestsTest, PortStatusReportsAPluggedInDevice)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>(), Instance);
    UsbClient client(pdo);
    NTSTATUS status = STATUS_PENDING;
    EXPECT_EQ(client.PortStatus(&status), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
    EXPECT_EQ(status, STATUS_SUCCESS);

    bus.SetPortStatus(pdo, USBD_PORT_ENABLED);
    EXPECT_EQ(client.PortStatus(&status), ULONG{USBD_PORT_ENABLED});
    EXPECT_EQ(status, STATUS_SUCCESS);
    bus.SetPortStatus(pdo, std::nullopt);
    EXPECT_EQ(client.PortStatus(), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
}

TEST_P(UsbBusRequestsTest, APortResetClearsHaltsAndKeepsThePipes)
{
    ConfiguredDevice configured(GetParam());
    auto& [bus, device, pdo, client, configuration] = configured;
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    USBD_PIPE_HANDLE in = configuration.Pipe(sim::BulkInEndpoint);

    device->StallIn();
    EXPECT_EQ(client.Read(in, 64)->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client.PortRequest(IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
    EXPECT_EQ(device->PortResets(), 1u);
    device->SendMessage(Pattern(7));
    auto read = client.Read(in, 64);
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS) << "the handle survives the reset and the halt does not";
    EXPECT_EQ(read->Received(), Pattern(7));

    EXPECT_EQ(client.PortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_SUCCESS);
}

TEST_P(UsbBusRequestsTest, InjectedFailuresEndTheMatchingRequestsUntilCleared)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>(), Instance);
    UsbClient client(pdo);
    auto configurationReads = [](const sim::UsbRequestRecord& record) {
        return record.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE;
    };
    bus.FailRequests(pdo, configurationReads, STATUS_DEVICE_DATA_ERROR);
    bus.FailRequests(
        pdo, [](const sim::UsbRequestRecord& record) { return record.kind == sim::UsbRequestKind::GetPortStatus; },
        STATUS_UNSUCCESSFUL);

    std::vector<UCHAR> bytes;
    URB urb;
    EXPECT_EQ(client.ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, bytes, &urb), STATUS_SUCCESS);
    EXPECT_EQ(client.ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 521, bytes, &urb), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INTERNAL_HC_ERROR);
    EXPECT_TRUE(UntouchedFrom(bytes, 0));
    NTSTATUS status;
    client.PortStatus(&status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);

    bus.ClearFailures(pdo);
    EXPECT_EQ(client.ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 521, bytes, &urb), STATUS_SUCCESS);
    client.PortStatus(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Usb, UsbBusRequestsTest,
                         ::testing::Values(CompletionMode::Synchronous, CompletionMode::ControllerThread), ModeName);

// Where each request's completion began: the thread and its IRQL.
class CompletionWatch {
public:
    CompletionWatch()
    {
        sim::Hooks().irpCompleting = [this](PIRP) {
            std::lock_guard lock(lock_);
            seen_.push_back({std::this_thread::get_id(), sim::CurrentIrql()});
        };
    }
    ~CompletionWatch() { sim::Hooks().irpCompleting = nullptr; }
    std::pair<std::thread::id, KIRQL> Last()
    {
        std::lock_guard lock(lock_);
        return seen_.back();
    }

private:
    std::mutex lock_;
    std::vector<std::pair<std::thread::id, KIRQL>> seen_;
};

TEST_F(UsbPhysicalDeviceTest, SynchronousModeCompletesInTheSendersThread)
{
    ConfiguredDevice configured(CompletionMode::Synchronous);
    ASSERT_EQ(configured.configuration.status, STATUS_SUCCESS);
    CompletionWatch watch;

    ULONG word = 0;
    UsbCall call(configured.pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word);
    EXPECT_EQ(call.Returned(), STATUS_SUCCESS) << "done before IoCallDriver returns";
    EXPECT_TRUE(call.Ended());
    EXPECT_EQ(watch.Last(), std::make_pair(std::this_thread::get_id(), KIRQL{PASSIVE_LEVEL}));

    // A read that waits for data ends in the thread that brings the data.
    auto read = configured.client.Read(configured.configuration.Pipe(sim::BulkInEndpoint), 64);
    EXPECT_EQ(read->Call().Returned(), STATUS_PENDING);
    EXPECT_FALSE(read->Call().Ended());
    std::thread sender([&] { configured.device->SendMessage(Pattern(4)); });
    std::thread::id senderId = sender.get_id();
    sender.join();
    EXPECT_TRUE(read->Call().Ended());
    EXPECT_EQ(watch.Last().first, senderId);
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
}

TEST_F(UsbPhysicalDeviceTest, ControllerModeCompletesLaterOnTheControllerThreadAtDispatchLevel)
{
    ConfiguredDevice configured(CompletionMode::ControllerThread);
    ASSERT_EQ(configured.configuration.status, STATUS_SUCCESS);
    CompletionWatch watch;

    ULONG word = 0;
    UsbCall call(configured.pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word);
    EXPECT_EQ(call.Returned(), STATUS_PENDING);
    EXPECT_EQ(call.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(word, ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
    std::thread::id controller = watch.Last().first;
    EXPECT_NE(controller, std::this_thread::get_id());
    EXPECT_EQ(watch.Last().second, DISPATCH_LEVEL);

    auto read = configured.client.Read(configured.configuration.Pipe(sim::BulkInEndpoint), 64);
    EXPECT_EQ(read->Call().Returned(), STATUS_PENDING);
    configured.bus.Flush();
    EXPECT_FALSE(read->Call().Ended()) << "nothing to read yet";
    EXPECT_EQ(configured.bus.WaitingTransfers(configured.pdo), 1u);
    configured.device->SendMessage(Pattern(4));
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(watch.Last(), std::make_pair(controller, KIRQL{DISPATCH_LEVEL}));
}

TEST_F(UsbPhysicalDeviceTest, IsNamedWithAnInstanceIdAndAHardwareKey)
{
    sim::StandInBus other;
    PDEVICE_OBJECT standIn = other.CreatePhysicalDevice(u"ROOT\\OTHER\\0000");
    sim::UsbBus bus;
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(
        std::make_shared<sim::ScriptedDevice>(sim::BulkPairConfiguration(), sim::DeviceIdentity{0x04D8, 0x000A}),
        Instance);

    EXPECT_EQ(sim::KernelExtensionOf(pdo).InstanceId, u"USB\\VID_04D8&PID_000A\\5&2f3c1a&0&1");
    const std::u16string& name = sim::KernelExtensionOf(pdo).Name;
    EXPECT_EQ(name.rfind(u"\\Device\\USBPDO-", 0), 0u);
    EXPECT_NE(name, sim::KernelExtensionOf(standIn).Name) << "names never collide with another bus's";
    NTSTATUS status;
    EXPECT_EQ(sim::Namespace::Resolve(name, nullptr, &status), pdo);
    EXPECT_EQ(pdo->Flags & DO_DEVICE_INITIALIZING, 0u);

    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(UsbPhysicalDeviceTest, PortRequestsAbovePassiveLevelAreABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    sim::UsbBus bus;
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>(), Instance);
    auto sendAtDispatch = [&](ULONG code) {
        KEVENT event;
        IO_STATUS_BLOCK status;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &status);
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        IoCallDriver(pdo, irp);
    };
    EXPECT_DEATH(sendAtDispatch(IOCTL_INTERNAL_USB_GET_PORT_STATUS), "IRQL_NOT_LESS_OR_EQUAL");
    EXPECT_DEATH(sendAtDispatch(IOCTL_INTERNAL_USB_RESET_PORT), "IRQL_NOT_LESS_OR_EQUAL");
    EXPECT_DEATH(sendAtDispatch(IOCTL_INTERNAL_USB_CYCLE_PORT), "IRQL_NOT_LESS_OR_EQUAL");
}

}  // namespace
}  // namespace bulkcom_test
