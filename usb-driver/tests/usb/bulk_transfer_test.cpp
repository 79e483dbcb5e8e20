// The bulk transfer: its checks, the length rules of reads and writes, the
// statuses and the recovery after failures, and the timeout handshake with
// its completion routine in every interleaving, driven by kernel hooks.

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <numeric>

#include "kernel/fault_injection.h"
#include "kernel/hooks.h"
#include "kernel/irp.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"
#include "usb/descriptor_variants.h"
#include "usb/scripted_device.h"
#include "usb/usb.h"

namespace bulkcom_test {
namespace {

using sim::CompletionMode;
using sim::UsbRequestKind;

constexpr LONGLONG OneSecond = 10'000'000;
constexpr LONGLONG ShortTimeout = 200'000;  // 20 ms

// Records every completion of every request, to tell a stopped and resumed
// completion from a double one.
class CompletionCounter {
public:
    CompletionCounter()
    {
        sim::Hooks().irpCompleting = [this](PIRP irp) {
            std::lock_guard guard(lock_);
            calls_[irp]++;
            last_ = irp;
        };
    }
    ~CompletionCounter() { sim::Hooks().irpCompleting = nullptr; }
    PIRP LastRequest()
    {
        std::lock_guard guard(lock_);
        return last_;
    }
    unsigned CallsFor(PIRP irp)
    {
        std::lock_guard guard(lock_);
        return calls_[irp];
    }

private:
    std::mutex lock_;
    std::map<PIRP, unsigned> calls_;
    PIRP last_ = nullptr;
};

class BulkTransferFixture : public SimTest {
protected:
    virtual CompletionMode Mode() const = 0;

    void SetUp() override
    {
        SimTest::SetUp();
        device_ = std::make_shared<sim::ScriptedDevice>();
        dut_ = std::make_unique<UsbDeviceUnderTest>(device_, Mode());
        dut_->AddAndStart();
        dut_->NewRequests();
    }
    void TearDown() override
    {
        dut_.reset();
        device_.reset();
        SimTest::TearDown();
    }

    NTSTATUS Transfer(TRANSFER_DIRECTION direction, PVOID buffer, ULONG length, ULONG* count,
                      LONGLONG timeout = OneSecond)
    {
        LARGE_INTEGER limit;
        limit.QuadPart = timeout;
        return BulkTransfer(dut_->Fdo(), direction, buffer, length, count, &limit);
    }

    bool RecoveryRan()
    {
        std::vector<sim::UsbRequestRecord> sent = dut_->NewRequests();
        return std::any_of(sent.begin(), sent.end(), [](const auto& r) { return r.kind == UsbRequestKind::ResetPort; });
    }

    std::shared_ptr<sim::ScriptedDevice> device_;
    std::unique_ptr<UsbDeviceUnderTest> dut_;
};

// Run with the bus completing in the caller's thread and from its
// controller thread.
class BulkTransferTest : public BulkTransferFixture, public ::testing::WithParamInterface<CompletionMode> {
protected:
    CompletionMode Mode() const override { return GetParam(); }
};

// The bus completes cancelled transfers inside its cancel routine.
class BulkTransferCallerThreadTest : public BulkTransferFixture {
protected:
    CompletionMode Mode() const override { return CompletionMode::Synchronous; }
};

// The bus completes everything later, on its controller thread.
class BulkTransferControllerThreadTest : public BulkTransferFixture {
protected:
    CompletionMode Mode() const override { return CompletionMode::ControllerThread; }
};

TEST_P(BulkTransferTest, ArgumentsAreCheckedBeforeAnythingIsSent)
{
    PDEVICE_EXTENSION extension = dut_->Extension();
    UCHAR buffer[16] = {};
    ULONG count = 77;

    PUSBD_PIPE_INFORMATION out = extension->BulkOutPipe;
    extension->BulkOutPipe = nullptr;
    EXPECT_EQ(Transfer(TransferOut, buffer, 0, &count), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(count, 77u) << "a missing pipe leaves the count alone";
    extension->BulkOutPipe = out;

    EXPECT_EQ(Transfer(TransferOut, buffer, 0, &count), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Transfer(TransferIn, nullptr, 5, &count), STATUS_INVALID_PARAMETER);
    std::vector<UCHAR> big(BulkBufferSize + 1);
    EXPECT_EQ(Transfer(TransferOut, big.data(), BulkBufferSize + 1, &count), STATUS_INVALID_PARAMETER);

    extension->Removed = TRUE;
    EXPECT_EQ(Transfer(TransferOut, buffer, 0, &count), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Transfer(TransferOut, big.data(), BulkBufferSize + 1, &count), STATUS_DELETE_PENDING);
    extension->Removed = FALSE;
    EXPECT_TRUE(dut_->NewRequests().empty());

    std::iota(big.begin(), big.end(), UCHAR{0});
    count = 0;
    EXPECT_EQ(Transfer(TransferOut, big.data(), BulkBufferSize, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, BulkBufferSize);
    std::vector<std::vector<UCHAR>> written = device_->Written();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], std::vector<UCHAR>(big.begin(), big.begin() + BulkBufferSize));
}

TEST_P(BulkTransferTest, AReadOffersTheWholeBufferAndTakesOnlyWhatFits)
{
    std::array<UCHAR, 64> buffer;
    buffer.fill(0xEE);
    std::vector<UCHAR> twelve(12, 0x12);
    device_->SendMessage(twelve);
    ULONG count = 0;
    EXPECT_EQ(Transfer(TransferIn, buffer.data(), 64, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 12u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 12, [](UCHAR b) { return b == 0x12; }));
    EXPECT_EQ(buffer[12], 0xEE) << "nothing beyond the message is written";
    std::vector<sim::UsbRequestRecord> sent = dut_->NewRequests();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().requestedLength, BulkBufferSize);
    EXPECT_EQ(sent.back().transferFlags, ULONG{USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK});

    buffer.fill(0xEE);
    device_->SendMessage(std::vector<UCHAR>(10, 0x10));
    EXPECT_EQ(Transfer(TransferIn, buffer.data(), 5, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buffer[0], 0xEE) << "a message that does not fit is dropped";

    device_->SendPacket({});
    count = 9;
    EXPECT_EQ(Transfer(TransferIn, buffer.data(), 5, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_FALSE(RecoveryRan());
}

TEST_P(BulkTransferTest, AWriteIsOneTransferOfTheCallersBytesAndMustBeTakenWhole)
{
    std::vector<UCHAR> message = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ULONG count = 0;
    EXPECT_EQ(Transfer(TransferOut, message.data(), 10, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 10u);
    std::vector<sim::UsbRequestRecord> sent = dut_->NewRequests();
    EXPECT_EQ(sent.back().requestedLength, 10u);
    EXPECT_EQ(sent.back().transferFlags, ULONG{USBD_TRANSFER_DIRECTION_OUT});

    device_->AcceptOut(9);
    EXPECT_EQ(Transfer(TransferOut, message.data(), 10, &count), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(RecoveryRan()) << "a short write is no failure of the bus";
    EXPECT_EQ(device_->Written().size(), 2u);
}

TEST_P(BulkTransferTest, FailuresMapToFewStatusesAndRecoverUnlessCancelledOrGone)
{
    struct Case {
        NTSTATUS busStatus;
        NTSTATUS result;
        bool recovers;
    };
    const Case cases[] = {
        {STATUS_UNSUCCESSFUL, STATUS_IO_DEVICE_ERROR, true},
        {STATUS_IO_TIMEOUT, STATUS_IO_TIMEOUT, true},
        {STATUS_CANCELLED, STATUS_IO_DEVICE_ERROR, false},
        {STATUS_DEVICE_NOT_CONNECTED, STATUS_IO_DEVICE_ERROR, false},
        {STATUS_TIMEOUT, STATUS_TIMEOUT, false},
        {STATUS_REPARSE, STATUS_IO_DEVICE_ERROR, false},
    };
    UCHAR buffer[8];
    for (const Case& c : cases) {
        SCOPED_TRACE("bus status " + std::to_string(c.busStatus));
        device_->FailIn(c.busStatus, USBD_STATUS_INTERNAL_HC_ERROR);
        ULONG count = 5;
        EXPECT_EQ(Transfer(TransferIn, buffer, sizeof buffer, &count), c.result);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(RecoveryRan(), c.recovers);
    }
    unsigned outResets = device_->EndpointResets(sim::BulkOutEndpoint);
    unsigned inResets = device_->EndpointResets(sim::BulkInEndpoint);
    unsigned portResets = device_->PortResets();
    device_->StallOut();
    ULONG count = 0;
    EXPECT_EQ(Transfer(TransferOut, buffer, sizeof buffer, &count), STATUS_IO_DEVICE_ERROR);
    EXPECT_TRUE(RecoveryRan());
    EXPECT_EQ(device_->EndpointResets(sim::BulkOutEndpoint), outResets + 1);
    EXPECT_EQ(device_->EndpointResets(sim::BulkInEndpoint), inResets + 1);
    EXPECT_EQ(device_->PortResets(), portResets + 1);
}

TEST_P(BulkTransferTest, ADeviceThatNeverAnswersTimesOutWithoutRecovery)
{
    CompletionCounter completions;
    device_->IgnoreIn();
    UCHAR buffer[8];
    ULONG count = 3;
    EXPECT_EQ(Transfer(TransferIn, buffer, sizeof buffer, &count, ShortTimeout), STATUS_IO_TIMEOUT);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(sim::FinishedCompletions(completions.LastRequest()), 1u) << "returned only once fully completed";
    EXPECT_FALSE(RecoveryRan());
    EXPECT_EQ(dut_->Bus().WaitingTransfers(dut_->Pdo()), 0u);
}

TEST_P(BulkTransferTest, CompletionBetweenExpiryAndTheFirstExchange)
{
    CompletionCounter completions;
    // At the moment the wait runs out, before BulkTransfer acts on it, the
    // device answers and the completion runs to its end.
    sim::Hooks().timedWaitExpired = [this](PVOID) {
        device_->SendMessage(std::vector<UCHAR>(4, 0x44));
        dut_->Bus().Flush();
    };
    UCHAR buffer[8] = {};
    ULONG count = 0;
    EXPECT_EQ(Transfer(TransferIn, buffer, sizeof buffer, &count, ShortTimeout), STATUS_IO_TIMEOUT);
    sim::Hooks().timedWaitExpired = nullptr;
    PIRP irp = completions.LastRequest();
    EXPECT_EQ(completions.CallsFor(irp), 1u) << "no cancel and no second completion";
    EXPECT_EQ(sim::FinishedCompletions(irp), 1u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buffer[0], 0) << "data that arrived meanwhile are dropped";
}

TEST_F(BulkTransferControllerThreadTest, CompletionAfterTheCancelReturned)
{
    CompletionCounter completions;
    device_->IgnoreIn();
    // The transfer is queued at the endpoint before the wait begins; when it
    // runs out the controller is held, so the cancellation completes only
    // once BulkTransfer has made both exchanges and waits for the end.
    unsigned blocked = 0;
    sim::Hooks().timedWaitStarted = [this](PVOID, LONGLONG) { dut_->Bus().Flush(); };
    sim::Hooks().timedWaitExpired = [this](PVOID) { dut_->Bus().HoldController(); };
    sim::Hooks().waitBlocking = [this, &blocked](PVOID) {
        if (++blocked == 2) {
            dut_->Bus().ReleaseController();
        }
    };
    UCHAR buffer[8];
    ULONG count = 0;
    EXPECT_EQ(Transfer(TransferIn, buffer, sizeof buffer, &count, ShortTimeout), STATUS_IO_TIMEOUT);
    sim::Hooks() = sim::KernelHooks{};
    PIRP irp = completions.LastRequest();
    EXPECT_EQ(blocked, 2u);
    EXPECT_EQ(completions.CallsFor(irp), 1u);
    EXPECT_EQ(sim::FinishedCompletions(irp), 1u);
}

TEST_F(BulkTransferCallerThreadTest, CompletionInsideTheCancelIsStoppedAndResumedOnce)
{
    CompletionCounter completions;
    device_->IgnoreIn();
    UCHAR buffer[8];
    ULONG count = 0;
    EXPECT_EQ(Transfer(TransferIn, buffer, sizeof buffer, &count, ShortTimeout), STATUS_IO_TIMEOUT);
    PIRP irp = completions.LastRequest();
    // The bus completed it inside IoCancelIrp, the completion routine found
    // BulkTransfer between its exchanges and stopped; BulkTransfer resumed it.
    EXPECT_EQ(completions.CallsFor(irp), 2u);
    EXPECT_EQ(sim::FinishedCompletions(irp), 1u);
}

TEST_P(BulkTransferTest, UnplugDuringATransferEndsItWithoutRecovery)
{
    UCHAR buffer[8];
    ULONG count = 0;
    sim::Hooks().timedWaitStarted = [this](PVOID, LONGLONG) {
        dut_->Bus().Flush();
        dut_->Bus().Unplug(dut_->Pdo());
    };
    EXPECT_EQ(Transfer(TransferIn, buffer, sizeof buffer, &count), STATUS_IO_DEVICE_ERROR);
    sim::Hooks().timedWaitStarted = nullptr;
    EXPECT_FALSE(RecoveryRan());
    EXPECT_FALSE(IsPortConnected(dut_->Fdo()));
}

TEST_P(BulkTransferTest, EveryAllocationFailureIsReportedAndNothingIsSent)
{
    UCHAR buffer[8] = {};
    for (unsigned n = 1; n <= 4; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        sim::Faults::FailNthCall(sim::Fault::PoolAllocation, n);
        ULONG count = 1;
        EXPECT_EQ(Transfer(TransferOut, buffer, sizeof buffer, &count), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(count, 0u);
        sim::Faults::Clear();
    }
    sim::Faults::FailNthCall(sim::Fault::BuildDeviceIoControlRequest, 1);
    ULONG count = 1;
    EXPECT_EQ(Transfer(TransferOut, buffer, sizeof buffer, &count), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(dut_->NewRequests().empty());
    EXPECT_TRUE(device_->Written().empty());
}

INSTANTIATE_TEST_SUITE_P(Usb, BulkTransferTest,
                         ::testing::Values(CompletionMode::Synchronous, CompletionMode::ControllerThread),
                         [](const auto& info) {
                             return info.param == CompletionMode::Synchronous ? "CallerThread" : "ControllerThread";
                         });

}  // namespace
}  // namespace bulkcom_test
