#include "fuzz_checks.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "application_side.h"
#include "kernel/kernel.h"

namespace bulkcom_fuzz {

void Fail(std::string_view what)
{
    std::fprintf(stderr, "\n*** fuzzed input failed a check: %s\n", std::string(what).c_str());
    std::fflush(stderr);
    std::abort();
}

void StartFresh()
{
    sim::ResetKernel();
    sim::ResetApplicationSide();
}

void RequirePlatformClean()
{
    sim::WaitForDeferredCloses();
    sim::KernelReport report = sim::CheckKernel();
    if (!report.Clean()) {
        Fail("the platform is not clean:\n" + report.Text());
    }
    Require(sim::OpenApplicationHandles() == 0, "application handles left open");
    sim::ResetApplicationSide();
    sim::ResetKernel();
}

}  // namespace bulkcom_fuzz
