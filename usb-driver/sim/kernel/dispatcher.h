// Dispatcher objects: events, semaphores and the waits on them.
#pragma once

#include "platform/platform.h"

namespace sim {

// Counts every KeWaitForSingleObject that ran out, for tests that assert a
// wait did or did not time out.
unsigned long TimedOutWaitCount();

void ResetDispatcher();

}  // namespace sim
