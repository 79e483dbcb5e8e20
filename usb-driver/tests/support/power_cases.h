// The combinations tests run in: the bus completing in the caller's thread
// or on its controller thread, and for power tests each operating-system
// generation the driver tells apart.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernel/os_version.h"
#include "usb/usb_bus.h"

namespace bulkcom_test {

struct PowerCase {
    sim::WindowsVersion version;
    ULONG osClass;
    sim::CompletionMode mode;
};

// XP, Vista, 7 and 10 (OsClass 1 to 4), each in both completion modes.
std::vector<PowerCase> AllPowerCases();
std::string PowerCaseName(const ::testing::TestParamInfo<PowerCase>& info);

// "CallerThread" or "ControllerThread", for suites run in both modes.
std::string CompletionModeName(sim::CompletionMode mode);
inline std::string CompletionModeName(const ::testing::TestParamInfo<sim::CompletionMode>& info)
{
    return CompletionModeName(info.param);
}

}  // namespace bulkcom_test
