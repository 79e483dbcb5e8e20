// Device objects: creation, names, stacking, detaching and deletion.

#include <algorithm>

#include "kernel/device_objects.h"
#include "kernel/fault_injection.h"
#include "kernel/object_namespace.h"
#include "sim/support/test_driver.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

class DeviceObjectsTest : public SimTest {};

PDEVICE_OBJECT Create(TestDriver& driver, ULONG extensionSize = 0, const char16_t* name = nullptr,
                      NTSTATUS* status = nullptr)
{
    UNICODE_STRING deviceName = Counted(name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS result = IoCreateDevice(driver.Object(), extensionSize, name != nullptr ? &deviceName : nullptr,
                                     FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (status != nullptr) {
        *status = result;
    }
    return NT_SUCCESS(result) ? device : nullptr;
}

PDEVICE_OBJECT Lookup(const char16_t* name, NTSTATUS* status)
{
    return sim::Namespace::Resolve(name, nullptr, status);
}

TEST_F(DeviceObjectsTest, CreateGivesAZeroedExtensionAndAnObjectStillInitializing)
{
    TestDriver driver(u"\\Driver\\maker");
    constexpr ULONG extensionSize = 200;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.Object(), extensionSize, nullptr, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device),
              STATUS_SUCCESS);
    auto* extension = static_cast<UCHAR*>(device->DeviceExtension);
    ASSERT_NE(extension, nullptr);
    EXPECT_TRUE(std::all_of(extension, extension + extensionSize, [](UCHAR b) { return b == 0; }));
    EXPECT_NE(device->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_NE(device->Flags & DO_EXCLUSIVE, 0u);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(device->DriverObject, driver.Object());
    EXPECT_EQ(driver.Object()->DeviceObject, device);
    EXPECT_EQ(device->AttachedDevice, nullptr);

    // Memory a deleted device left dirty does not show through in the next one.
    std::fill_n(extension, extensionSize, UCHAR{0xFF});
    IoDeleteDevice(device);
    EXPECT_EQ(driver.Object()->DeviceObject, nullptr);
    PDEVICE_OBJECT next = Create(driver, extensionSize);
    ASSERT_NE(next, nullptr);
    auto* fresh = static_cast<UCHAR*>(next->DeviceExtension);
    EXPECT_TRUE(std::all_of(fresh, fresh + extensionSize, [](UCHAR b) { return b == 0; }));
}

TEST_F(DeviceObjectsTest, NamedDeviceIsFoundByNameUntilDeletedAndNamesAreUnique)
{
    TestDriver driver(u"\\Driver\\namer");
    PDEVICE_OBJECT device = Create(driver, 0, u"\\Device\\BcNamed0");
    ASSERT_NE(device, nullptr);
    NTSTATUS status;
    EXPECT_EQ(Lookup(u"\\Device\\BcNamed0", &status), device);
    EXPECT_EQ(Lookup(u"\\DEVICE\\bcnamed0", &status), device);

    NTSTATUS collision;
    EXPECT_EQ(Create(driver, 0, u"\\Device\\BcNamed0", &collision), nullptr);
    EXPECT_EQ(collision, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::LiveDeviceObjects().size(), 1u);

    IoDeleteDevice(device);
    EXPECT_EQ(Lookup(u"\\Device\\BcNamed0", &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::IsLiveDeviceObject(device));
}

TEST_F(DeviceObjectsTest, AttachingGoesOnTopOfTheStackAndCountsItsLocations)
{
    TestDriver bus(u"\\Driver\\bus");
    TestDriver function(u"\\Driver\\function");
    TestDriver filter(u"\\Driver\\filter");
    PDEVICE_OBJECT pdo = Create(bus);
    PDEVICE_OBJECT fdo = Create(function);
    PDEVICE_OBJECT upper = Create(filter);
    pdo->AlignmentRequirement = 3;

    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    EXPECT_EQ(fdo->StackSize, 2);
    EXPECT_EQ(fdo->AlignmentRequirement, 3u);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(sim::AttachedDeviceOf(pdo), fdo);

    // Attaching to the bottom of a stack attaches to whatever is on top.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, pdo), fdo);
    EXPECT_EQ(upper->StackSize, 3);
    EXPECT_EQ(sim::AttachedDeviceOf(pdo), upper);

    IoDetachDevice(fdo);
    EXPECT_EQ(fdo->AttachedDevice, nullptr);
    EXPECT_EQ(sim::AttachedDeviceOf(pdo), fdo);
    IoDeleteDevice(upper);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

TEST_F(DeviceObjectsTest, NothingAttachesToADeletedDevice)
{
    TestDriver bus(u"\\Driver\\bus");
    TestDriver function(u"\\Driver\\function");
    PDEVICE_OBJECT pdo = Create(bus);
    PDEVICE_OBJECT fdo = Create(function);
    // Kept in memory by a reference, as an open file would.
    sim::ReferenceDevice(pdo);
    IoDeleteDevice(pdo);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), nullptr);
    EXPECT_EQ(fdo->StackSize, 1);
    sim::DereferenceDevice(pdo);
}

TEST_F(DeviceObjectsTest, ADeletedDeviceIsListedAsReferencedUntilItsLastReferenceGoes)
{
    TestDriver bus(u"\\Driver\\bus");
    PDEVICE_OBJECT pdo = Create(bus);
    PDEVICE_OBJECT unreferenced = Create(bus);
    sim::ReferenceDevice(pdo);
    sim::ReferenceDevice(pdo);
    EXPECT_TRUE(sim::DeletedReferencedDeviceObjects().empty()) << "not deleted yet";

    IoDeleteDevice(unreferenced);
    IoDeleteDevice(pdo);
    EXPECT_EQ(sim::DeletedReferencedDeviceObjects(), std::vector<PDEVICE_OBJECT>{pdo});
    sim::DereferenceDevice(pdo);
    EXPECT_EQ(sim::DeletedReferencedDeviceObjects(), std::vector<PDEVICE_OBJECT>{pdo});
    sim::DereferenceDevice(pdo);
    EXPECT_TRUE(sim::DeletedReferencedDeviceObjects().empty());
}

TEST_F(DeviceObjectsTest, InjectedFaultsFailCreationAndAttachment)
{
    TestDriver driver(u"\\Driver\\faulty");
    sim::Faults::FailNthCall(sim::Fault::CreateDevice, 1, STATUS_NO_MEMORY);
    NTSTATUS status;
    EXPECT_EQ(Create(driver, 16, u"\\Device\\BcFaulty0", &status), nullptr);
    EXPECT_EQ(status, STATUS_NO_MEMORY);
    EXPECT_TRUE(sim::LiveDeviceObjects().empty());
    EXPECT_EQ(Lookup(u"\\Device\\BcFaulty0", &status), nullptr);

    PDEVICE_OBJECT lower = Create(driver);
    PDEVICE_OBJECT upper = Create(driver);
    sim::Faults::FailNthCall(sim::Fault::AttachDevice, 1);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), nullptr);
    EXPECT_EQ(lower->AttachedDevice, nullptr);
}

}  // namespace
}  // namespace bulkcom_test
