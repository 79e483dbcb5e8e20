// Kernel rules a driver can break: each stops the machine with the stop
// code Windows uses, instead of carrying on.

#include "kernel/pool.h"
#include "sim/support/test_driver.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class KernelRulesTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

constexpr ULONG Tag = sim::PoolTag("Test");
constexpr ULONG IoctlAny = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Sends a control request to a device whose driver answers with `answer`.
void SendTo(const DispatchHandler& answer)
{
    TestDriver driver(u"\\Driver\\rulebreaker");
    PDEVICE_OBJECT device = driver.CreateDevice();
    driver.On(IRP_MJ_DEVICE_CONTROL, answer);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status;
    PIRP irp = IoBuildDeviceIoControlRequest(IoctlAny, device, nullptr, 0, nullptr, 0, FALSE, &event, &status);
    IoCallDriver(device, irp);
}

TEST_F(KernelRulesTest, RequestsAreCompletedOnceWithoutACancelRoutineAndNotAsPending)
{
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) {
                     CompleteWith(irp, STATUS_SUCCESS);
                     return CompleteWith(irp, STATUS_SUCCESS);
                 }),
                 "MULTIPLE_IRP_COMPLETE_REQUESTS");
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) {
                     PDRIVER_CANCEL cancel = [](PDEVICE_OBJECT, PIRP) {};
                     IoSetCancelRoutine(irp, cancel);
                     return CompleteWith(irp, STATUS_SUCCESS);
                 }),
                 "CANCEL_STATE_IN_COMPLETED_IRP");
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_PENDING); }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION");
}

TEST_F(KernelRulesTest, SemaphoreReleaseBeyondItsLimitAndBlockingAtDispatchLevel)
{
    EXPECT_DEATH(
        [] {
            KSEMAPHORE semaphore;
            KeInitializeSemaphore(&semaphore, 1, 2);
            KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 2, FALSE);
        }(),
        "SEMAPHORE_LIMIT_EXCEEDED");

    auto waitAtDispatch = [](PLARGE_INTEGER timeout) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout);
    };
    EXPECT_DEATH(waitAtDispatch(nullptr), "IRQL_NOT_LESS_OR_EQUAL");
    LARGE_INTEGER tenMilliseconds;
    tenMilliseconds.QuadPart = -10 * 10'000;
    EXPECT_DEATH(waitAtDispatch(&tenMilliseconds), "IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(KernelRulesTest, PoolIsUsedAtTheRightLevelAndFreedOnceWithItsOwnTag)
{
    auto atDispatch = [](auto&& action) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        action();
    };
    EXPECT_DEATH(atDispatch([] { ExAllocatePoolWithTag(PagedPool, 16, Tag); }), "BAD_POOL_CALLER");
    EXPECT_DEATH(
        [&] {
            PVOID paged = ExAllocatePoolWithTag(PagedPool, 16, Tag);
            atDispatch([&] { ExFreePoolWithTag(paged, Tag); });
        }(),
        "BAD_POOL_CALLER");
    EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 16, Tag), Tag + 1), "BAD_POOL_CALLER");
    EXPECT_DEATH(
        [] {
            PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, Tag);
            ExFreePool(block);
            ExFreePool(block);
        }(),
        "BAD_POOL_CALLER");
}

TEST_F(KernelRulesTest, SpinLocksAreReleasedAtDispatchLevelAndIrqlOnlyRaisedUpwards)
{
    EXPECT_DEATH(
        [] {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeLowerIrql(PASSIVE_LEVEL);
            KeReleaseSpinLock(&lock, old);
        }(),
        "IRQL_NOT_DISPATCH_LEVEL");
    EXPECT_DEATH(
        [] {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        }(),
        "IRQL_NOT_GREATER_OR_EQUAL");
}

// Pageable code, as the driver marks it.
NTSTATUS PageableRoutine()
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}

TEST_F(KernelRulesTest, PageableCodeRunsAtApcLevelAtMost)
{
    auto runAt = [](KIRQL irql) {
        KIRQL old;
        KeRaiseIrql(irql, &old);
        NTSTATUS status = PageableRoutine();
        KeLowerIrql(old);
        return status;
    };
    EXPECT_EQ(runAt(APC_LEVEL), STATUS_SUCCESS);
    EXPECT_DEATH(runAt(DISPATCH_LEVEL), "IRQL_NOT_LESS_OR_EQUAL(.|\n)*PageableRoutine called at IRQL 2");
}

TEST_F(KernelRulesTest, AttachedDeviceIsNotDeleted)
{
    auto deleteAttached = [](bool deleteUpper) {
        TestDriver lowerDriver(u"\\Driver\\lower");
        TestDriver upperDriver(u"\\Driver\\upper");
        PDEVICE_OBJECT lower = lowerDriver.CreateDevice();
        PDEVICE_OBJECT upper = upperDriver.CreateDevice({}, lower);
        IoDeleteDevice(deleteUpper ? upper : lower);
    };
    EXPECT_DEATH(deleteAttached(true), "DEVICE_STILL_ATTACHED");
    EXPECT_DEATH(deleteAttached(false), "DEVICE_STILL_ATTACHED");
}

}  // namespace
}  // namespace bulkcom_test
