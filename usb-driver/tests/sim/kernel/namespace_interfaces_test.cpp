// The object namespace's symbolic links, and device interfaces whose links
// exist while they are enabled.

#include <algorithm>

#include "kernel/device_interfaces.h"
#include "kernel/fault_injection.h"
#include "kernel/object_namespace.h"
#include "kernel/pool.h"
#include "pnp-power/standin_bus.h"
#include "sim/support/test_driver.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class SymbolicLinksTest : public SimTest {};
class DeviceInterfacesTest : public SimTest {};

constexpr char16_t InstanceId[] = u"USB\\VID_1209&PID_B1C0\\5&2f3c1a&0&1";
constexpr GUID InterfaceClass = {0x12345678, 0x9abc, 0xdef0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}};
constexpr char16_t InterfaceName[] = u"\\??\\USB#VID_1209&PID_B1C0#5&2f3c1a&0&1#{12345678-9abc-def0-0123-456789abcdef}";

PDEVICE_OBJECT Lookup(std::u16string_view name, NTSTATUS* status, std::u16string* remainder = nullptr)
{
    return sim::Namespace::Resolve(name, remainder, status);
}

bool IsPoolAllocation(PVOID address)
{
    auto outstanding = sim::Pool::Outstanding();
    return std::any_of(outstanding.begin(), outstanding.end(),
                       [&](const sim::PoolAllocation& allocation) { return allocation.address == address; });
}

TEST_F(SymbolicLinksTest, DosDeviceLinksChainToTheNamedDevice)
{
    TestDriver driver(u"\\Driver\\linked");
    PDEVICE_OBJECT device = driver.CreateDevice(u"\\Device\\BcChain0");
    UNICODE_STRING target = Counted(u"\\Device\\BcChain0");
    UNICODE_STRING middle = Counted(u"\\??\\BCY");
    UNICODE_STRING outer = Counted(u"\\DosDevices\\BCX");
    ASSERT_EQ(IoCreateSymbolicLink(&middle, &target), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateSymbolicLink(&outer, &middle), STATUS_SUCCESS);

    NTSTATUS status;
    for (std::u16string_view name : {u"\\??\\BCX", u"\\DosDevices\\BCX", u"\\??\\bcx", u"\\GLOBAL??\\BCX"}) {
        SCOPED_TRACE(sim::ToUtf8(name));
        EXPECT_EQ(Lookup(name, &status), device);
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    std::u16string remainder;
    EXPECT_EQ(Lookup(u"\\??\\BCX\\inside", &status, &remainder), device);
    EXPECT_EQ(remainder, u"\\inside");

    // \DosDevices\BCX and \??\BCX are one name.
    UNICODE_STRING same = Counted(u"\\??\\BCX");
    EXPECT_EQ(IoCreateSymbolicLink(&same, &target), STATUS_OBJECT_NAME_COLLISION);

    EXPECT_EQ(IoDeleteSymbolicLink(&same), STATUS_SUCCESS);
    EXPECT_EQ(Lookup(u"\\DosDevices\\BCX", &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(NT_SUCCESS(IoDeleteSymbolicLink(&outer)));
    EXPECT_EQ(Lookup(u"\\??\\BCY", &status), device);
    EXPECT_EQ(IoDeleteSymbolicLink(&middle), STATUS_SUCCESS);
}

TEST_F(DeviceInterfacesTest, RegistrationReturnsAPoolNameOfTheRealFormFreedByTheCaller)
{
    sim::StandInBus bus;
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(InstanceId);
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &InterfaceClass, nullptr, &name), STATUS_SUCCESS);
    EXPECT_EQ(sim::FromUnicodeString(&name), InterfaceName);
    EXPECT_GE(name.MaximumLength, name.Length);
    EXPECT_TRUE(IsPoolAllocation(name.Buffer));

    // Registering again names the same interface, in a buffer of its own.
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &InterfaceClass, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(sim::FromUnicodeString(&again), InterfaceName);
    EXPECT_NE(again.Buffer, name.Buffer);
    EXPECT_EQ(sim::DeviceInterfaces::Registered().size(), 1u);

    RtlFreeUnicodeString(&name);
    RtlFreeUnicodeString(&again);
    EXPECT_EQ(name.Buffer, nullptr);
    EXPECT_EQ(name.Length, 0);
    EXPECT_TRUE(sim::Pool::Outstanding().empty());
}

TEST_F(DeviceInterfacesTest, OnlyAPhysicalDeviceRegistersAndFailuresAllocateNothing)
{
    sim::StandInBus bus;
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(InstanceId);
    TestDriver function(u"\\Driver\\function");
    PDEVICE_OBJECT fdo = function.CreateDevice({}, pdo);
    UNICODE_STRING name{};
    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &InterfaceClass, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);

    sim::Faults::FailNthCall(sim::Fault::RegisterDeviceInterface, 1);
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &InterfaceClass, nullptr, &name), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(name.Buffer, nullptr);
    EXPECT_TRUE(sim::Pool::Outstanding().empty());
    EXPECT_TRUE(sim::DeviceInterfaces::Registered().empty());
}

TEST_F(DeviceInterfacesTest, EnablingCreatesTheLinkAndDisablingRemovesIt)
{
    sim::StandInBus bus;
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(InstanceId);
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &InterfaceClass, nullptr, &name), STATUS_SUCCESS);
    NTSTATUS status;
    EXPECT_EQ(Lookup(InterfaceName, &status), nullptr);

    sim::Faults::FailNthCall(sim::Fault::SetDeviceInterfaceState, 1);
    EXPECT_FALSE(NT_SUCCESS(IoSetDeviceInterfaceState(&name, TRUE)));
    EXPECT_EQ(Lookup(InterfaceName, &status), nullptr);

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Lookup(InterfaceName, &status), pdo);
    EXPECT_TRUE(sim::DeviceInterfaces::IsEnabled(InterfaceName));
    // Enabling twice is an informational status, not an error.
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(Lookup(InterfaceName, &status), pdo);

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Lookup(InterfaceName, &status), nullptr);
    EXPECT_FALSE(sim::DeviceInterfaces::IsEnabled(InterfaceName));
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&name);
}

}  // namespace
}  // namespace bulkcom_test
