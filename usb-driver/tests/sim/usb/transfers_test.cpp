// Bulk transfers through the USB bus driver in both completion modes: the
// loopback round trip, the packet rules that end an IN transfer, babble,
// partial OUT transfers, stalls and other errors on the wire that halt an
// endpoint until its reset, cancellation, and the order and extent of the
// request log.

#include <memory>
#include <optional>

#include "sim/support/configured_bus_test.h"
#include "usb/loopback_device.h"
#include "usb/scripted_device.h"

namespace bulkcom_test {
namespace {

using sim::CompletionMode;

constexpr ULONG WholeBuffer = 65536;

class UsbTransfersTest : public ConfiguredBusTest {
protected:
    // A transfer that has reached the device and waits there.
    void ExpectWaiting(UsbTransfer& transfer, size_t waiting = 1)
    {
        bus_->Flush();
        EXPECT_FALSE(transfer.Call().Ended());
        EXPECT_EQ(bus_->WaitingTransfers(pdo_), waiting);
    }
};

TEST_P(UsbTransfersTest, LoopbackSendsEachMessageBackAsOneRead)
{
    Attach(std::make_shared<sim::LoopbackDevice>());
    // 64 is the packet size: a zero-length packet must end that read.
    for (size_t length : {size_t{1}, size_t{64}, size_t{100}, size_t{WholeBuffer - 1}}) {
        SCOPED_TRACE(length);
        auto write = client_->Write(out_, Pattern(length, static_cast<UCHAR>(length)));
        ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
        EXPECT_EQ(write->Transferred(), length);
        EXPECT_EQ(write->Urb().UrbHeader.Status, USBD_STATUS_SUCCESS);

        auto read = client_->Read(in_, WholeBuffer);
        ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
        EXPECT_EQ(read->Transferred(), length);
        EXPECT_EQ(read->Received(), Pattern(length, static_cast<UCHAR>(length)));
    }
    // Had a zero-length packet been left behind, this read would end empty.
    auto marker = client_->Write(out_, {0x42});
    ASSERT_EQ(marker->Wait(), STATUS_SUCCESS);
    auto read = client_->Read(in_, WholeBuffer);
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Received(), std::vector<UCHAR>{0x42});
}

TEST_P(UsbTransfersTest, AMessageThatFillsTheReadLeavesItsZeroLengthPacketForTheNext)
{
    Attach(std::make_shared<sim::LoopbackDevice>());
    auto write = client_->Write(out_, Pattern(WholeBuffer));
    ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(write->Transferred(), WholeBuffer);

    // The buffer is full at a packet boundary, which ends the transfer.
    auto read = client_->Read(in_, WholeBuffer);
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Transferred(), WholeBuffer);
    EXPECT_EQ(read->Received(), Pattern(WholeBuffer));

    auto next = client_->Read(in_, WholeBuffer);
    ASSERT_EQ(next->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(next->Transferred(), 0u);
}

TEST_P(UsbTransfersTest, AReadWaitsUntilTheLoopbackHasSomethingToSend)
{
    Attach(std::make_shared<sim::LoopbackDevice>());
    auto read = client_->Read(in_, WholeBuffer);
    ExpectWaiting(*read);
    auto write = client_->Write(out_, Pattern(10));
    ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Received(), Pattern(10));
    EXPECT_EQ(bus_->WaitingTransfers(pdo_), 0u);
}

TEST_P(UsbTransfersTest, AShortPacketEndsTheRead)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    device->SendPackets(Pattern(100));  // 64 bytes, then a short 36
    device->SendMessage(Pattern(12, 9));
    auto first = client_->Read(in_, WholeBuffer);
    ASSERT_EQ(first->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(first->Received(), Pattern(100));
    EXPECT_EQ(first->Buffer()[100], UntouchedByte);

    auto second = client_->Read(in_, 64);
    ASSERT_EQ(second->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(second->Received(), Pattern(12, 9));
}

TEST_P(UsbTransfersTest, FullPacketsKeepTheReadWaitingForTheEnd)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    auto read = client_->Read(in_, WholeBuffer);
    device->SendPackets(Pattern(128));
    ExpectWaiting(*read);
    device->SendPacket({});
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Received(), Pattern(128));
}

TEST_P(UsbTransfersTest, AZeroLengthPacketEndsAReadWithNothing)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    device->SendPacket({});
    auto read = client_->Read(in_, WholeBuffer);
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Transferred(), 0u);
    EXPECT_EQ(read->Buffer()[0], UntouchedByte);
}

TEST_P(UsbTransfersTest, DataBeyondTheOfferedLengthIsBabbleAndHaltsTheEndpoint)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    // The second full packet does not fit in the 36 bytes left.
    device->SendPackets(Pattern(128));
    auto read = client_->Read(in_, 100);
    EXPECT_EQ(read->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read->Urb().UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_LE(read->Transferred(), 100u);

    device->SendMessage(Pattern(3));
    auto halted = client_->Read(in_, 64);
    EXPECT_EQ(halted->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(halted->Urb().UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

    EXPECT_EQ(client_->ResetPipe(in_), STATUS_SUCCESS);
    auto after = client_->Read(in_, 64);
    ASSERT_EQ(after->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(after->Received(), Pattern(3));
}

TEST_P(UsbTransfersTest, APacketLongerThanThePacketSizeIsBabble)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    device->SendPacket(Pattern(65));
    device->SendPacket({});  // so that a bus missing the babble ends the read instead of waiting
    auto read = client_->Read(in_, WholeBuffer);
    EXPECT_EQ(read->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read->Urb().UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
}

TEST_P(UsbTransfersTest, AnOutTransferMayBeTakenOnlyInPart)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    device->AcceptOut(9);
    auto write = client_->Write(out_, Pattern(10));
    ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(write->Transferred(), 9u);
    auto whole = client_->Write(out_, Pattern(4, 50));
    ASSERT_EQ(whole->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(whole->Transferred(), 4u) << "with no answer queued the device takes everything";
    EXPECT_EQ(device->Written(), (std::vector<std::vector<UCHAR>>{Pattern(9), Pattern(4, 50)}));
}

TEST_P(UsbTransfersTest, AStallFailsEveryTransferUntilThePipeIsReset)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    device->StallOut();
    auto stalled = client_->Write(out_, Pattern(8));
    EXPECT_EQ(stalled->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled->Urb().UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(stalled->Transferred(), 0u);

    auto halted = client_->Write(out_, Pattern(8));
    EXPECT_EQ(halted->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(halted->Urb().UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_TRUE(device->Written().empty()) << "nothing reaches a halted endpoint";

    URB reset;
    EXPECT_EQ(client_->ResetPipe(out_, &reset), STATUS_SUCCESS);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(device->EndpointResets(sim::BulkOutEndpoint), 1u);
    auto after = client_->Write(out_, Pattern(8));
    EXPECT_EQ(after->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(after->Transferred(), 8u);

    // The IN endpoint was never halted by the OUT stall.
    device->StallIn();
    device->SendMessage(Pattern(2));
    EXPECT_EQ(client_->Read(in_, 64)->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client_->ResetPipe(in_), STATUS_SUCCESS);
    auto read = client_->Read(in_, 64);
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Received(), Pattern(2));
}

TEST_P(UsbTransfersTest, AnErrorOnTheWireHaltsTheEndpointUntilAResetAndTheStacksOwnStatusesDoNot)
{
    struct Case {
        const char* name;
        NTSTATUS status;
        USBD_STATUS usbdStatus;
        bool halts;
        bool portReset;  // cleared by a port reset instead of a pipe reset
    };
    const Case cases[] = {
        {"transaction error", STATUS_DEVICE_DATA_ERROR, USBD_STATUS_XACT_ERROR, true, false},
        {"no response", STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, true, true},
        {"CRC", STATUS_UNSUCCESSFUL, USBD_STATUS_CRC, true, false},
        {"stack timeout", STATUS_IO_TIMEOUT, USBD_STATUS_TIMEOUT, false, false},
        {"controller fault", STATUS_UNSUCCESSFUL, USBD_STATUS_INTERNAL_HC_ERROR, false, false},
    };
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device->FailOut(c.status, c.usbdStatus);
        auto failed = client_->Write(out_, Pattern(3));
        EXPECT_EQ(failed->Wait(), c.status) << "the device's status reaches the driver unchanged";
        EXPECT_EQ(failed->Urb().UrbHeader.Status, c.usbdStatus);
        size_t written = device->Written().size();
        if (c.halts) {
            auto halted = client_->Write(out_, Pattern(3));
            EXPECT_EQ(halted->Wait(), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(halted->Urb().UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
            EXPECT_EQ(device->Written().size(), written) << "nothing reaches a halted endpoint";
            device->SendMessage(Pattern(2));
            EXPECT_EQ(client_->Read(in_, 64)->Wait(), STATUS_SUCCESS) << "the other endpoint goes on";
            EXPECT_EQ(c.portReset ? client_->PortRequest(IOCTL_INTERNAL_USB_RESET_PORT) : client_->ResetPipe(out_),
                      STATUS_SUCCESS);
        }
        auto next = client_->Write(out_, Pattern(3));
        EXPECT_EQ(next->Wait(), STATUS_SUCCESS);
        EXPECT_EQ(device->Written().size(), written + 1);
    }
    device->FailIn(STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(client_->Read(in_, 64)->Wait(), STATUS_UNSUCCESSFUL);
    auto halted = client_->Read(in_, 64);
    EXPECT_EQ(halted->Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(halted->Urb().UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED) << "an IN endpoint too";
}

TEST_P(UsbTransfersTest, CancellingAWaitingReadEndsItWithStatusCancelled)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    auto read = client_->Read(in_, WholeBuffer);
    ExpectWaiting(*read);
    EXPECT_TRUE(read->Call().Cancel());
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(read->Urb().UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(read->Transferred(), 0u);
    EXPECT_EQ(bus_->WaitingTransfers(pdo_), 0u);

    device->SendMessage(Pattern(6));
    auto next = client_->Read(in_, WholeBuffer);
    ASSERT_EQ(next->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(next->Received(), Pattern(6)) << "the cancelled read took none of the data that came after";
}

TEST_P(UsbTransfersTest, AReadCancelledBeforeItReachesTheEndpointEndsCancelled)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    device->SendMessage(Pattern(4));
    URB urb{};
    auto& transfer = urb.UrbBulkOrInterruptTransfer;
    std::vector<UCHAR> buffer(64, UntouchedByte);
    transfer.Hdr.Length = sizeof(transfer);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = in_;
    transfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    transfer.TransferBufferLength = 64;
    transfer.TransferBuffer = buffer.data();
    KEVENT event;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo_, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &status);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    // No cancel routine yet: the cancellation is only marked on the request.
    EXPECT_FALSE(IoCancelIrp(irp));
    IoCallDriver(pdo_, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status.Status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(buffer[0], UntouchedByte);

    auto next = client_->Read(in_, 64);
    ASSERT_EQ(next->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(next->Received(), Pattern(4));
}

TEST_P(UsbTransfersTest, AnUnansweredTransferHoldsItsEndpointUntilCancelled)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    device->IgnoreIn();
    device->SendMessage(Pattern(5));
    auto ignored = client_->Read(in_, 64);
    auto behind = client_->Read(in_, 64);
    ExpectWaiting(*ignored, 2);
    EXPECT_FALSE(behind->Call().Ended()) << "an endpoint keeps its transfers in order";

    EXPECT_TRUE(ignored->Call().Cancel());
    EXPECT_EQ(ignored->Wait(), STATUS_CANCELLED);
    ASSERT_EQ(behind->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(behind->Received(), Pattern(5));

    device->IgnoreOut();
    auto unanswered = client_->Write(out_, Pattern(4));
    ExpectWaiting(*unanswered);
    EXPECT_TRUE(unanswered->Call().Cancel());
    EXPECT_EQ(unanswered->Wait(), STATUS_CANCELLED);
}

TEST_P(UsbTransfersTest, TheLogKeepsRequestsInTheOrderTheyArrived)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    size_t mark = bus_->RequestCount(pdo_);
    device->FailOut(STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(client_->Write(out_, Pattern(10))->Wait(), STATUS_UNSUCCESSFUL);
    // What a driver sends to recover.
    EXPECT_EQ(client_->ResetPipe(out_), STATUS_SUCCESS);
    EXPECT_EQ(client_->ResetPipe(in_), STATUS_SUCCESS);
    EXPECT_EQ(client_->PortRequest(IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
    device->SendMessage(Pattern(3));
    EXPECT_EQ(client_->Read(in_, WholeBuffer)->Wait(), STATUS_SUCCESS);

    std::vector<sim::UsbRequestRecord> log = bus_->Requests(pdo_, mark);
    ASSERT_EQ(log.size(), 5u);
    const sim::UsbRequestRecord& write = log[0];
    EXPECT_EQ(write.urbFunction, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(write.endpointAddress, sim::BulkOutEndpoint);
    EXPECT_EQ(write.transferFlags, ULONG{USBD_TRANSFER_DIRECTION_OUT});
    EXPECT_EQ(write.requestedLength, 10u);
    EXPECT_EQ(write.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write.usbdStatus, USBD_STATUS_XACT_ERROR);

    EXPECT_EQ(log[1].kind, sim::UsbRequestKind::SubmitUrb);
    EXPECT_EQ(log[1].urbFunction, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    EXPECT_EQ(log[1].endpointAddress, sim::BulkOutEndpoint);
    EXPECT_EQ(log[2].urbFunction, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    EXPECT_EQ(log[2].endpointAddress, sim::BulkInEndpoint);
    EXPECT_EQ(log[3].kind, sim::UsbRequestKind::ResetPort);
    EXPECT_EQ(log[3].majorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(log[3].ioControlCode, ULONG{IOCTL_INTERNAL_USB_RESET_PORT});
    EXPECT_EQ(log[3].status, STATUS_SUCCESS);

    const sim::UsbRequestRecord& read = log[4];
    EXPECT_EQ(read.endpointAddress, sim::BulkInEndpoint);
    EXPECT_EQ(read.transferFlags, ULONG{USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK});
    EXPECT_EQ(read.requestedLength, WholeBuffer);
    EXPECT_EQ(read.transferredLength, 3u);
    EXPECT_TRUE(read.completed);
}

TEST_P(UsbTransfersTest, TheLogKeepsTheLatestRequestsAndCountsThemAll)
{
    auto device = std::make_shared<sim::ScriptedDevice>();
    Attach(device);
    size_t mark = bus_->RequestCount(pdo_);
    // A read still waits while more requests than the log keeps go by.
    auto read = client_->Read(in_, 64);
    constexpr size_t passing = sim::UsbRequestLog::Window + 10;
    for (size_t i = 0; i < passing; i++) {
        NTSTATUS status = STATUS_PENDING;
        client_->PortStatus(&status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    device->SendMessage(Pattern(3));
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Received(), Pattern(3));

    EXPECT_EQ(bus_->RequestCount(pdo_), mark + 1 + passing);
    std::vector<sim::UsbRequestRecord> log = bus_->Requests(pdo_);
    ASSERT_EQ(log.size(), sim::UsbRequestLog::Window);
    EXPECT_EQ(log.back().kind, sim::UsbRequestKind::GetPortStatus);
    EXPECT_TRUE(log.back().completed);
    EXPECT_EQ(bus_->Requests(pdo_, mark + passing).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Usb, UsbTransfersTest,
                         ::testing::Values(CompletionMode::Synchronous, CompletionMode::ControllerThread), ModeName);

}  // namespace
}  // namespace bulkcom_test
