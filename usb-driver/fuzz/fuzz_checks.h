// What every fuzzed input starts from and must end with: a fresh simulated
// platform, and at the end the same checks every test ends with (no leaked
// pool, no outstanding request, no leftover object, name or handle). A
// failed check aborts, so that libFuzzer keeps the input as a crash.
#pragma once

#include <string_view>

namespace bulkcom_fuzz {

[[noreturn]] void Fail(std::string_view what);

inline void Require(bool condition, std::string_view what)
{
    if (!condition) {
        Fail(what);
    }
}

// A fresh simulated kernel and application side.
void StartFresh();

// Waits for the closes the I/O manager still owes, checks the kernel and the
// application's handles, then releases what the platform kept (the freed
// requests it quarantines), so that nothing outlives the input.
void RequirePlatformClean();

}  // namespace bulkcom_fuzz
