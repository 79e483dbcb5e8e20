// Per-thread interrupt request level of the simulated processor.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace sim {

KIRQL CurrentIrql();
void SetIrql(KIRQL irql);

// Bug-checks unless the caller runs at or below the level the routine allows.
void RequireIrqlAtMost(KIRQL maximum, std::string_view routine);

// Runs a scope at a raised level, as a DPC or a lock holder would.
class ScopedIrql {
public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

private:
    KIRQL previous_;
};

}  // namespace sim
