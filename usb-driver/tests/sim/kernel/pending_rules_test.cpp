// What a dispatch routine returns must agree with whether it marked the
// request pending, and a completion routine must carry a pending request's
// mark upward; Driver Verifier's I/O checks stop a driver that gets either
// wrong, and so does the simulated platform.

#include "sim/support/test_driver.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class PendingRulesTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

constexpr ULONG IoctlAny = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A driver below that holds every request it is given, marked pending, until
// the test completes it.
class Holder {
public:
    Holder() : driver_(u"\\Driver\\holder"), device_(driver_.CreateDevice())
    {
        driver_.On(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held_ = irp;
            return STATUS_PENDING;
        });
    }
    PDEVICE_OBJECT Device() const { return device_; }
    void Complete(NTSTATUS status) { CompleteWith(held_, status); }

private:
    TestDriver driver_;
    PDEVICE_OBJECT device_;
    PIRP held_ = nullptr;
};

// Sends a control request to `device` and waits for it, as a caller of
// IoBuildDeviceIoControlRequest does.
NTSTATUS SendAndWait(PDEVICE_OBJECT device, const std::function<void()>& whilePending = {})
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(IoctlAny, device, nullptr, 0, nullptr, 0, FALSE, &event, &status);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        if (whilePending) {
            whilePending();
        }
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return status.Status;
}

void SendTo(const DispatchHandler& answer)
{
    TestDriver driver(u"\\Driver\\rulebreaker");
    PDEVICE_OBJECT device = driver.CreateDevice();
    driver.On(IRP_MJ_DEVICE_CONTROL, answer);
    SendAndWait(device);
}

TEST_F(PendingRulesTest, StatusPendingIsReturnedOnlyForARequestMarkedPending)
{
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION.*STATUS_PENDING without marking");
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     return CompleteWith(irp, STATUS_SUCCESS);
                 }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION.*marked the request pending and returned STATUS_SUCCESS");
}

TEST_F(PendingRulesTest, ARequestMarkedPendingMayBeCompletedBeforeItsDispatchRoutineReturns)
{
    TestDriver driver(u"\\Driver\\sound");
    PDEVICE_OBJECT device = driver.CreateDevice();
    driver.On(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        CompleteWith(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    EXPECT_EQ(SendAndWait(device), STATUS_SUCCESS);
}

TEST_F(PendingRulesTest, ADriverPassingARequestDownReturnsThePendingOfTheDriverBelow)
{
    Holder below;
    TestDriver upper(u"\\Driver\\upper");
    PDEVICE_OBJECT device = upper.CreateDevice({}, below.Device());
    upper.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT self, PIRP irp) { return PassDown(upper.Below(self), irp); });
    EXPECT_EQ(SendAndWait(device, [&] { below.Complete(STATUS_SUCCESS); }), STATUS_SUCCESS);
}

IO_COMPLETION_ROUTINE Propagates;
NTSTATUS NTAPI Propagates(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

IO_COMPLETION_ROUTINE DropsThePending;
NTSTATUS NTAPI DropsThePending(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_SUCCESS;
}

// An upper driver that passes each request down with `routine` as its
// completion routine.
void PassDownThrough(PIO_COMPLETION_ROUTINE routine)
{
    Holder below;
    TestDriver upper(u"\\Driver\\upper");
    PDEVICE_OBJECT device = upper.CreateDevice({}, below.Device());
    upper.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT self, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(upper.Below(self), irp);
    });
    EXPECT_EQ(SendAndWait(device, [&] { below.Complete(STATUS_SUCCESS); }), STATUS_SUCCESS);
}

TEST_F(PendingRulesTest, ACompletionRoutineCarriesThePendingOfARequestFromAbove)
{
    PassDownThrough(Propagates);
    EXPECT_DEATH(PassDownThrough(DropsThePending),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION.*without marking its own location pending");
}

IO_COMPLETION_ROUTINE FreesItsOwnRequest;
NTSTATUS NTAPI FreesItsOwnRequest(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    EXPECT_TRUE(irp->PendingReturned);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

IO_COMPLETION_ROUTINE LetsItsOwnRequestFinish;
NTSTATUS NTAPI LetsItsOwnRequestFinish(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    EXPECT_TRUE(irp->PendingReturned);
    return STATUS_SUCCESS;
}

TEST_F(PendingRulesTest, TheCompletionRoutineOfARequestADriverBuiltHasNoLocationToMark)
{
    Holder below;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(below.Device()->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoctlAny;
    IoSetCompletionRoutine(irp, FreesItsOwnRequest, &done, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(below.Device(), irp), STATUS_PENDING);
    below.Complete(STATUS_SUCCESS);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP built =
        IoBuildDeviceIoControlRequest(IoctlAny, below.Device(), nullptr, 0, nullptr, 0, FALSE, &event, &status);
    IoSetCompletionRoutine(built, LetsItsOwnRequestFinish, nullptr, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(below.Device(), built), STATUS_PENDING);
    below.Complete(STATUS_SUCCESS);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace bulkcom_test
