// The fault sweep: the port's whole life run again and again with one
// platform routine failing, first its k-th call for k = 1, 2, ... until a
// run injects nothing, then every call from one call site in the driver,
// for each site; in both completion contexts and with both endings. Every
// run must end with the platform clean, no bug-check and no hang, and no
// step may report success for something it did not do.

#include <string>
#include <vector>

#include "application_side.h"
#include "kernel/fault_injection.h"
#include "kernel/kernel.h"
#include "reliability/lifecycle.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

struct SweepCase {
    sim::Fault fault;
    sim::CompletionMode mode;
    Ending ending;
};

std::vector<SweepCase> AllSweepCases()
{
    std::vector<SweepCase> cases;
    for (int fault = 0; fault < static_cast<int>(sim::Fault::Count); ++fault) {
        for (sim::CompletionMode mode : {sim::CompletionMode::Synchronous, sim::CompletionMode::ControllerThread}) {
            for (Ending ending : {Ending::Unplug, Ending::Removal}) {
                cases.push_back({static_cast<sim::Fault>(fault), mode, ending});
            }
        }
    }
    return cases;
}

std::string SweepCaseName(const ::testing::TestParamInfo<SweepCase>& info)
{
    return std::string(sim::FaultName(info.param.fault)) +
           (info.param.mode == sim::CompletionMode::Synchronous ? "_CallerThread" : "_ControllerThread") +
           (info.param.ending == Ending::Unplug ? "_Unplug" : "_Removal");
}

class FaultSweepTest : public SimTest, public ::testing::WithParamInterface<SweepCase> {
protected:
    // One life on a fresh platform, with the faults arm sets up; returns
    // how many calls were failed.
    template <typename Arm>
    unsigned RunOnce(Arm arm)
    {
        sim::ResetApplicationSide();
        sim::ResetKernel();
        {
            // The device is plugged in before anything may fail: the faults
            // are the driver's to meet, not the bus's.
            Lifecycle life(GetParam().mode);
            sim::Faults::Clear();
            arm();
            life.Run(GetParam().ending);
        }
        ExpectPlatformClean();
        return sim::Faults::InjectedCount();
    }
};

TEST_P(FaultSweepTest, EveryCallOfTheRoutineFailingInTurn)
{
    const sim::Fault fault = GetParam().fault;
    unsigned runs = 0;
    for (unsigned k = 1;; ++k) {
        SCOPED_TRACE(std::string(sim::FaultName(fault)) + " failing at call " + std::to_string(k));
        runs++;
        if (RunOnce([&] { sim::Faults::FailNthCall(fault, k); }) == 0 || HasFailure()) {
            break;
        }
    }
    RecordProperty("runs", static_cast<int>(runs));
}

TEST_P(FaultSweepTest, EveryCallFromOneSiteFailing)
{
    const sim::Fault fault = GetParam().fault;
    RunOnce([] {});
    std::vector<sim::CallSite> sites = sim::Faults::CallSites(fault);
    for (size_t i = 0; i < sites.size() && !HasFailure(); ++i) {
        SCOPED_TRACE(std::string(sim::FaultName(fault)) + " failing at every call from site " + std::to_string(i));
        EXPECT_NE(RunOnce([&] { sim::Faults::FailEveryCallFrom(fault, sites[i]); }), 0u);
    }
    RecordProperty("sites", static_cast<int>(sites.size()));
}

INSTANTIATE_TEST_SUITE_P(Reliability, FaultSweepTest, ::testing::ValuesIn(AllSweepCases()), SweepCaseName);

}  // namespace
}  // namespace bulkcom_test
