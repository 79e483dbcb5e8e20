// The system worker thread: work that must run at PASSIVE_LEVEL, handed over
// by code that may be running at DISPATCH_LEVEL (a completion on a bus
// driver's thread), as the kernel's work items are.
#pragma once

#include <functional>

namespace sim {

// Runs the work on the worker thread, after all work queued before it. The
// thread starts with the first work and lives as long as the process.
void QueueSystemWork(std::function<void()> work);

}  // namespace sim
