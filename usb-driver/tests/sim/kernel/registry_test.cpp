// The registry: a physical device's hardware key read through
// IoOpenDeviceRegistryKey and ZwQueryValueKey, and the hardware device map
// written with RtlWriteRegistryValue.

#include <cstring>
#include <optional>
#include <vector>

#include "kernel/fault_injection.h"
#include "kernel/kernel.h"
#include "kernel/registry.h"
#include "pnp-power/standin_bus.h"
#include "sim/support/test_driver.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

// The bus is made after the kernel's reset and gone before its checks.
class HardwareKeyTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        bus_.emplace();
        pdo_ = bus_->CreatePhysicalDevice(u"USB\\VID_1209&PID_B1C0\\1");
    }
    void TearDown() override
    {
        bus_.reset();
        SimTest::TearDown();
    }

    std::optional<sim::StandInBus> bus_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

class DeviceMapTest : public SimTest {};

// KEY_VALUE_FULL_INFORMATION as Windows lays it out: five ULONGs, then the name.
constexpr ULONG TitleIndexAt = 0;
constexpr ULONG TypeAt = 4;
constexpr ULONG DataOffsetAt = 8;
constexpr ULONG DataLengthAt = 12;
constexpr ULONG NameLengthAt = 16;
constexpr ULONG NameAt = 20;

ULONG UlongAt(const std::vector<UCHAR>& buffer, ULONG offset)
{
    ULONG value;
    std::memcpy(&value, buffer.data() + offset, sizeof value);
    return value;
}

NTSTATUS Query(HANDLE key, const char16_t* name, std::vector<UCHAR>& buffer, ULONG* resultLength)
{
    UNICODE_STRING valueName = Counted(name);
    return ZwQueryValueKey(key, &valueName, KeyValueFullInformation, buffer.empty() ? nullptr : buffer.data(),
                           static_cast<ULONG>(buffer.size()), resultLength);
}

TEST_F(HardwareKeyTest, FullInformationHasTheRealLayoutWithTheDataAtItsOffset)
{
    sim::Registry::SetHardwareString(pdo_, u"PortName", u"COM5");
    sim::Registry::SetHardwareDword(pdo_, u"SerialSkipExternalNaming", 1);
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    EXPECT_EQ(sim::Registry::OpenHandleCount(), 1u);

    std::vector<UCHAR> buffer(128, 0xCC);
    ULONG resultLength = 0;
    ASSERT_EQ(Query(key, u"PortName", buffer, &resultLength), STATUS_SUCCESS);
    EXPECT_EQ(UlongAt(buffer, TitleIndexAt), 0u);
    EXPECT_EQ(UlongAt(buffer, TypeAt), static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(UlongAt(buffer, NameLengthAt), 16u);
    EXPECT_EQ(std::memcmp(buffer.data() + NameAt, u"PortName", 16), 0);
    ULONG dataOffset = UlongAt(buffer, DataOffsetAt);
    ULONG dataLength = UlongAt(buffer, DataLengthAt);
    EXPECT_GE(dataOffset, NameAt + 16);
    EXPECT_EQ(dataLength, 10u);
    EXPECT_EQ(resultLength, dataOffset + dataLength);
    ASSERT_LE(dataOffset + dataLength, buffer.size());
    EXPECT_EQ(std::memcmp(buffer.data() + dataOffset, u"COM5", 10), 0);

    // Value names are not case-sensitive.
    ASSERT_EQ(Query(key, u"serialskipexternalnaming", buffer, &resultLength), STATUS_SUCCESS);
    EXPECT_EQ(UlongAt(buffer, TypeAt), static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(UlongAt(buffer, DataLengthAt), 4u);
    EXPECT_EQ(UlongAt(buffer, UlongAt(buffer, DataOffsetAt)), 1u);

    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(sim::Registry::OpenHandleCount(), 0u);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
}

TEST_F(HardwareKeyTest, ShortBuffersReportTheLengthNeeded)
{
    sim::Registry::SetHardwareString(pdo_, u"PortName", u"COM12");
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);

    std::vector<UCHAR> none;
    ULONG needed = 0;
    EXPECT_EQ(Query(key, u"PortName", none, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_GE(needed, NameAt + 16 + 12);

    // Too small for the fixed part: nothing is written.
    std::vector<UCHAR> tiny(NameAt - 4, 0xCC);
    ULONG resultLength = 0;
    EXPECT_EQ(Query(key, u"PortName", tiny, &resultLength), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(resultLength, needed);
    EXPECT_EQ(tiny, std::vector<UCHAR>(NameAt - 4, 0xCC));

    // The fixed part fits but not the rest.
    std::vector<UCHAR> partial(NameAt + 4);
    resultLength = 0;
    EXPECT_EQ(Query(key, u"PortName", partial, &resultLength), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(resultLength, needed);

    std::vector<UCHAR> enough(needed);
    EXPECT_EQ(Query(key, u"PortName", enough, &resultLength), STATUS_SUCCESS);
    EXPECT_EQ(resultLength, needed);
    EXPECT_EQ(std::memcmp(enough.data() + UlongAt(enough, DataOffsetAt), u"COM12", 12), 0);

    EXPECT_EQ(Query(key, u"Identifier", enough, &resultLength), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(HardwareKeyTest, QueriesNeedQueryAccessAndFaultsLeaveNoHandle)
{
    sim::Registry::SetHardwareString(pdo_, u"PortName", u"COM5");
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_SET_VALUE, &key), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(128);
    ULONG resultLength = 0;
    EXPECT_EQ(Query(key, u"PortName", buffer, &resultLength), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    sim::Faults::FailNthCall(sim::Fault::OpenDeviceRegistryKey, 1);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::Registry::OpenHandleCount(), 0u);

    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    sim::Faults::FailNthCall(sim::Fault::QueryValueKey, 1, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Query(key, u"PortName", buffer, &resultLength), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Query(key, u"PortName", buffer, &resultLength), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(DeviceMapTest, WrittenValuesAppearUnderTheHardwareDeviceMapUntilDeleted)
{
    const char16_t com5[] = u"COM5";
    const char16_t com7[] = u"COM7";
    auto bytesOf = [](const char16_t(&text)[5]) {
        auto* bytes = reinterpret_cast<const UCHAR*>(text);
        return std::vector<UCHAR>(bytes, bytes + sizeof text);
    };
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\BcSerial0", REG_SZ,
                                    const_cast<char16_t*>(com5), sizeof com5),
              STATUS_SUCCESS);
    auto value = sim::Registry::DeviceMapValue(u"SERIALCOMM", u"\\Device\\BcSerial0");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(value->data, bytesOf(com5));

    // A second write replaces the value.
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\BcSerial0", REG_SZ,
                                    const_cast<char16_t*>(com7), sizeof com7),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::Registry::DeviceMapValue(u"SERIALCOMM", u"\\Device\\BcSerial0")->data, bytesOf(com7));
    EXPECT_EQ(sim::Registry::DeviceMapValueNames(u"SERIALCOMM").size(), 1u);
    std::string report = sim::CheckKernel().Text();
    EXPECT_NE(report.find("SERIALCOMM value left: \\Device\\BcSerial0"), std::string::npos)
        << "a port name left behind is a leak the end-of-test checks name: " << report;

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\BcSerial0"), STATUS_SUCCESS);
    EXPECT_FALSE(sim::Registry::DeviceMapValue(u"SERIALCOMM", u"\\Device\\BcSerial0").has_value());
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\BcSerial0"),
              STATUS_OBJECT_NAME_NOT_FOUND);

    sim::Faults::FailNthCall(sim::Fault::WriteRegistryValue, 1);
    EXPECT_FALSE(NT_SUCCESS(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\BcSerial1", REG_SZ,
                                                  const_cast<char16_t*>(com5), sizeof com5)));
    EXPECT_FALSE(sim::Registry::DeviceMapValue(u"SERIALCOMM", u"\\Device\\BcSerial1").has_value());
}

}  // namespace
}  // namespace bulkcom_test
