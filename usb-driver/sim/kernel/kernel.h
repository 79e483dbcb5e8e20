// The simulated kernel as a whole: starting afresh and checking that a test
// left it clean.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Forgets everything: objects, names, registry, pool, requests, faults and
// hooks; the version goes back to Windows 10.
void ResetKernel();

// Everything a sound driver leaves behind at the end of a test: nothing.
struct KernelReport {
    std::vector<std::string> problems;
    bool Clean() const { return problems.empty(); }
    std::string Text() const;
};

KernelReport CheckKernel();

}  // namespace sim
