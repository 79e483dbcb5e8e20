// The configurations test devices come with, as the bus presents them:
// what a driver finds when it walks and selects each one; and devices whose
// descriptors are malformed.

#include "sim/support/usb_client.h"
#include "support/sim_test.h"
#include "usb/loopback_device.h"
#include "usb/scripted_device.h"

namespace bulkcom_test {
namespace {

class UsbDeviceVariantsTest : public SimTest {};

std::vector<std::pair<UCHAR, USBD_PIPE_TYPE>> PipesOf(const UsbConfiguration& configuration)
{
    std::vector<std::pair<UCHAR, USBD_PIPE_TYPE>> pipes;
    for (const USBD_PIPE_INFORMATION& pipe : configuration.pipes) {
        pipes.emplace_back(pipe.EndpointAddress, pipe.PipeType);
    }
    return pipes;
}

PUSB_CONFIGURATION_DESCRIPTOR Header(std::vector<UCHAR>& bytes)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

TEST_F(UsbDeviceVariantsTest, EachConfigurationSelectsToItsPipes)
{
    using Pipes = std::vector<std::pair<UCHAR, USBD_PIPE_TYPE>>;
    struct Case {
        const char* name;
        sim::ConfigurationLayout layout;
        Pipes pipes;
    };
    const Pipes bulkPair{{sim::BulkOutEndpoint, UsbdPipeTypeBulk}, {sim::BulkInEndpoint, UsbdPipeTypeBulk}};
    const Pipes interruptThenBulk{{sim::InterruptInEndpoint, UsbdPipeTypeInterrupt}, bulkPair[0], bulkPair[1]};
    const Case cases[] = {
        {"bulk pair", sim::BulkPairConfiguration(), bulkPair},
        {"interrupt then bulk", sim::InterruptThenBulkConfiguration(), interruptThenBulk},
        {"bulk then empty", sim::BulkThenEmptyConfiguration(), bulkPair},
        {"two bulk out", sim::TwoBulkOutConfiguration(),
         Pipes{bulkPair[0], bulkPair[1], {sim::SecondBulkOutEndpoint, UsbdPipeTypeBulk}}},
        {"three interfaces", sim::ThreeInterfaceConfiguration(), interruptThenBulk},
        {"padded to 600", sim::PaddedConfiguration(600), bulkPair},
    };
    sim::UsbBus bus;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>(test.layout));
        UsbConfiguration configuration = UsbClient(pdo).Configure();
        ASSERT_EQ(configuration.status, STATUS_SUCCESS);
        EXPECT_EQ(Header(configuration.descriptor)->wTotalLength, configuration.descriptor.size());
        EXPECT_EQ(PipesOf(configuration), test.pipes);
        bus.DeletePhysicalDevice(pdo);
    }
}

TEST_F(UsbDeviceVariantsTest, ThePaddedConfigurationIsLongerThanTheFirstRead)
{
    std::vector<UCHAR> bytes = sim::BuildConfigurationDescriptor(sim::PaddedConfiguration(600));
    ASSERT_EQ(bytes.size(), 600u);
    EXPECT_EQ(Header(bytes)->wTotalLength, 600);
    EXPECT_EQ(Header(bytes)->bNumInterfaces, 1);
    auto* configuration = Header(bytes);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, -1, -1, -1, -1), nullptr)
        << "the vendor descriptors that pad it are walked over";
}

TEST_F(UsbDeviceVariantsTest, AConfigurationWithoutInterfaceZeroStillSelectsByItsOwnNumbers)
{
    sim::UsbBus bus;
    PDEVICE_OBJECT pdo =
        bus.CreatePhysicalDevice(std::make_shared<sim::ScriptedDevice>(sim::NoInterfaceZeroConfiguration()));
    UsbClient client(pdo);
    std::vector<UCHAR> bytes;
    ASSERT_EQ(client.ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 521, bytes), STATUS_SUCCESS);
    auto* configuration = Header(bytes);
    EXPECT_EQ(configuration->bNumInterfaces, 2);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, -1, -1, -1, -1), nullptr);

    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, -1, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(configuration, configuration, 2, -1, -1, -1, -1), nullptr},
        {nullptr, nullptr}};
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    ASSERT_NE(list[1].InterfaceDescriptor, nullptr);
    PURB select = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_NE(select, nullptr);
    EXPECT_EQ(client.Submit(*select), STATUS_SUCCESS);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 2);
    EXPECT_EQ(list[1].Interface->Pipes[1].EndpointAddress, sim::BulkInEndpoint);
    ExFreePool(select);
}

TEST_F(UsbDeviceVariantsTest, MalformedDescriptorsAreReportedAsTheDeviceSendsThem)
{
    sim::UsbBus bus;
    auto device = std::make_shared<sim::ScriptedDevice>();
    // An endpoint descriptor of zero length right after the interface: a
    // walk stops there, so the interface's endpoints cannot be found.
    std::vector<UCHAR> malformed = sim::BuildConfigurationDescriptor(sim::BulkPairConfiguration());
    malformed[sizeof(USB_CONFIGURATION_DESCRIPTOR) + sizeof(USB_INTERFACE_DESCRIPTOR)] = 0;
    device->SetConfigurationDescriptor(malformed);
    device->SetDeviceDescriptor(std::vector<UCHAR>(8, 0x12));
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(device);
    UsbClient client(pdo);

    std::vector<UCHAR> bytes;
    URB urb;
    ASSERT_EQ(client.ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, bytes, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 8u) << "a device sends no more than it has";

    UsbConfiguration configuration = client.Configure();
    EXPECT_EQ(configuration.descriptor, malformed);
    EXPECT_EQ(configuration.status, STATUS_INVALID_PARAMETER) << "the interface's endpoints cannot be found";
    EXPECT_EQ(configuration.handle, nullptr);
    ASSERT_EQ(configuration.pipes.size(), 2u);
    EXPECT_EQ(configuration.pipes[0].PipeHandle, nullptr);
    EXPECT_EQ(configuration.pipes[1].PipeHandle, nullptr);
}

TEST_F(UsbDeviceVariantsTest, CompletionModeIsChosenPerDevice)
{
    sim::UsbBus bus(sim::CompletionMode::Synchronous);
    PDEVICE_OBJECT immediate = bus.CreatePhysicalDevice(std::make_shared<sim::LoopbackDevice>());
    PDEVICE_OBJECT deferred = bus.CreatePhysicalDevice(std::make_shared<sim::LoopbackDevice>());
    bus.SetCompletionMode(deferred, sim::CompletionMode::ControllerThread);
    ULONG word = 0;
    UsbCall now(immediate, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word);
    EXPECT_EQ(now.Returned(), STATUS_SUCCESS);
    UsbCall later(deferred, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word);
    EXPECT_EQ(later.Returned(), STATUS_PENDING);
    EXPECT_EQ(later.Wait(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace bulkcom_test
