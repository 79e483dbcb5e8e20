// Device creation: the state a successful AddDevice leaves, the operating
// system generations, the power map, and every way AddDevice can fail.

#include "kernel/device_interfaces.h"
#include "kernel/device_objects.h"
#include "kernel/fault_injection.h"
#include "kernel/object_namespace.h"
#include "kernel/os_version.h"
#include "kernel/registry.h"
#include "support/device_under_test.h"
#include "support/port_access.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class AddDeviceTest : public SimTest {};

TEST_F(AddDeviceTest, LeavesAnAttachedNamedDeviceThatIsNotStarted)
{
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = device.Fdo();
    PDEVICE_EXTENSION extension = device.Extension();

    EXPECT_EQ(fdo->DeviceType, ULONG{FILE_DEVICE_SERIAL_PORT});
    EXPECT_EQ(fdo->Characteristics, 0u);
    EXPECT_EQ(fdo->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE), ULONG{DO_DIRECT_IO | DO_POWER_PAGABLE});
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(fdo->Flags & DO_EXCLUSIVE, 0u);
    EXPECT_TRUE(sim::KernelExtensionOf(fdo).Name.empty()) << "the device object has no name of its own";
    EXPECT_EQ(fdo->StackSize, device.Pdo()->StackSize + 1);

    EXPECT_EQ(extension->LowerDeviceObject, device.Pdo());
    EXPECT_EQ(extension->PhysicalDeviceObject, device.Pdo());
    EXPECT_EQ(extension->Self, fdo);
    EXPECT_EQ(extension->OsClass, 4u);
    EXPECT_EQ(extension->OutstandingIo, 1);
    EXPECT_EQ(KeReadStateEvent(&extension->StopEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&extension->RemoveEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&extension->PowerUpEvent), 1);
    EXPECT_EQ(KeReadStateSemaphore(&extension->IoSemaphore), 1);
    EXPECT_EQ(extension->IoSemaphore.Limit, 1);
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD0);
    EXPECT_FALSE(extension->PoweredDown);
    EXPECT_FALSE(extension->Started || extension->StartSeen || extension->Removed || extension->RemovePending ||
                 extension->StopPending || extension->PortOpen);
    EXPECT_EQ(extension->DeviceDescriptor, nullptr);
    EXPECT_EQ(extension->BulkInPipe, nullptr);

    // Named, but the I/O manager lets no open through until the device is started.
    EXPECT_TRUE(sim::Namespace::LinkTarget(u"\\DosDevices\\COM5").has_value());
    EXPECT_EQ(OpenComPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(extension->OutstandingIo, 1);
}

TEST_F(AddDeviceTest, AsksThePhysicalDeviceForItsCapabilitiesWithAPreparedRecord)
{
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    auto asked = device.Bus().CapabilitiesAsAsked(device.Pdo());
    ASSERT_TRUE(asked.has_value());
    EXPECT_EQ(asked->Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(asked->Version, 1);
    EXPECT_EQ(asked->Address, 0xFFFFFFFFu);
    EXPECT_EQ(asked->UINumber, 0xFFFFFFFFu);
    EXPECT_EQ(asked->DeviceState[PowerSystemWorking], PowerDeviceUnspecified) << "the rest of the record is zeroed";
    EXPECT_EQ(device.Extension()->DeviceCapabilities.Removable, 1u) << "kept as the bus reported it";
}

TEST_F(AddDeviceTest, PowerMapIsD0WhenWorkingAndD3OtherwiseWhateverTheBusReports)
{
    DeviceUnderTest device;
    DEVICE_CAPABILITIES reported = sim::TypicalUsbCapabilities();
    reported.DeviceState[PowerSystemUnspecified] = PowerDeviceD2;
    reported.DeviceState[PowerSystemWorking] = PowerDeviceD1;
    reported.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    reported.DeviceState[PowerSystemHibernate] = PowerDeviceUnspecified;
    device.Bus().SetCapabilities(device.Pdo(), reported);
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);

    const DEVICE_POWER_STATE* map = device.Extension()->DeviceStateMap;
    EXPECT_EQ(map[PowerSystemUnspecified], PowerDeviceD2);
    EXPECT_EQ(map[PowerSystemWorking], PowerDeviceD0);
    for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; state++) {
        EXPECT_EQ(map[state], PowerDeviceD3) << "system state " << state;
    }
    EXPECT_EQ(device.Extension()->DeviceCapabilities.DeviceState[PowerSystemWorking], PowerDeviceD1)
        << "the captured capabilities stay as reported";
}

TEST_F(AddDeviceTest, OperatingSystemGenerations)
{
    struct Case {
        sim::WindowsVersion version;
        ULONG osClass;
    };
    const Case cases[] = {
        {sim::WindowsVersion::WindowsXP, 1}, {sim::WindowsVersion::Server2003, 1}, {sim::WindowsVersion::Vista, 2},
        {sim::WindowsVersion::VistaSp1, 2},  {sim::WindowsVersion::Windows7, 3},   {sim::WindowsVersion::Windows8, 4},
        {sim::WindowsVersion::Windows10, 4},
    };
    for (const Case& c : cases) {
        sim::SetWindowsVersion(c.version);
        DeviceUnderTest device;
        ASSERT_EQ(device.Add(), STATUS_SUCCESS);
        EXPECT_EQ(device.Extension()->OsClass, c.osClass) << "version " << static_cast<int>(c.version);
    }
}

TEST_F(AddDeviceTest, RefusesSystemsOlderThanXpWithoutCreatingAnything)
{
    sim::SetWindowsVersion(sim::WindowsVersion::Windows2000);
    DeviceUnderTest device;
    EXPECT_EQ(device.Add(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(device.Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(device.Pnp().Driver()->DeviceObject, nullptr);
    EXPECT_TRUE(sim::DeviceInterfaces::Registered().empty());
}

TEST_F(AddDeviceTest, VersionTestWithoutTheQueryRoutineComparesMajorAndMinorOnly)
{
    sim::SetWindowsVersion(sim::WindowsVersion::WindowsXP);
    EXPECT_TRUE(IsOsVersionAvailable(NTDDI_WINXP));
    EXPECT_FALSE(IsOsVersionAvailable(NTDDI_WINXP + 0x0100)) << "a service pack cannot be confirmed";
    EXPECT_FALSE(IsOsVersionAvailable(NTDDI_WS03));
    EXPECT_TRUE(IsOsVersionAvailable(NTDDI_WIN2K));
    sim::SetWindowsVersion(sim::WindowsVersion::VistaSp1);
    EXPECT_TRUE(IsOsVersionAvailable(NTDDI_VISTASP1));
    EXPECT_FALSE(IsOsVersionAvailable(NTDDI_WIN7));
}

TEST_F(AddDeviceTest, CapabilitiesQueryThatIsNotAnsweredFailsAndDeletesTheDevice)
{
    DeviceUnderTest device;
    device.Bus().SetCapabilities(device.Pdo(), std::nullopt);
    EXPECT_EQ(device.Add(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(device.Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(device.Pnp().Driver()->DeviceObject, nullptr);
    EXPECT_TRUE(sim::DeviceInterfaces::Enabled().empty());
}

TEST_F(AddDeviceTest, MajorFunctionsWithoutHandlerAreRefusedByTheIoManager)
{
    DeviceUnderTest device;
    ASSERT_EQ(device.Add(), STATUS_SUCCESS);
    for (UCHAR major : {UCHAR{IRP_MJ_FLUSH_BUFFERS}, UCHAR{IRP_MJ_CLEANUP}, UCHAR{IRP_MJ_QUERY_INFORMATION},
                        UCHAR{IRP_MJ_SET_INFORMATION}, UCHAR{IRP_MJ_INTERNAL_DEVICE_CONTROL}}) {
        EXPECT_EQ(device.Pnp().SendRequest(device.Pdo(), major, 0, STATUS_SUCCESS, {}), STATUS_INVALID_DEVICE_REQUEST)
            << "major function " << int{major};
    }
    EXPECT_EQ(device.Extension()->OutstandingIo, 1);
    EXPECT_TRUE(device.Bus().Received(device.Pdo()).size() == 1) << "only the capabilities query went below";
}

// After a failed AddDevice nothing of the device is left; after a successful
// one the naming is consistent: link and device-map value exist together.
void ExpectConsistentOutcome(DeviceUnderTest& device, NTSTATUS status)
{
    auto link = sim::Namespace::LinkTarget(u"\\DosDevices\\COM5");
    auto names = sim::Registry::DeviceMapValueNames(u"SERIALCOMM");
    if (!NT_SUCCESS(status)) {
        EXPECT_EQ(device.Pdo()->AttachedDevice, nullptr);
        EXPECT_EQ(device.Pnp().Driver()->DeviceObject, nullptr);
        EXPECT_TRUE(sim::DeviceInterfaces::Enabled().empty());
        EXPECT_FALSE(link.has_value());
        EXPECT_TRUE(names.empty());
        return;
    }
    EXPECT_EQ(sim::DeviceInterfaces::Enabled().size(), 1u);
    EXPECT_EQ(link.has_value(), names.size() == 1) << "link and device-map value exist together";
    EXPECT_EQ(device.Extension()->OutstandingIo, 1);
}

TEST_F(AddDeviceTest, EveryFailingPlatformCallEndsCleanly)
{
    const sim::Fault kinds[] = {
        sim::Fault::CreateDevice,
        sim::Fault::AttachDevice,
        sim::Fault::AllocateIrp,
        sim::Fault::RegisterDeviceInterface,
        sim::Fault::SetDeviceInterfaceState,
        sim::Fault::OpenDeviceRegistryKey,
        sim::Fault::QueryValueKey,
        sim::Fault::CreateSymbolicLink,
        sim::Fault::WriteRegistryValue,
        sim::Fault::PoolAllocation,
    };
    for (sim::Fault kind : kinds) {
        unsigned calls;
        {
            DeviceUnderTest device;
            sim::Faults::Clear();
            ASSERT_EQ(device.Add(), STATUS_SUCCESS);
            calls = sim::Faults::CallCount(kind);
        }
        ASSERT_GT(calls, 0u) << sim::FaultName(kind) << " is never called by AddDevice";
        for (unsigned n = 1; n <= calls; n++) {
            SCOPED_TRACE(std::string(sim::FaultName(kind)) + " failing at call " + std::to_string(n));
            {
                DeviceUnderTest device;
                sim::Faults::Clear();
                sim::Faults::FailNthCall(kind, n, STATUS_INSUFFICIENT_RESOURCES);
                NTSTATUS status = device.Add();
                ExpectConsistentOutcome(device, status);
            }
            ExpectPlatformClean();
        }
    }
}

TEST_F(AddDeviceTest, FailuresThatEndAddDeviceReportTheirStatus)
{
    struct Case {
        sim::Fault kind;
        NTSTATUS injected;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {sim::Fault::CreateDevice, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        {sim::Fault::AttachDevice, STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_SUCH_DEVICE},
        {sim::Fault::AllocateIrp, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        {sim::Fault::RegisterDeviceInterface, STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_DEVICE_REQUEST},
        {sim::Fault::SetDeviceInterfaceState, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::FaultName(c.kind));
        {
            DeviceUnderTest device;
            sim::Faults::FailNthCall(c.kind, 1, c.injected);
            EXPECT_EQ(device.Add(), c.expected);
            EXPECT_EQ(device.Pdo()->AttachedDevice, nullptr);
        }
        ExpectPlatformClean();
    }
}

}  // namespace
}  // namespace bulkcom_test
