// URB submission and port control against the simulated USB bus, with the
// bus completing in the caller's thread and from its controller thread.

#include "kernel/fault_injection.h"
#include "kernel/irql.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"
#include "usb/descriptor_variants.h"
#include "usb/usb.h"

namespace bulkcom_test {
namespace {

using sim::UsbRequestKind;

class UsbRequestsTest : public SimTest, public ::testing::WithParamInterface<sim::CompletionMode> {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        device_ = std::make_unique<UsbDeviceUnderTest>(std::make_shared<sim::LoopbackDevice>(), GetParam());
        device_->AddAndStart();
        device_->NewRequests();
    }
    void TearDown() override
    {
        device_.reset();
        SimTest::TearDown();
    }

    PDEVICE_OBJECT Fdo() { return device_->Fdo(); }
    std::unique_ptr<UsbDeviceUnderTest> device_;
};

TEST_P(UsbRequestsTest, SubmittedUrbReportsTheRequestStatusNotTheUrbHeader)
{
    USB_DEVICE_DESCRIPTOR descriptor{};
    struct _URB_CONTROL_DESCRIPTOR_REQUEST request {};
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.TransferBuffer = &descriptor;
    request.TransferBufferLength = sizeof(descriptor);
    request.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    EXPECT_EQ(SubmitUrbSync(Fdo(), reinterpret_cast<PURB>(&request)), STATUS_SUCCESS);
    EXPECT_EQ(descriptor.idVendor, 0x1209);

    device_->Bus().FailRequests(
        device_->Pdo(), [](const sim::UsbRequestRecord& r) { return r.kind == UsbRequestKind::SubmitUrb; },
        STATUS_SUCCESS, USBD_STATUS_STALL_PID);
    EXPECT_EQ(SubmitUrbSync(Fdo(), reinterpret_cast<PURB>(&request)), STATUS_SUCCESS);
    device_->Bus().ClearFailures(device_->Pdo());
    device_->Bus().FailRequests(
        device_->Pdo(), [](const sim::UsbRequestRecord& r) { return r.kind == UsbRequestKind::SubmitUrb; },
        STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS);
    EXPECT_EQ(SubmitUrbSync(Fdo(), reinterpret_cast<PURB>(&request)), STATUS_UNSUCCESSFUL);
    device_->Bus().ClearFailures(device_->Pdo());
}

TEST_P(UsbRequestsTest, PortIsConnectedUnlessRemovedOrReportedGone)
{
    EXPECT_TRUE(IsPortConnected(Fdo()));

    device_->Bus().SetPortStatus(device_->Pdo(), USBD_PORT_ENABLED);
    EXPECT_FALSE(IsPortConnected(Fdo())) << "enabled but not connected";
    device_->Bus().SetPortStatus(device_->Pdo(), 0);
    EXPECT_FALSE(IsPortConnected(Fdo()));
    device_->Bus().SetPortStatus(device_->Pdo(), std::nullopt);

    device_->Bus().FailRequests(
        device_->Pdo(), [](const sim::UsbRequestRecord& r) { return r.kind == UsbRequestKind::GetPortStatus; },
        STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(IsPortConnected(Fdo())) << "an unanswered question is not a disconnection";
    device_->Bus().ClearFailures(device_->Pdo());
    sim::Faults::FailNthCall(sim::Fault::BuildDeviceIoControlRequest, 1);
    EXPECT_TRUE(IsPortConnected(Fdo()));
    EXPECT_EQ(device_->NewRequests().size(), 4u) << "four questions asked, one could not be built";

    device_->Extension()->Removed = TRUE;
    EXPECT_FALSE(IsPortConnected(Fdo()));
    {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_TRUE(IsPortConnected(Fdo())) << "nothing can be asked above PASSIVE_LEVEL";
    }
    EXPECT_TRUE(device_->NewRequests().empty());
    device_->Extension()->Removed = FALSE;
}

TEST_P(UsbRequestsTest, RecoveryResetsOutPipeThenInPipeThenThePort)
{
    EXPECT_EQ(RecoverPipes(Fdo()), STATUS_SUCCESS);
    std::vector<sim::UsbRequestRecord> sent = device_->NewRequests();
    std::vector<std::pair<UsbRequestKind, UCHAR>> order;
    for (const auto& record : sent) {
        if (record.kind == UsbRequestKind::SubmitUrb) {
            EXPECT_EQ(record.urbFunction, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
            order.emplace_back(record.kind, record.endpointAddress);
        } else if (record.kind == UsbRequestKind::ResetPort) {
            order.emplace_back(record.kind, 0);
        }
    }
    std::vector<std::pair<UsbRequestKind, UCHAR>> expected = {{UsbRequestKind::SubmitUrb, sim::BulkOutEndpoint},
                                                              {UsbRequestKind::SubmitUrb, sim::BulkInEndpoint},
                                                              {UsbRequestKind::ResetPort, 0}};
    EXPECT_EQ(order, expected);

    // Every step is tried whatever the one before did.
    device_->Bus().FailRequests(
        device_->Pdo(), [](const sim::UsbRequestRecord& r) { return r.kind == UsbRequestKind::SubmitUrb; },
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RecoverPipes(Fdo()), STATUS_SUCCESS);
    sent = device_->NewRequests();
    EXPECT_EQ(sent.back().kind, UsbRequestKind::ResetPort);
    device_->Bus().ClearFailures(device_->Pdo());
}

TEST_P(UsbRequestsTest, RecoveryOfADeviceWithoutPipesOrAlreadyRemoved)
{
    PDEVICE_EXTENSION extension = device_->Extension();
    PUSBD_PIPE_INFORMATION out = extension->BulkOutPipe;
    PUSBD_PIPE_INFORMATION in = extension->BulkInPipe;
    extension->BulkOutPipe = nullptr;
    extension->BulkInPipe = nullptr;
    EXPECT_EQ(RecoverPipes(Fdo()), STATUS_SUCCESS);
    std::vector<sim::UsbRequestRecord> sent = device_->NewRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, UsbRequestKind::ResetPort);
    extension->BulkOutPipe = out;
    extension->BulkInPipe = in;

    extension->Removed = TRUE;
    EXPECT_EQ(RecoverPipes(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(ResetPipe(Fdo(), in), STATUS_DELETE_PENDING);
    EXPECT_EQ(ResetPort(Fdo()), STATUS_DELETE_PENDING);
    EXPECT_EQ(CyclePort(Fdo()), STATUS_DELETE_PENDING);
    EXPECT_TRUE(device_->NewRequests().empty()) << "nothing is sent for a removed device";
    extension->Removed = FALSE;
}

TEST_P(UsbRequestsTest, PipeResetOfADisconnectedPortSendsNoUrb)
{
    device_->Bus().SetPortStatus(device_->Pdo(), 0);
    EXPECT_EQ(ResetPipe(Fdo(), device_->Extension()->BulkInPipe), STATUS_DELETE_PENDING);
    std::vector<sim::UsbRequestRecord> sent = device_->NewRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, UsbRequestKind::GetPortStatus);
    device_->Bus().SetPortStatus(device_->Pdo(), std::nullopt);
    EXPECT_EQ(CyclePort(Fdo()), STATUS_SUCCESS);
}

TEST_P(UsbRequestsTest, RequestsThatCannotBeMadeReportInsufficientResources)
{
    USB_DEVICE_DESCRIPTOR descriptor{};
    struct _URB_CONTROL_DESCRIPTOR_REQUEST request {};
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.TransferBuffer = &descriptor;
    request.TransferBufferLength = sizeof(descriptor);
    request.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;

    sim::Faults::FailNthCall(sim::Fault::PoolAllocation, 1);
    EXPECT_EQ(SubmitUrbSync(Fdo(), reinterpret_cast<PURB>(&request)), STATUS_INSUFFICIENT_RESOURCES);
    sim::Faults::FailNthCall(sim::Fault::BuildDeviceIoControlRequest, 1);
    EXPECT_EQ(SubmitUrbSync(Fdo(), reinterpret_cast<PURB>(&request)), STATUS_INSUFFICIENT_RESOURCES);
    sim::Faults::FailNthCall(sim::Fault::BuildDeviceIoControlRequest, 1);
    EXPECT_EQ(CyclePort(Fdo()), STATUS_INSUFFICIENT_RESOURCES);
    sim::Faults::FailNthCall(sim::Fault::BuildDeviceIoControlRequest, 1);
    EXPECT_EQ(ResetPort(Fdo()), STATUS_INSUFFICIENT_RESOURCES);
    // The pipe reset's own URB, after the port-status question.
    sim::Faults::FailNthCall(sim::Fault::PoolAllocation, 1);
    EXPECT_EQ(ResetPipe(Fdo(), device_->Extension()->BulkOutPipe), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(device_->NewRequests().size() == 1) << "only the port-status question went out";
}

INSTANTIATE_TEST_SUITE_P(Usb, UsbRequestsTest,
                         ::testing::Values(sim::CompletionMode::Synchronous, sim::CompletionMode::ControllerThread),
                         [](const auto& info) {
                             return info.param == sim::CompletionMode::Synchronous ? "CallerThread"
                                                                                   : "ControllerThread";
                         });

}  // namespace
}  // namespace bulkcom_test
