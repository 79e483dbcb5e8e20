#include "hooks.h"

namespace sim {

KernelHooks& Hooks()
{
    static KernelHooks hooks;
    return hooks;
}

}  // namespace sim
