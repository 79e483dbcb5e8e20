// Rules of the USB stack a client can break, each sent by a deliberately
// wrong client: selecting a configuration or resetting a pipe above
// PASSIVE_LEVEL, and resetting a pipe or the port before the transfers on
// it have been cancelled and have ended. Each stops the test with a bug
// check; the right way round is shown to work beside it.

#include "kernel/irql.h"
#include "sim/usb_client.h"
#include "support/sim_test.h"
#include "usb/loopback_device.h"

namespace bulkcom_test {
namespace {

using sim::CompletionMode;

class UsbBusRules : public SimTest, public ::testing::WithParamInterface<CompletionMode> {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

// Sends the URB from DISPATCH_LEVEL, as a client would from a completion
// routine; the request is built before, at the level its builder asks for.
void SubmitAtDispatch(PDEVICE_OBJECT pdo, URB& urb)
{
    KEVENT event;
    IO_STATUS_BLOCK status;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &status);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    sim::ScopedIrql dispatch(DISPATCH_LEVEL);
    IoCallDriver(pdo, irp);
}

TEST_P(UsbBusRules, SelectingAConfigurationAbovePassiveLevelIsABugCheck)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::LoopbackDevice>());
    URB deconfigure{};
    deconfigure.UrbSelectConfiguration.Hdr.Length = sizeof(deconfigure.UrbSelectConfiguration);
    deconfigure.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    EXPECT_DEATH(SubmitAtDispatch(pdo, deconfigure),
                 "IRQL_NOT_LESS_OR_EQUAL.*URB_FUNCTION_SELECT_CONFIGURATION called at IRQL 2");

    UsbClient client(pdo);
    EXPECT_EQ(client.Configure().status, STATUS_SUCCESS);
    EXPECT_EQ(client.Deconfigure(), STATUS_SUCCESS);
}

TEST_P(UsbBusRules, ResettingAPipeAbovePassiveLevelIsABugCheck)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::LoopbackDevice>());
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    URB reset{};
    reset.UrbPipeRequest.Hdr.Length = sizeof(reset.UrbPipeRequest);
    reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    reset.UrbPipeRequest.PipeHandle = configuration.Pipe(sim::BulkInEndpoint);
    EXPECT_DEATH(SubmitAtDispatch(pdo, reset),
                 "IRQL_NOT_LESS_OR_EQUAL.*URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL called at IRQL 2");

    EXPECT_EQ(client.ResetPipe(configuration.Pipe(sim::BulkInEndpoint)), STATUS_SUCCESS);
}

TEST_P(UsbBusRules, ResettingAPipeWithATransferStillPendingOnItIsABugCheck)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::LoopbackDevice>());
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    USBD_PIPE_HANDLE in = configuration.Pipe(sim::BulkInEndpoint);
    USBD_PIPE_HANDLE out = configuration.Pipe(sim::BulkOutEndpoint);
    // The loopback has nothing to send: the read waits on the device.
    EXPECT_DEATH(
        {
            auto read = client.Read(in, 64);
            client.ResetPipe(in);
        },
        "BUGCODE_USB_DRIVER.*URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL sent while a transfer on the pipe");

    auto read = client.Read(in, 64);
    EXPECT_EQ(client.ResetPipe(out), STATUS_SUCCESS) << "another pipe's transfers do not matter";
    bus.Flush();
    EXPECT_TRUE(read->Call().Cancel());
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(client.ResetPipe(in), STATUS_SUCCESS);
}

TEST_P(UsbBusRules, ResettingThePortWithATransferStillPendingOnTheDeviceIsABugCheck)
{
    sim::UsbBus bus(GetParam());
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(std::make_shared<sim::LoopbackDevice>());
    UsbClient client(pdo);
    UsbConfiguration configuration = client.Configure();
    ASSERT_EQ(configuration.status, STATUS_SUCCESS);
    USBD_PIPE_HANDLE in = configuration.Pipe(sim::BulkInEndpoint);
    EXPECT_DEATH(
        {
            auto read = client.Read(in, 64);
            client.PortRequest(IOCTL_INTERNAL_USB_RESET_PORT);
        },
        "BUGCODE_USB_DRIVER.*IOCTL_INTERNAL_USB_RESET_PORT sent while a transfer on the device");

    auto read = client.Read(in, 64);
    bus.Flush();
    EXPECT_TRUE(read->Call().Cancel());
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(client.PortRequest(IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(BothModes, UsbBusRules,
                         ::testing::Values(CompletionMode::Synchronous, CompletionMode::ControllerThread), ModeName);

}  // namespace
}  // namespace bulkcom_test
