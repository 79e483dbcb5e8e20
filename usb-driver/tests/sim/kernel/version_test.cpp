// Which Windows the kernel says it is: PsGetVersion, and the run-time lookup
// of RtlIsNtDdiVersionAvailable that systems before Vista lack.

#include <optional>

#include "kernel/os_version.h"
#include "sim/support/test_driver.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class OsVersionTest : public SimTest {};

using DdiQuery = BOOLEAN(NTAPI*)(ULONG Version);

constexpr ULONG NtddiWinBlue = 0x06030000;
// Windows 11's first level, which no Windows 10 reaches.
constexpr ULONG NtddiWin10Cobalt = 0x0A00000B;

struct Facts {
    sim::WindowsVersion version;
    const char* name;
    ULONG major;
    ULONG minor;
    ULONG lowestBuild;
    ULONG highestBuild;
    // The newest level the system has and the next one, which it lacks;
    // none for systems without the query routine.
    std::optional<ULONG> newestLevel;
    ULONG nextLevel;
};

const Facts facts[] = {
    {sim::WindowsVersion::Windows2000, "2000", 5, 0, 2195, 2195, std::nullopt, 0},
    {sim::WindowsVersion::WindowsXP, "XP", 5, 1, 2600, 2600, std::nullopt, 0},
    {sim::WindowsVersion::Server2003, "Server 2003", 5, 2, 3790, 3790, std::nullopt, 0},
    {sim::WindowsVersion::Vista, "Vista", 6, 0, 6000, 6000, NTDDI_VISTA, NTDDI_VISTASP1},
    {sim::WindowsVersion::VistaSp1, "Vista SP1", 6, 0, 6001, 6001, NTDDI_VISTASP1, NTDDI_WIN7},
    {sim::WindowsVersion::Windows7, "7", 6, 1, 7600, 7601, NTDDI_WIN7, NTDDI_WIN8},
    {sim::WindowsVersion::Windows8, "8", 6, 2, 9200, 9200, NTDDI_WIN8, NtddiWinBlue},
    {sim::WindowsVersion::Windows10, "10", 10, 0, 10240, 19045, NTDDI_WIN10, NtddiWin10Cobalt},
};

TEST_F(OsVersionTest, PsGetVersionReportsTheConfiguredSystem)
{
    for (const Facts& expected : facts) {
        SCOPED_TRACE(expected.name);
        sim::SetWindowsVersion(expected.version);
        ULONG major = 0;
        ULONG minor = 0;
        ULONG build = 0;
        // FALSE: a free build, not a checked one.
        EXPECT_EQ(PsGetVersion(&major, &minor, &build, nullptr), FALSE);
        EXPECT_EQ(major, expected.major);
        EXPECT_EQ(minor, expected.minor);
        EXPECT_GE(build, expected.lowestBuild);
        EXPECT_LE(build, expected.highestBuild);
    }
}

TEST_F(OsVersionTest, DdiQueryExistsFromVistaOnAndAnswersForTheConfiguredSystem)
{
    UNICODE_STRING routineName = Counted(u"RtlIsNtDdiVersionAvailable");
    for (const Facts& expected : facts) {
        SCOPED_TRACE(expected.name);
        sim::SetWindowsVersion(expected.version);
        auto query = reinterpret_cast<DdiQuery>(MmGetSystemRoutineAddress(&routineName));
        if (!expected.newestLevel) {
            EXPECT_EQ(query, nullptr);
            continue;
        }
        ASSERT_NE(query, nullptr);
        EXPECT_TRUE(query(NTDDI_WIN2K));
        EXPECT_TRUE(query(*expected.newestLevel));
        EXPECT_FALSE(query(expected.nextLevel));
    }
}

}  // namespace
}  // namespace bulkcom_test
