// The COM port's names: device interface, DOS-device link and device-map
// entry, read from the hardware key, and withdrawn again.

#include "kernel/device_interfaces.h"
#include "kernel/fault_injection.h"
#include "kernel/object_namespace.h"
#include "kernel/registry.h"
#include "support/device_under_test.h"
#include "support/port_access.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class PortNamingTest : public SimTest {
protected:
    static std::u16string InterfaceLinkOf(const DeviceUnderTest& device)
    {
        return sim::FromUnicodeString(&device.Extension()->InterfaceName);
    }

    static std::vector<UCHAR> Utf16Bytes(std::u16string_view text, size_t trailingNuls)
    {
        std::vector<UCHAR> bytes;
        for (char16_t c : text) {
            bytes.push_back(static_cast<UCHAR>(c & 0xFF));
            bytes.push_back(static_cast<UCHAR>(c >> 8));
        }
        bytes.insert(bytes.end(), trailingNuls * 2, 0);
        return bytes;
    }

    static bool PortNamed(std::u16string_view portName)
    {
        return sim::Namespace::LinkTarget(u"\\DosDevices\\" + std::u16string(portName)).has_value();
    }
};

TEST_F(PortNamingTest, PortNameValueNamesTheLinkAndTheDeviceMapEntry)
{
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    std::u16string interfaceLink = InterfaceLinkOf(device);

    EXPECT_EQ(interfaceLink, u"\\??\\USB#VID_1209&PID_B1C0#5&2f3c1a&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_TRUE(sim::DeviceInterfaces::IsEnabled(interfaceLink));
    EXPECT_EQ(sim::Namespace::LinkTarget(u"\\DosDevices\\COM5"), interfaceLink);

    auto value = sim::Registry::DeviceMapValue(u"SERIALCOMM", interfaceLink);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, ULONG{REG_SZ});
    EXPECT_EQ(value->data, Utf16Bytes(u"COM5", 2)) << "the name, its terminator and one more NUL: 12 bytes";
    EXPECT_EQ(device.Extension()->PortName.Length, 10) << "the stored length counts the terminator";
    EXPECT_EQ(sim::FromUnicodeString(&device.Extension()->DosName), u"\\DosDevices\\COM5");
}

TEST_F(PortNamingTest, IdentifierNamesThePortWhenPortNameIsMissing)
{
    DeviceUnderTest device;
    sim::Registry::DeleteHardwareValue(device.Pdo(), u"PortName");
    sim::Registry::SetHardwareString(device.Pdo(), u"Identifier", u"COM7");
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    EXPECT_TRUE(PortNamed(u"COM7"));
    EXPECT_FALSE(PortNamed(u"COM5"));
    EXPECT_EQ(sim::Registry::DeviceMapValue(u"SERIALCOMM", InterfaceLinkOf(device))->data, Utf16Bytes(u"COM7", 2));
}

TEST_F(PortNamingTest, WithoutAnyNameTheDeviceIsAddedAndReachableOnlyThroughItsInterface)
{
    DeviceUnderTest device;
    sim::Registry::DeleteHardwareValue(device.Pdo(), u"PortName");
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::DeviceInterfaces::IsEnabled(InterfaceLinkOf(device)));
    EXPECT_TRUE(sim::Namespace::Links().size() == 1) << "only the interface link";
    EXPECT_TRUE(sim::Registry::DeviceMapValueNames(u"SERIALCOMM").empty());
    EXPECT_FALSE(device.Extension()->SymbolicLinkCreated || device.Extension()->SerialCommWritten);
}

TEST_F(PortNamingTest, SkipExternalNamingLeavesOnlyTheInterfaceAndStillSetsTheDefaults)
{
    DeviceUnderTest device;
    sim::Registry::SetHardwareDword(device.Pdo(), u"SerialSkipExternalNaming", 1);
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::DeviceInterfaces::IsEnabled(InterfaceLinkOf(device)));
    EXPECT_FALSE(PortNamed(u"COM5"));
    EXPECT_TRUE(sim::Registry::DeviceMapValueNames(u"SERIALCOMM").empty());
    EXPECT_EQ(device.Extension()->PortNameBuffer[0], 0) << "the port name is not read";
    EXPECT_EQ(device.Extension()->BaudRate, 115200u);
    EXPECT_EQ(device.Extension()->Timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(CreatePortName(device.Fdo()), STATUS_SUCCESS);
}

TEST_F(PortNamingTest, SkipExternalNamingLongerThanFourBytesIsIgnored)
{
    DeviceUnderTest device;
    sim::Registry::SetHardwareValue(device.Pdo(), u"SerialSkipExternalNaming",
                                    sim::RegistryValue{REG_BINARY, {1, 0, 0, 0, 1, 0, 0, 0}});
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    EXPECT_EQ(device.Extension()->SkipExternalNaming, 0u);
    EXPECT_TRUE(PortNamed(u"COM5"));
}

TEST_F(PortNamingTest, ValueDataIsTakenWhateverItsTypeAndAnOddLengthDoesNotOverrun)
{
    DeviceUnderTest device;
    // "COM9" and a stray byte, stored as binary data.
    std::vector<UCHAR> data = Utf16Bytes(u"COM9", 0);
    data.push_back('X');
    sim::Registry::SetHardwareValue(device.Pdo(), u"PortName", sim::RegistryValue{REG_BINARY, data});
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    EXPECT_TRUE(PortNamed(u"COM9X"));
    EXPECT_EQ(device.Extension()->PortNameBuffer[6], 0);
}

TEST_F(PortNamingTest, LongestPortNameThatFitsTheDosNameIsUsed)
{
    std::u16string longest(244, u'P');
    DeviceUnderTest device;
    device.SetPortName(longest);
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    EXPECT_TRUE(PortNamed(longest));
    EXPECT_EQ(device.Extension()->DosName.Length, 512);
}

TEST_F(PortNamingTest, NamesThatWouldLeaveALinkUnderDosDevicesAloneAreNotUsed)
{
    const std::u16string cases[] = {std::u16string(245, u'P'), std::u16string(255, u'P'), u""};
    for (const auto& name : cases) {
        SCOPED_TRACE("port name of " + std::to_string(name.size()) + " characters");
        {
            DeviceUnderTest device;
            device.SetPortName(name);
            ASSERT_EQ(device.Add(), STATUS_SUCCESS);
            EXPECT_TRUE(sim::Namespace::Links().size() == 1) << "only the interface link";
            EXPECT_FALSE(sim::Namespace::LinkTarget(u"\\DosDevices\\").has_value());
            EXPECT_TRUE(sim::Registry::DeviceMapValueNames(u"SERIALCOMM").empty());
            EXPECT_TRUE(sim::DeviceInterfaces::IsEnabled(InterfaceLinkOf(device)));
        }
        ExpectPlatformClean();
    }
}

TEST_F(PortNamingTest, ValueLongerThanTheBufferLeavesItUntouched)
{
    // 511 bytes fit the query buffer but not the 510-byte destination: the
    // query succeeds and copies nothing, so Identifier is not tried and the
    // port stays unnamed.
    DeviceUnderTest device;
    std::vector<UCHAR> data = Utf16Bytes(std::u16string(255, u'Q'), 0);
    data.push_back(0);
    sim::Registry::SetHardwareValue(device.Pdo(), u"PortName", sim::RegistryValue{REG_SZ, data});
    sim::Registry::SetHardwareString(device.Pdo(), u"Identifier", u"COM7");
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    EXPECT_EQ(device.Extension()->PortNameBuffer[0], 0);
    EXPECT_FALSE(PortNamed(u"COM7"));
}

TEST_F(PortNamingTest, QueryStatusPassesThroughWhateverWasCopied)
{
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(device.Pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    WCHAR small[2] = {u'a', u'b'};
    EXPECT_EQ(QueryRegistryValue(key, u"PortName", 18, small, sizeof small), STATUS_SUCCESS);
    EXPECT_EQ(small[0], u'a') << "too long for the destination: left as it was";
    EXPECT_EQ(QueryRegistryValue(key, u"Missing", 16, small, sizeof small), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(PortNamingTest, InterfaceNamesThatDoNotFitTheBufferAreRefused)
{
    // \??\ + instance + #{guid}: 4 + n + 39 characters.
    std::u16string prefix = u"USB\\VID_1209&PID_B1C0\\";
    for (size_t total : {size_t{258}, size_t{259}}) {
        SCOPED_TRACE("interface name of " + std::to_string(total) + " characters");
        std::u16string instance = prefix + std::u16string(total - 4 - 39 - prefix.size(), u'7');
        {
            DeviceUnderTest device(instance);
            NTSTATUS status = device.Add();
            if (total == 258) {
                ASSERT_EQ(status, STATUS_SUCCESS);
                EXPECT_EQ(device.Extension()->InterfaceName.Length, 516);
                EXPECT_EQ(device.Extension()->InterfaceNameBuffer[258], 0);
                EXPECT_TRUE(PortNamed(u"COM5"));
            } else {
                EXPECT_EQ(status, STATUS_NAME_TOO_LONG);
                EXPECT_EQ(device.Pdo()->AttachedDevice, nullptr);
            }
        }
        ExpectPlatformClean();
    }
}

TEST_F(PortNamingTest, FailedDeviceMapWriteTakesTheLinkBackOut)
{
    DeviceUnderTest device;
    sim::Faults::FailNthCall(sim::Fault::WriteRegistryValue, 1, STATUS_ACCESS_DENIED);
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    EXPECT_FALSE(PortNamed(u"COM5"));
    EXPECT_FALSE(device.Extension()->SymbolicLinkCreated);
    EXPECT_TRUE(sim::DeviceInterfaces::IsEnabled(InterfaceLinkOf(device)));
}

TEST_F(PortNamingTest, RegistrationAndWithdrawalRunOnceWhateverTheCalls)
{
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    std::u16string interfaceLink = InterfaceLinkOf(device);
    EXPECT_EQ(RegisterPortInterface(device.Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(sim::Namespace::Links().size(), 2u);

    EXPECT_EQ(UnregisterPortInterface(device.Fdo()), STATUS_SUCCESS);
    EXPECT_FALSE(sim::DeviceInterfaces::IsEnabled(interfaceLink));
    EXPECT_FALSE(PortNamed(u"COM5"));
    EXPECT_TRUE(sim::Registry::DeviceMapValueNames(u"SERIALCOMM").empty());
    EXPECT_EQ(UnregisterPortInterface(device.Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(RemovePortName(device.Fdo()), STATUS_SUCCESS);
}

TEST_F(PortNamingTest, FailedDisableStillRemovesTheName)
{
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    sim::Faults::FailNthCall(sim::Fault::SetDeviceInterfaceState, 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(UnregisterPortInterface(device.Fdo()), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(device.Extension()->InterfaceRegistered);
    EXPECT_FALSE(PortNamed(u"COM5"));
}

}  // namespace
}  // namespace bulkcom_test
