// Requests through the I/O manager: sending down a stack, completion and its
// routines, the I/O manager's own control requests, driver-allocated
// requests and cancellation.

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "kernel/hooks.h"
#include "kernel/irp.h"
#include "kernel/irql.h"
#include "kernel/pool.h"
#include "sim/support/test_driver.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class IrpsTest : public SimTest {};

constexpr ULONG IoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A lower device with an upper one attached, each from its own driver.
struct TwoDeviceStack {
    TestDriver lowerDriver{u"\\Driver\\lower"};
    TestDriver upperDriver{u"\\Driver\\upper"};
    PDEVICE_OBJECT lower = lowerDriver.CreateDevice();
    PDEVICE_OBJECT upper = upperDriver.CreateDevice({}, lower);
};

// The caller's side of a request built by IoBuildDeviceIoControlRequest.
struct ControlCall {
    KEVENT event;
    IO_STATUS_BLOCK status;
    PIRP irp;

    ControlCall(PDEVICE_OBJECT device, PVOID input = nullptr, ULONG inputLength = 0, PVOID output = nullptr,
                ULONG outputLength = 0)
    {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        status.Status = STATUS_PENDING;
        status.Information = 0x5A5A;
        irp = IoBuildDeviceIoControlRequest(IoctlBuffered, device, input, inputLength, output, outputLength, FALSE,
                                            &event, &status);
    }
    bool Signalled() { return KeReadStateEvent(&event) != 0; }
};

bool IsOutstanding(PIRP irp)
{
    std::vector<PIRP> outstanding = sim::OutstandingIrps();
    return std::find(outstanding.begin(), outstanding.end(), irp) != outstanding.end();
}

// What a completion routine saw.
struct Completion {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT currentLocationDevice = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* seen = static_cast<Completion*>(context);
    seen->calls++;
    seen->device = device;
    // The originator of a request has no location of its own to look at.
    if (irp->CurrentLocation <= irp->StackCount) {
        seen->currentLocationDevice = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    }
    seen->pendingReturned = irp->PendingReturned;
    if (seen->result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return seen->result;
}

// Forwards with its own completion routine, as a function driver does.
DispatchHandler ForwardWithRoutine(TestDriver& driver, Completion& seen, BOOLEAN onSuccess = TRUE,
                                   BOOLEAN onError = TRUE, BOOLEAN onCancel = TRUE)
{
    return [&driver, &seen, onSuccess, onError, onCancel](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordCompletion, &seen, onSuccess, onError, onCancel);
        return IoCallDriver(driver.Below(device), irp);
    };
}

TEST_F(IrpsTest, CallDriverMovesToTheNextLocationAndNamesItsDevice)
{
    TwoDeviceStack stack;
    std::vector<std::pair<PDEVICE_OBJECT, CHAR>> seen;
    ULONG codeBelow = 0;
    stack.upperDriver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT device, PIRP irp) {
        seen.emplace_back(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp->CurrentLocation);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(stack.upperDriver.Below(device), irp);
    });
    stack.lowerDriver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        seen.emplace_back(location->DeviceObject, irp->CurrentLocation);
        codeBelow = location->Parameters.DeviceIoControl.IoControlCode;
        return CompleteWith(irp, STATUS_SUCCESS);
    });

    // The hook sees each device's location as sent, once its dispatch returned.
    std::vector<std::pair<PDEVICE_OBJECT, NTSTATUS>> dispatched;
    sim::Hooks().requestDispatched = [&](PDEVICE_OBJECT device, const IO_STACK_LOCATION& location, NTSTATUS returned) {
        EXPECT_EQ(location.MajorFunction, IRP_MJ_DEVICE_CONTROL);
        dispatched.emplace_back(device, returned);
    };

    ControlCall call(stack.upper);
    ASSERT_NE(call.irp, nullptr);
    EXPECT_EQ(call.irp->StackCount, 2);
    EXPECT_EQ(call.irp->CurrentLocation, 3);
    EXPECT_EQ(IoCallDriver(stack.upper, call.irp), STATUS_SUCCESS);

    using Seen = std::pair<PDEVICE_OBJECT, CHAR>;
    EXPECT_EQ(seen, (std::vector<Seen>{{stack.upper, 2}, {stack.lower, 1}}));
    EXPECT_EQ(codeBelow, IoctlBuffered);
    using Dispatched = std::pair<PDEVICE_OBJECT, NTSTATUS>;
    EXPECT_EQ(dispatched, (std::vector<Dispatched>{{stack.lower, STATUS_SUCCESS}, {stack.upper, STATUS_SUCCESS}}));
}

TEST_F(IrpsTest, TheArrivalHookSeesEachDeviceWithItsLocationBeforeItsDispatchRoutineRuns)
{
    TwoDeviceStack stack;
    std::vector<std::string> events;
    stack.upperDriver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT device, PIRP irp) {
        events.push_back("upper dispatch");
        return PassDown(stack.upperDriver.Below(device), irp);
    });
    stack.lowerDriver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        events.push_back("lower dispatch");
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    ControlCall call(stack.upper);
    ASSERT_NE(call.irp, nullptr);
    sim::Hooks().requestArriving = [&](PDEVICE_OBJECT device, PIRP irp) {
        EXPECT_EQ(irp, call.irp);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
        events.push_back(device == stack.upper ? "upper arriving" : "lower arriving");
    };
    sim::Hooks().requestDispatched = [&](PDEVICE_OBJECT device, const IO_STACK_LOCATION&, NTSTATUS) {
        events.push_back(device == stack.upper ? "upper returned" : "lower returned");
    };

    EXPECT_EQ(IoCallDriver(stack.upper, call.irp), STATUS_SUCCESS);
    EXPECT_EQ(events, (std::vector<std::string>{"upper arriving", "upper dispatch", "lower arriving", "lower dispatch",
                                                "lower returned", "upper returned"}));
}

TEST_F(IrpsTest, EntriesADriverDidNotSetRefuseTheRequest)
{
    TestDriver driver(u"\\Driver\\bare");
    PDEVICE_OBJECT device = driver.CreateDevice();
    ControlCall call(device);
    EXPECT_EQ(IoCallDriver(device, call.irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(call.status.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(IsOutstanding(call.irp));
}

TEST_F(IrpsTest, CompletionRoutinesRunByTheirInvokeFlagsWithTheDeviceThatSetThem)
{
    struct Case {
        NTSTATUS status;
        BOOLEAN onSuccess, onError, onCancel;
        bool invoked;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, FALSE, TRUE, TRUE, false},
        {STATUS_UNSUCCESSFUL, FALSE, TRUE, FALSE, true},
        {STATUS_UNSUCCESSFUL, TRUE, FALSE, TRUE, false},
        // A warning is not a success.
        {STATUS_BUFFER_OVERFLOW, FALSE, TRUE, FALSE, true},
        {STATUS_BUFFER_OVERFLOW, TRUE, FALSE, FALSE, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("status " + std::to_string(c.status) + " flags " + std::to_string(c.onSuccess) +
                     std::to_string(c.onError) + std::to_string(c.onCancel));
        TwoDeviceStack stack;
        Completion seen;
        stack.upperDriver.On(IRP_MJ_DEVICE_CONTROL,
                             ForwardWithRoutine(stack.upperDriver, seen, c.onSuccess, c.onError, c.onCancel));
        stack.lowerDriver.On(IRP_MJ_DEVICE_CONTROL,
                             [&](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, c.status); });

        ControlCall call(stack.upper);
        EXPECT_EQ(IoCallDriver(stack.upper, call.irp), c.status);
        EXPECT_EQ(seen.calls, c.invoked ? 1 : 0);
        if (c.invoked) {
            EXPECT_EQ(seen.device, stack.upper);
            EXPECT_EQ(seen.currentLocationDevice, stack.upper);
        }
        EXPECT_EQ(call.status.Status, c.status);
        EXPECT_TRUE(call.Signalled());
    }
}

TEST_F(IrpsTest, PendingReturnedReachesTheRoutineAboveALocationWithoutOne)
{
    for (bool pendBelow : {true, false}) {
        SCOPED_TRACE(pendBelow ? "completed later" : "completed at once");
        // top sets a routine; middle forwards without one; bottom completes.
        TestDriver bottomDriver(u"\\Driver\\bottom");
        TestDriver middleDriver(u"\\Driver\\middle");
        TestDriver topDriver(u"\\Driver\\top");
        PDEVICE_OBJECT bottom = bottomDriver.CreateDevice();
        PDEVICE_OBJECT middle = middleDriver.CreateDevice({}, bottom);
        PDEVICE_OBJECT top = topDriver.CreateDevice({}, middle);
        Completion seen;
        PIRP pending = nullptr;
        topDriver.On(IRP_MJ_DEVICE_CONTROL, ForwardWithRoutine(topDriver, seen));
        middleDriver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(middleDriver.Below(device), irp);
        });
        bottomDriver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
            if (!pendBelow) {
                return CompleteWith(irp, STATUS_SUCCESS, 4);
            }
            IoMarkIrpPending(irp);
            pending = irp;
            return STATUS_PENDING;
        });

        ControlCall call(top);
        NTSTATUS sent = IoCallDriver(top, call.irp);
        if (pendBelow) {
            EXPECT_EQ(sent, STATUS_PENDING);
            ASSERT_NE(pending, nullptr);
            // Completed as a host controller's DPC would: another processor, DISPATCH_LEVEL.
            std::thread([&] {
                sim::ScopedIrql dpc(DISPATCH_LEVEL);
                CompleteWith(pending, STATUS_SUCCESS, 4);
            }).join();
            EXPECT_EQ(KeWaitForSingleObject(&call.event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(sent, STATUS_SUCCESS);
        }
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.pendingReturned, pendBelow ? TRUE : FALSE);
        EXPECT_EQ(call.status.Status, STATUS_SUCCESS);
        EXPECT_EQ(call.status.Information, 4u);
    }
}

TEST_F(IrpsTest, MoreProcessingRequiredStopsCompletionUntilTheRequestIsCompletedAgain)
{
    TwoDeviceStack stack;
    Completion seen;
    seen.result = STATUS_MORE_PROCESSING_REQUIRED;
    int completing = 0;
    sim::Hooks().irpCompleting = [&](PIRP) { completing++; };
    stack.upperDriver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT device, PIRP irp) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordCompletion, &seen, TRUE, TRUE, TRUE);
        IoCallDriver(stack.upperDriver.Below(device), irp);
        return STATUS_PENDING;
    });
    stack.lowerDriver.On(IRP_MJ_DEVICE_CONTROL,
                         [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 7); });

    ControlCall call(stack.upper);
    EXPECT_EQ(IoCallDriver(stack.upper, call.irp), STATUS_PENDING);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_FALSE(call.Signalled());
    EXPECT_EQ(call.status.Status, STATUS_PENDING);
    EXPECT_TRUE(IsOutstanding(call.irp));
    EXPECT_EQ(sim::FinishedCompletions(call.irp), 0u);

    // The upper driver finishes its work and completes the request itself;
    // the walk resumes above its own location.
    call.irp->IoStatus.Information = 9;
    IoCompleteRequest(call.irp, IO_NO_INCREMENT);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(completing, 2);
    EXPECT_TRUE(call.Signalled());
    EXPECT_EQ(call.status.Status, STATUS_SUCCESS);
    EXPECT_EQ(call.status.Information, 9u);
    EXPECT_EQ(sim::FinishedCompletions(call.irp), 1u);
    EXPECT_FALSE(IsOutstanding(call.irp));
}

TEST_F(IrpsTest, BufferedControlRequestCarriesInputAndReturnsOutputByInformation)
{
    TestDriver driver(u"\\Driver\\echo");
    PDEVICE_OBJECT device = driver.CreateDevice();
    const UCHAR input[6] = {1, 2, 3, 4, 5, 6};
    bool inputSeen = false;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    UCHAR major = 0xFF;
    driver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        major = location->MajorFunction;
        inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
        outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
        auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        inputSeen = std::equal(input, input + 6, system);
        system[0] = 'a';
        system[1] = 'b';
        system[2] = 'c';
        return CompleteWith(irp, STATUS_SUCCESS, 3);
    });

    UCHAR output[8];
    std::fill(std::begin(output), std::end(output), 0xEE);
    ControlCall call(device, const_cast<UCHAR*>(input), sizeof input, output, sizeof output);
    ASSERT_NE(call.irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, call.irp), STATUS_SUCCESS);

    EXPECT_EQ(major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_TRUE(inputSeen);
    EXPECT_EQ(inputLength, 6u);
    EXPECT_EQ(outputLength, 8u);
    EXPECT_EQ(std::string(output, output + 3), "abc");
    EXPECT_TRUE(std::all_of(output + 3, output + 8, [](UCHAR b) { return b == 0xEE; }));
    EXPECT_EQ(call.status.Status, STATUS_SUCCESS);
    EXPECT_EQ(call.status.Information, 3u);
    EXPECT_TRUE(call.Signalled());
    // The I/O manager freed the request and its system buffer.
    EXPECT_FALSE(IsOutstanding(call.irp));
    EXPECT_TRUE(sim::Pool::Outstanding().empty());
}

TEST_F(IrpsTest, ControlRequestCompletedLaterFromAnotherProcessorReachesTheWaitingCaller)
{
    TestDriver driver(u"\\Driver\\slow");
    PDEVICE_OBJECT device = driver.CreateDevice();
    PIRP pending = nullptr;
    driver.Hold(IRP_MJ_DEVICE_CONTROL, &pending);

    UCHAR output[4] = {};
    ControlCall call(device, nullptr, 0, output, sizeof output);
    ASSERT_EQ(IoCallDriver(device, call.irp), STATUS_PENDING);
    EXPECT_FALSE(call.Signalled());
    std::thread completer([&] {
        sim::ScopedIrql dpc(DISPATCH_LEVEL);
        static_cast<UCHAR*>(pending->AssociatedIrp.SystemBuffer)[0] = 0x42;
        CompleteWith(pending, STATUS_SUCCESS, 1);
    });
    EXPECT_EQ(KeWaitForSingleObject(&call.event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(call.status.Status, STATUS_SUCCESS);
    EXPECT_EQ(call.status.Information, 1u);
    EXPECT_EQ(output[0], 0x42);
    EXPECT_FALSE(IsOutstanding(call.irp));
}

TEST_F(IrpsTest, WarningStillReturnsDataWhileAnErrorReturnsOnlyItsStatus)
{
    TestDriver driver(u"\\Driver\\partial");
    PDEVICE_OBJECT device = driver.CreateDevice();
    NTSTATUS answer = STATUS_SUCCESS;
    driver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        std::fill_n(static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer), 4, UCHAR{0x77});
        return CompleteWith(irp, answer, 4);
    });

    UCHAR output[4] = {};
    answer = STATUS_BUFFER_OVERFLOW;
    ControlCall warned(device, nullptr, 0, output, sizeof output);
    EXPECT_EQ(IoCallDriver(device, warned.irp), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(warned.status.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(warned.status.Information, 4u);
    EXPECT_EQ(output[3], 0x77);

    std::fill(std::begin(output), std::end(output), UCHAR{0});
    answer = STATUS_INVALID_PARAMETER;
    ControlCall failed(device, nullptr, 0, output, sizeof output);
    EXPECT_EQ(IoCallDriver(device, failed.irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(failed.status.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(failed.status.Information, 0x5A5Au);
    EXPECT_EQ(output[0], 0);
}

TEST_F(IrpsTest, AllocatedRequestIsStoppedByItsOwnerAndFreed)
{
    TwoDeviceStack stack;
    stack.upperDriver.On(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT device, PIRP irp) {
        return PassDown(stack.upperDriver.Below(device), irp);
    });
    stack.lowerDriver.On(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                         [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 5); });

    PIRP irp = IoAllocateIrp(stack.upper->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(irp->CurrentLocation, 3);
    EXPECT_TRUE(IsOutstanding(irp));
    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
    first->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    Completion seen;
    seen.result = STATUS_MORE_PROCESSING_REQUIRED;
    IoSetCompletionRoutine(irp, RecordCompletion, &seen, TRUE, TRUE, TRUE);

    EXPECT_EQ(IoCallDriver(stack.upper, irp), STATUS_SUCCESS);
    EXPECT_EQ(seen.calls, 1);
    // The originator kept no location of its own, so it is given no device.
    EXPECT_EQ(seen.device, nullptr);
    EXPECT_EQ(irp->IoStatus.Information, 5u);
    IoFreeIrp(irp);
    EXPECT_FALSE(IsOutstanding(irp));

    // A request never sent may be freed as well, and allocation can fail.
    IoFreeIrp(IoAllocateIrp(1, FALSE));
    sim::Faults::FailNthCall(sim::Fault::AllocateIrp, 1);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
}

// What the cancel routine saw; a plain function, so the record is shared.
struct CancelSeen {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    BOOLEAN cancelFlag = FALSE;
    bool routineCleared = false;
    std::vector<std::string>* events = nullptr;
} cancelSeen;

VOID NTAPI CancelByCompleting(PDEVICE_OBJECT device, PIRP irp)
{
    cancelSeen.calls++;
    cancelSeen.device = device;
    cancelSeen.irql = KeGetCurrentIrql();
    cancelSeen.cancelFlag = irp->Cancel;
    cancelSeen.routineCleared = irp->CancelRoutine == nullptr;
    cancelSeen.events->push_back("cancel routine");
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteWith(irp, STATUS_CANCELLED);
}

TEST_F(IrpsTest, CancelCallsTheRoutineAtDispatchLevelAndCompletionHonoursInvokeOnCancel)
{
    TwoDeviceStack stack;
    Completion seen;
    std::vector<std::string> events;
    cancelSeen = CancelSeen{};
    cancelSeen.events = &events;
    sim::Hooks().irpCancelling = [&](PIRP) { events.push_back("cancelling"); };
    sim::Hooks().irpCompleting = [&](PIRP) { events.push_back("completing"); };
    // Only the cancel flag asks for the routine: STATUS_CANCELLED is an error too.
    stack.upperDriver.On(IRP_MJ_DEVICE_CONTROL, ForwardWithRoutine(stack.upperDriver, seen, FALSE, FALSE, TRUE));
    PIRP pending = nullptr;
    stack.lowerDriver.On(IRP_MJ_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelByCompleting);
        pending = irp;
        return STATUS_PENDING;
    });

    ControlCall call(stack.upper);
    ASSERT_EQ(IoCallDriver(stack.upper, call.irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(pending));

    EXPECT_EQ(cancelSeen.calls, 1);
    EXPECT_EQ(cancelSeen.device, stack.lower);
    EXPECT_EQ(cancelSeen.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(cancelSeen.cancelFlag);
    EXPECT_TRUE(cancelSeen.routineCleared);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(events, (std::vector<std::string>{"cancelling", "cancel routine", "completing"}));
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.device, stack.upper);
    EXPECT_TRUE(seen.pendingReturned);
    EXPECT_TRUE(call.Signalled());
    EXPECT_EQ(call.status.Status, STATUS_CANCELLED);
}

TEST_F(IrpsTest, CancelWithoutARoutineOnlyMarksTheRequest)
{
    TestDriver driver(u"\\Driver\\holder");
    PDEVICE_OBJECT device = driver.CreateDevice();
    PIRP pending = nullptr;
    driver.Hold(IRP_MJ_DEVICE_CONTROL, &pending);
    ControlCall call(device);
    ASSERT_EQ(IoCallDriver(device, call.irp), STATUS_PENDING);

    EXPECT_FALSE(IoCancelIrp(pending));
    EXPECT_TRUE(pending->Cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(call.Signalled());
    CompleteWith(pending, STATUS_CANCELLED);
    EXPECT_EQ(call.status.Status, STATUS_CANCELLED);
}

TEST_F(IrpsTest, CancelRoutineRunsHoldingTheCancelSpinLock)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Taking the cancel spin lock again from inside the routine proves the
    // routine was called with it held.
    auto cancelAndRetake = [] {
        TestDriver driver(u"\\Driver\\holder");
        PDEVICE_OBJECT device = driver.CreateDevice();
        driver.On(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
            PDRIVER_CANCEL retake = [](PDEVICE_OBJECT, PIRP) {
                KIRQL irql;
                IoAcquireCancelSpinLock(&irql);
            };
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, retake);
            return STATUS_PENDING;
        });
        ControlCall call(device);
        IoCallDriver(device, call.irp);
        IoCancelIrp(call.irp);
    };
    EXPECT_DEATH(cancelAndRetake(), "SPIN_LOCK_ALREADY_OWNED");
}

}  // namespace
}  // namespace bulkcom_test
