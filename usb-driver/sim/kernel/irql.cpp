#include "irql.h"

#include <string>

#include "bugcheck.h"

namespace sim {

namespace {
thread_local KIRQL currentIrql = PASSIVE_LEVEL;
}

KIRQL CurrentIrql()
{
    return currentIrql;
}

void SetIrql(KIRQL irql)
{
    currentIrql = irql;
}

void RequireIrqlAtMost(KIRQL maximum, std::string_view routine)
{
    if (currentIrql > maximum) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " called at IRQL " + std::to_string(currentIrql) +
                                               ", above its maximum " + std::to_string(maximum));
    }
}

ScopedIrql::ScopedIrql(KIRQL irql) : previous_(currentIrql)
{
    currentIrql = irql;
}

ScopedIrql::~ScopedIrql()
{
    currentIrql = previous_;
}

}  // namespace sim

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return sim::CurrentIrql();
}

KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = sim::CurrentIrql();
    if (NewIrql < old) {
        sim::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to a level below the current one");
    }
    sim::SetIrql(NewIrql);
    return old;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > sim::CurrentIrql()) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to a level above the current one");
    }
    sim::SetIrql(NewIrql);
}

}  // extern "C"
