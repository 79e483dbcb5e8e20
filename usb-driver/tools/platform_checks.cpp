#include "platform_checks.h"

#include "application_side.h"
#include "kernel/device_objects.h"
#include "kernel/irp.h"
#include "kernel/kernel.h"
#include "kernel/object_namespace.h"
#include "kernel/pool.h"
#include "kernel/registry.h"

void ShowPlatformChecks(Account& account)
{
    // A close the I/O manager still owes is part of what was left.
    sim::WaitForDeferredCloses();
    size_t pool = sim::Pool::Outstanding().size();
    size_t requests = sim::OutstandingIrps().size();
    size_t references = sim::DeletedReferencedDeviceObjects().size();
    size_t objects = sim::LiveDeviceObjects().size();
    size_t names = sim::Namespace::Links().size();
    size_t handles = sim::OpenApplicationHandles() + sim::Registry::OpenHandleCount();

    account.Detail(Labelled("pool", std::to_string(pool) + " allocations outstanding, of " +
                                        std::to_string(sim::Pool::AllocationCount()) + " made"));
    account.Detail(Labelled("requests", std::to_string(requests) + " outstanding"));
    account.Detail(Labelled("references", std::to_string(references) + " deleted device objects still referenced"));
    account.Detail(Labelled("objects", std::to_string(objects) + " device objects left"));
    account.Detail(Labelled("names", std::to_string(names) + " symbolic links left"));
    account.Detail(Labelled("handles", std::to_string(sim::OpenApplicationHandles()) + " application handles, " +
                                           std::to_string(sim::Registry::OpenHandleCount()) +
                                           " registry key handles open"));
    // The kernel's own report names each leftover, and checks the IRQL too.
    sim::KernelReport report = sim::CheckKernel();
    for (const std::string& problem : report.problems) {
        account.Detail("  " + problem);
    }
    bool clean = report.Clean() && pool + requests + references + objects + names + handles == 0;
    account.Expect(clean, Labelled("result", clean ? "clean" : "NOT clean"));
}
