#include "support/sim_test.h"

#include "application_side.h"
#include "kernel/kernel.h"

namespace bulkcom_test {

void SimTest::SetUp()
{
    sim::ResetKernel();
    sim::ResetApplicationSide();
}

void SimTest::TearDown()
{
    ExpectPlatformClean();
    // Releases what a failed test left behind and the quarantined requests.
    sim::ResetApplicationSide();
    sim::ResetKernel();
}

void ExpectPlatformClean()
{
    // A close the I/O manager still owes is part of what the test left.
    sim::WaitForDeferredCloses();
    sim::KernelReport report = sim::CheckKernel();
    EXPECT_TRUE(report.Clean()) << report.Text();
    EXPECT_EQ(sim::OpenApplicationHandles(), 0u) << "application handles left open";
}

}  // namespace bulkcom_test
