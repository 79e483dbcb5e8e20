// Stopping the simulated machine when a driver breaks a kernel rule.
#pragma once

#include <string_view>

namespace sim {

// Stops the test the way Windows stops the machine: prints the stop code,
// what was wrong and the object involved, then aborts. Tests of the rules
// themselves catch this with death tests.
[[noreturn]] void BugCheck(std::string_view code, std::string_view reason, const void* object = nullptr);

}  // namespace sim
