// The power manager: system sleep, resume and shutdown sent to every stack,
// PoRequestPowerIrp, PoCallDriver's delivery at PASSIVE_LEVEL to
// power-pageable devices, and the rules that stop the machine: a power
// request held past the watchdog, one sent to a pageable device at a raised
// level, and before Vista one passed on without PoCallDriver or without
// exactly one PoStartNextPowerIrp from each driver.

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "kernel/fault_injection.h"
#include "kernel/irql.h"
#include "kernel/kernel.h"
#include "kernel/os_version.h"
#include "pnp-power/power_manager.h"
#include "pnp-power/power_requests.h"
#include "pnp-power/power_watchdog.h"
#include "sim/support/test_driver.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

struct Seen {
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    POWER_ACTION action;
    KIRQL irql;
    std::thread::id thread;
};

Seen SeenOf(PIRP irp)
{
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    ULONG state = stack.Parameters.Power.Type == SystemPowerState
                      ? static_cast<ULONG>(stack.Parameters.Power.State.SystemState)
                      : static_cast<ULONG>(stack.Parameters.Power.State.DeviceState);
    return {stack.MinorFunction, stack.Parameters.Power.Type, state, stack.Parameters.Power.ShutdownType,
            KeGetCurrentIrql(),  std::this_thread::get_id()};
}

// One device stack: a bus device that answers power requests at the bottom
// and a function device above it, both power pageable; the function
// device's power handler is the test's to set.
class PowerStack {
public:
    explicit PowerStack(int number)
        : bus_(u"\\Driver\\bus" + std::u16string(1, static_cast<char16_t>(u'0' + number))),
          function_(u"\\Driver\\function" + std::u16string(1, static_cast<char16_t>(u'0' + number)))
    {
        bottom_ = bus_.CreateDevice();
        bottom_->Flags |= DO_POWER_PAGABLE;
        bus_.On(IRP_MJ_POWER, [this](PDEVICE_OBJECT, PIRP irp) {
            busSaw.push_back(SeenOf(irp));
            PoStartNextPowerIrp(irp);
            return CompleteWith(irp, STATUS_SUCCESS);
        });
        top_ = function_.CreateDevice({}, bottom_);
        top_->Flags |= DO_POWER_PAGABLE;
        OnPower([this](PDEVICE_OBJECT, PIRP irp) { return PassOn(irp); });
    }

    void OnPower(DispatchHandler handler)
    {
        function_.On(IRP_MJ_POWER, [this, handler = std::move(handler)](PDEVICE_OBJECT device, PIRP irp) {
            functionSaw.push_back(SeenOf(irp));
            return handler(device, irp);
        });
    }

    // What a sound driver does with a request it does not act on.
    NTSTATUS PassOn(PIRP irp)
    {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(bottom_, irp);
    }

    PDEVICE_OBJECT Bottom() const { return bottom_; }
    PDEVICE_OBJECT Top() const { return top_; }

    std::vector<Seen> functionSaw;
    std::vector<Seen> busSaw;

private:
    TestDriver bus_;
    TestDriver function_;
    PDEVICE_OBJECT bottom_;
    PDEVICE_OBJECT top_;
};

class PowerManagerTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        stack_.emplace(1);
        power_.AddDeviceStack(stack_->Bottom());
    }
    void TearDown() override
    {
        stack_.reset();
        other_.reset();
        SimTest::TearDown();
    }

    NTSTATUS SetSystem(SYSTEM_POWER_STATE state)
    {
        return power_.SendSystemRequest(stack_->Bottom(), IRP_MN_SET_POWER, state);
    }

    std::optional<PowerStack> stack_;
    std::optional<PowerStack> other_;
    sim::PowerManager power_;
};

TEST_F(PowerManagerTest, SleepQueriesEveryStackThenSetsItAndResumeSetsTheWorkingState)
{
    other_.emplace(2);
    power_.AddDeviceStack(other_->Bottom());
    struct Case {
        SYSTEM_POWER_STATE state;
        POWER_ACTION action;
    };
    for (Case c : {Case{PowerSystemSleeping1, PowerActionSleep}, Case{PowerSystemSleeping3, PowerActionSleep},
                   Case{PowerSystemHibernate, PowerActionHibernate}, Case{PowerSystemShutdown, PowerActionShutdown}}) {
        SCOPED_TRACE(c.state);
        stack_->functionSaw.clear();
        other_->functionSaw.clear();
        ASSERT_EQ(power_.Sleep(c.state), STATUS_SUCCESS);
        EXPECT_EQ(power_.SystemState(), c.state);
        ASSERT_EQ(power_.Resume(), STATUS_SUCCESS);
        EXPECT_EQ(power_.SystemState(), PowerSystemWorking);
        for (const std::vector<Seen>* seen : {&stack_->functionSaw, &other_->functionSaw}) {
            ASSERT_EQ(seen->size(), 3u);
            EXPECT_EQ((*seen)[0].minor, IRP_MN_QUERY_POWER);
            EXPECT_EQ((*seen)[1].minor, IRP_MN_SET_POWER);
            EXPECT_EQ((*seen)[2].minor, IRP_MN_SET_POWER);
            EXPECT_EQ((*seen)[0].type, SystemPowerState);
            EXPECT_EQ((*seen)[1].state, ULONG(c.state));
            EXPECT_EQ((*seen)[1].action, c.action);
            EXPECT_EQ((*seen)[2].state, ULONG(PowerSystemWorking));
            EXPECT_EQ((*seen)[0].irql, PASSIVE_LEVEL);
        }
    }
    EXPECT_EQ(stack_->busSaw.size(), 12u) << "every request reached the bus";
}

TEST_F(PowerManagerTest, ARefusedQueryKeepsTheMachineAwake)
{
    other_.emplace(2);
    power_.AddDeviceStack(other_->Bottom());
    other_->OnPower([this](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER) {
            PoStartNextPowerIrp(irp);
            return CompleteWith(irp, STATUS_UNSUCCESSFUL);
        }
        return other_->PassOn(irp);
    });
    EXPECT_EQ(power_.Sleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(power_.SystemState(), PowerSystemWorking);
    for (const std::vector<Seen>* seen : {&stack_->functionSaw, &other_->functionSaw}) {
        ASSERT_EQ(seen->size(), 2u) << "query, then set-power for the working state";
        EXPECT_EQ((*seen)[1].minor, IRP_MN_SET_POWER);
        EXPECT_EQ((*seen)[1].state, ULONG(PowerSystemWorking));
    }
}

TEST_F(PowerManagerTest, PoCallDriverAtDispatchLevelDeliversAtPassiveLevelFromAWorker)
{
    std::atomic<bool> pendingReturned{false};
    stack_->OnPower([this, &pendingReturned](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP completed, PVOID context) {
                static_cast<std::atomic<bool>*>(context)->store(completed->PendingReturned != 0);
                if (completed->PendingReturned) {
                    IoMarkIrpPending(completed);
                }
                return STATUS_SUCCESS;
            },
            &pendingReturned, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(irp);
        sim::ScopedIrql dpc(DISPATCH_LEVEL);
        return PoCallDriver(stack_->Bottom(), irp);
    });
    EXPECT_EQ(SetSystem(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(stack_->busSaw.size(), 1u);
    EXPECT_EQ(stack_->busSaw[0].irql, PASSIVE_LEVEL);
    EXPECT_NE(stack_->busSaw[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(pendingReturned) << "queued, so pending for the caller";
}

TEST_F(PowerManagerTest, PoRequestPowerIrpSendsADeviceRequestToTheTopAndCallsBack)
{
    struct Callback {
        std::atomic<bool> called{false};
        PDEVICE_OBJECT device = nullptr;
        UCHAR minor = 0;
        DEVICE_POWER_STATE state = PowerDeviceUnspecified;
        NTSTATUS status = STATUS_PENDING;
    } callback;
    PREQUEST_POWER_COMPLETE record = [](PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                        PIO_STATUS_BLOCK status) {
        auto* seen = static_cast<Callback*>(context);
        seen->device = device;
        seen->minor = minor;
        seen->state = state.DeviceState;
        seen->status = status->Status;
        seen->called = true;
    };
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    EXPECT_EQ(PoRequestPowerIrp(stack_->Bottom(), IRP_MN_SET_POWER, d2, record, &callback, nullptr), STATUS_PENDING);
    ASSERT_TRUE(callback.called) << "completed before returning: the stack answers at once";
    EXPECT_EQ(callback.device, stack_->Bottom());
    EXPECT_EQ(callback.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(callback.state, PowerDeviceD2);
    EXPECT_EQ(callback.status, STATUS_SUCCESS);
    ASSERT_EQ(stack_->functionSaw.size(), 1u) << "the top of the stack gets it first";
    EXPECT_EQ(stack_->functionSaw[0].type, DevicePowerState);

    callback.called = false;
    sim::Faults::FailNthCall(sim::Fault::RequestPowerIrp, 1);
    EXPECT_EQ(PoRequestPowerIrp(stack_->Bottom(), IRP_MN_SET_POWER, d2, record, &callback, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PoRequestPowerIrp(stack_->Bottom(), IRP_MN_POWER_SEQUENCE, d2, record, &callback, nullptr),
              STATUS_INVALID_PARAMETER_2);
    EXPECT_FALSE(callback.called) << "no request, no callback";
    EXPECT_EQ(stack_->functionSaw.size(), 1u);
}

TEST_F(PowerManagerTest, PoSetPowerStateRecordsAndReturnsThePreviousState)
{
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoSetPowerState(stack_->Top(), DevicePowerState, d3).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(stack_->Top(), DevicePowerState, d0).DeviceState, PowerDeviceD3);
    std::vector<sim::PowerStateChange> changes = sim::PowerStateChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].device, stack_->Top());
    EXPECT_EQ(changes[0].state.DeviceState, PowerDeviceD3);
}

TEST_F(PowerManagerTest, AHeldPowerRequestIsReportedAtTheEndAndByTheWatchdog)
{
    PIRP held = nullptr;
    stack_->OnPower([&held](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    sim::PowerRequestInProgress request =
        power_.BeginSystemRequest(stack_->Bottom(), IRP_MN_SET_POWER, PowerSystemSleeping3);
    EXPECT_FALSE(request.Completed());
    std::string report = sim::CheckKernel().Text();
    EXPECT_NE(report.find("a set-power S3 request still held"), std::string::npos) << report;
    stack_->PassOn(held);
    EXPECT_EQ(request.Wait(), STATUS_SUCCESS);

    EXPECT_DEATH(
        {
            sim::SetPowerWatchdogLimit(std::chrono::milliseconds(20));
            power_.BeginSystemRequest(stack_->Bottom(), IRP_MN_SET_POWER, PowerSystemSleeping3).Wait();
        },
        "DRIVER_POWER_STATE_FAILURE.*held longer than the watchdog allows");
}

TEST_F(PowerManagerTest, APowerRequestReachesAPageableDeviceOnlyAtPassiveLevel)
{
    stack_->OnPower([this](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        sim::ScopedIrql dpc(DISPATCH_LEVEL);
        return IoCallDriver(stack_->Bottom(), irp);
    });
    EXPECT_DEATH(SetSystem(PowerSystemSleeping3), "IRQL_NOT_LESS_OR_EQUAL.*power-pageable device at IRQL 2");
}

// Before Vista the power manager serialises power requests per device: each
// driver passes them on with PoCallDriver and starts the next one exactly
// once. From Vista on neither is required.
class SerialisedPowerTest : public PowerManagerTest, public ::testing::WithParamInterface<sim::WindowsVersion> {
protected:
    void SetUp() override
    {
        PowerManagerTest::SetUp();
        sim::SetWindowsVersion(GetParam());
    }
    bool Serialised() const { return GetParam() < sim::WindowsVersion::Vista; }
};

TEST_P(SerialisedPowerTest, EachDriverStartsTheNextRequestOnceAndPassesItOnWithPoCallDriver)
{
    ASSERT_EQ(SetSystem(PowerSystemSleeping3), STATUS_SUCCESS) << "a sound driver";
    EXPECT_EQ(sim::StartNextPowerIrpCalls(stack_->Top()), 1u);
    EXPECT_EQ(sim::StartNextPowerIrpCalls(stack_->Bottom()), 1u);

    auto withIoCallDriver = [this](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        return PassDown(stack_->Bottom(), irp);
    };
    auto withoutStartingTheNext = [this](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(stack_->Bottom(), irp);
    };
    auto startingItTwice = [this](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        return stack_->PassOn(irp);
    };
    if (Serialised()) {
        stack_->OnPower(withIoCallDriver);
        EXPECT_DEATH(SetSystem(PowerSystemWorking), "DRIVER_VERIFIER_IOMANAGER_VIOLATION.*PoCallDriver");
        stack_->OnPower(withoutStartingTheNext);
        EXPECT_DEATH(SetSystem(PowerSystemWorking), "DRIVER_POWER_STATE_FAILURE.*without calling PoStartNextPowerIrp");
        stack_->OnPower(startingItTwice);
        EXPECT_DEATH(SetSystem(PowerSystemWorking), "DRIVER_POWER_STATE_FAILURE.*called twice");
    } else {
        for (const DispatchHandler& handler :
             {DispatchHandler(withIoCallDriver), DispatchHandler(withoutStartingTheNext),
              DispatchHandler(startingItTwice)}) {
            stack_->OnPower(handler);
            EXPECT_EQ(SetSystem(PowerSystemWorking), STATUS_SUCCESS);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, SerialisedPowerTest,
                         ::testing::Values(sim::WindowsVersion::WindowsXP, sim::WindowsVersion::Server2003,
                                           sim::WindowsVersion::Vista, sim::WindowsVersion::Windows10),
                         [](const auto& info) {
                             switch (info.param) {
                             case sim::WindowsVersion::WindowsXP:
                                 return "WindowsXP";
                             case sim::WindowsVersion::Server2003:
                                 return "Server2003";
                             case sim::WindowsVersion::Vista:
                                 return "Vista";
                             default:
                                 return "Windows10";
                             }
                         });

}  // namespace
}  // namespace bulkcom_test
