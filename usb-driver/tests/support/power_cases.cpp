#include "support/power_cases.h"

namespace bulkcom_test {

std::vector<PowerCase> AllPowerCases()
{
    std::vector<PowerCase> cases;
    for (sim::CompletionMode mode : {sim::CompletionMode::Synchronous, sim::CompletionMode::ControllerThread}) {
        cases.push_back({sim::WindowsVersion::WindowsXP, 1, mode});
        cases.push_back({sim::WindowsVersion::Vista, 2, mode});
        cases.push_back({sim::WindowsVersion::Windows7, 3, mode});
        cases.push_back({sim::WindowsVersion::Windows10, 4, mode});
    }
    return cases;
}

std::string CompletionModeName(sim::CompletionMode mode)
{
    return mode == sim::CompletionMode::Synchronous ? "CallerThread" : "ControllerThread";
}

std::string PowerCaseName(const ::testing::TestParamInfo<PowerCase>& info)
{
    return "OsClass" + std::to_string(info.param.osClass) + CompletionModeName(info.param.mode);
}

}  // namespace bulkcom_test
