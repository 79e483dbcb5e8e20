// Rules of the USB stack a client can break, each sent by a deliberately
// wrong client: selecting a configuration or resetting a pipe above
// PASSIVE_LEVEL, and resetting a pipe or the port before the transfers on
// it have been cancelled and have ended. Each stops the test with a bug
// check; the right way round is shown to work beside it.

#include <functional>

#include "kernel/irql.h"
#include "sim/support/configured_bus_test.h"
#include "usb/loopback_device.h"

namespace bulkcom_test {
namespace {

using sim::CompletionMode;

class UsbBusRulesTest : public ConfiguredBusTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        Attach(std::make_shared<sim::LoopbackDevice>());
    }

    // The loopback has nothing to send: the read waits on the device until
    // cancelled, which is what a client must do before a reset.
    std::unique_ptr<UsbTransfer> WaitingRead() { return client_->Read(in_, 64); }
    void CancelAndWait(UsbTransfer& read)
    {
        bus_->Flush();
        EXPECT_TRUE(read.Call().Cancel());
        EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
    }
    // The reset stops the test when sent while a read waits on the device,
    // and succeeds once the read has been cancelled and has ended.
    void ExpectResetOnlyAfterCancelling(const std::function<NTSTATUS()>& reset, const char* diagnostic)
    {
        EXPECT_DEATH(
            {
                auto read = WaitingRead();
                reset();
            },
            diagnostic);
        auto read = WaitingRead();
        CancelAndWait(*read);
        EXPECT_EQ(reset(), STATUS_SUCCESS);
    }
};

// Sends the URB from DISPATCH_LEVEL, as a client would from a completion
// routine; the request is built before, at the level its builder asks for.
void SubmitAtDispatch(PDEVICE_OBJECT pdo, URB& urb)
{
    KEVENT event;
    IO_STATUS_BLOCK status;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &status);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    sim::ScopedIrql dispatch(DISPATCH_LEVEL);
    IoCallDriver(pdo, irp);
}

TEST_P(UsbBusRulesTest, SelectingAConfigurationAbovePassiveLevelIsABugCheck)
{
    URB deconfigure{};
    deconfigure.UrbSelectConfiguration.Hdr.Length = sizeof(deconfigure.UrbSelectConfiguration);
    deconfigure.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    EXPECT_DEATH(SubmitAtDispatch(pdo_, deconfigure),
                 "IRQL_NOT_LESS_OR_EQUAL.*URB_FUNCTION_SELECT_CONFIGURATION called at IRQL 2");
    EXPECT_EQ(client_->Deconfigure(), STATUS_SUCCESS);
}

TEST_P(UsbBusRulesTest, ResettingAPipeAbovePassiveLevelIsABugCheck)
{
    URB reset{};
    reset.UrbPipeRequest.Hdr.Length = sizeof(reset.UrbPipeRequest);
    reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    reset.UrbPipeRequest.PipeHandle = in_;
    EXPECT_DEATH(SubmitAtDispatch(pdo_, reset),
                 "IRQL_NOT_LESS_OR_EQUAL.*URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL called at IRQL 2");

    EXPECT_EQ(client_->ResetPipe(in_), STATUS_SUCCESS);
}

TEST_P(UsbBusRulesTest, ResettingAPipeWithATransferStillPendingOnItIsABugCheck)
{
    ExpectResetOnlyAfterCancelling(
        [this] { return client_->ResetPipe(in_); },
        "BUGCODE_USB_DRIVER.*URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL sent while a transfer on the pipe");

    auto read = WaitingRead();
    EXPECT_EQ(client_->ResetPipe(out_), STATUS_SUCCESS) << "another pipe's transfers do not matter";
    CancelAndWait(*read);
}

TEST_P(UsbBusRulesTest, ResettingThePortWithATransferStillPendingOnTheDeviceIsABugCheck)
{
    ExpectResetOnlyAfterCancelling(
        [this] { return client_->PortRequest(IOCTL_INTERNAL_USB_RESET_PORT); },
        "BUGCODE_USB_DRIVER.*IOCTL_INTERNAL_USB_RESET_PORT sent while a transfer on the device");
}

INSTANTIATE_TEST_SUITE_P(BothModes, UsbBusRulesTest,
                         ::testing::Values(CompletionMode::Synchronous, CompletionMode::ControllerThread), ModeName);

}  // namespace
}  // namespace bulkcom_test
