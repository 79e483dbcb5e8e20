// The Plug and Play manager loading a tiny function driver and sending it
// requests, and the stand-in bus driver answering them below it.

#include <cstring>
#include <vector>

#include "kernel/object_namespace.h"
#include "pnp-power/pnp_manager.h"
#include "pnp-power/standin_bus.h"
#include "sim/test_driver.h"
#include "support/sim_test.h"

namespace bulkcom_test {
namespace {

// The tiny driver's entry points are plain functions; this is what they saw
// and how they behave.
struct TinyDriver {
    PDRIVER_OBJECT loadedAs = nullptr;
    std::u16string registryPath;
    bool clearInitializing = true;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT below = nullptr;
    KIRQL addDeviceIrql = HIGH_LEVEL;
    // Rule breakers: a stop failed, a removal completed without the bus.
    bool failStop = false;
    bool keepRemoval = false;
    std::vector<NTSTATUS> statusOnArrival;
    std::vector<KIRQL> pnpIrql;
} tiny;

NTSTATUS NTAPI TinyPnp(PDEVICE_OBJECT, PIRP irp)
{
    tiny.statusOnArrival.push_back(irp->IoStatus.Status);
    tiny.pnpIrql.push_back(KeGetCurrentIrql());
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (tiny.failStop && minor == IRP_MN_STOP_DEVICE) {
        return CompleteWith(irp, STATUS_UNSUCCESSFUL);
    }
    if (tiny.keepRemoval && minor == IRP_MN_REMOVE_DEVICE) {
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    // A function driver claims the requests it handles before passing them on.
    if (minor == IRP_MN_START_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return PassDown(tiny.below, irp);
}

NTSTATUS NTAPI TinyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    tiny.addDeviceIrql = KeGetCurrentIrql();
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &tiny.fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    tiny.below = IoAttachDeviceToDeviceStack(tiny.fdo, physicalDevice);
    if (tiny.clearInitializing) {
        tiny.fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TinyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    tiny.loadedAs = driver;
    tiny.registryPath = sim::FromUnicodeString(registryPath);
    driver->DriverExtension->AddDevice = TinyAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = TinyPnp;
    return STATUS_SUCCESS;
}

// The bus, its device and the loaded tiny driver; the function device goes
// before the driver is unloaded, as removal would leave it.
struct TinySystem {
    sim::StandInBus bus;
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(u"USB\\VID_1209&PID_B1C0\\7");
    sim::PnpManager pnp{TinyEntry};

    ~TinySystem()
    {
        if (tiny.fdo != nullptr) {
            IoDetachDevice(tiny.below);
            IoDeleteDevice(tiny.fdo);
        }
    }
};

class Pnp : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        tiny = TinyDriver{};
    }
};

DEVICE_CAPABILITIES BlankCapabilities()
{
    DEVICE_CAPABILITIES capabilities;
    std::memset(&capabilities, 0xFF, sizeof capabilities);
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    return capabilities;
}

TEST_F(Pnp, LoadsTheDriverAndAddsTheDeviceOnTopOfThePhysicalOne)
{
    TinySystem system;
    EXPECT_EQ(system.pnp.EntryStatus(), STATUS_SUCCESS);
    EXPECT_EQ(tiny.loadedAs, system.pnp.Driver());
    EXPECT_FALSE(tiny.registryPath.empty());

    EXPECT_EQ(system.pnp.AddDevice(system.pdo), STATUS_SUCCESS);
    EXPECT_EQ(tiny.addDeviceIrql, PASSIVE_LEVEL);
    ASSERT_NE(tiny.fdo, nullptr);
    EXPECT_EQ(tiny.below, system.pdo);
    EXPECT_EQ(system.pdo->AttachedDevice, tiny.fdo);
    EXPECT_EQ(tiny.fdo->StackSize, 2);
}

TEST_F(Pnp, AddDeviceThatLeavesTheDeviceInitializingIsABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto addWithoutClearing = [] {
        tiny.clearInitializing = false;
        TinySystem system;
        system.pnp.AddDevice(system.pdo);
    };
    EXPECT_DEATH(addWithoutClearing(), "DRIVER_VERIFIER_DETECTED_VIOLATION");
}

TEST_F(Pnp, RequestsNoDriverMayFailSucceedAndReachTheBus)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto send = [](UCHAR minor) {
        TinySystem system;
        system.pnp.AddDevice(system.pdo);
        return system.pnp.SendPnp(system.pdo, minor);
    };
    for (UCHAR minor : {UCHAR{IRP_MN_STOP_DEVICE}, UCHAR{IRP_MN_CANCEL_STOP_DEVICE}, UCHAR{IRP_MN_CANCEL_REMOVE_DEVICE},
                        UCHAR{IRP_MN_SURPRISE_REMOVAL}, UCHAR{IRP_MN_REMOVE_DEVICE}}) {
        tiny = TinyDriver{};
        EXPECT_EQ(send(minor), STATUS_SUCCESS) << "minor " << int{minor};
    }
    tiny.failStop = true;
    EXPECT_DEATH(send(IRP_MN_STOP_DEVICE), "DRIVER_VERIFIER_IOMANAGER_VIOLATION.*IRP_MN_STOP_DEVICE failed");
    tiny = TinyDriver{};
    tiny.keepRemoval = true;
    EXPECT_DEATH(send(IRP_MN_REMOVE_DEVICE), "IRP_MN_REMOVE_DEVICE completed without reaching the bus driver");
    tiny = TinyDriver{};
}

TEST_F(Pnp, RequestsArriveWithNotSupportedPresetAndTheBusAnswersCapabilities)
{
    TinySystem system;
    ASSERT_EQ(system.pnp.AddDevice(system.pdo), STATUS_SUCCESS);

    DEVICE_CAPABILITIES capabilities = BlankCapabilities();
    auto askCapabilities = [&](IO_STACK_LOCATION& stack) {
        stack.Parameters.DeviceCapabilities.Capabilities = &capabilities;
    };
    EXPECT_EQ(system.pnp.SendPnp(system.pdo, IRP_MN_QUERY_CAPABILITIES, askCapabilities), STATUS_SUCCESS);
    DEVICE_CAPABILITIES expected = sim::TypicalUsbCapabilities();
    EXPECT_EQ(std::memcmp(&capabilities, &expected, sizeof expected), 0);

    // Without a record the query stays unanswered and the record untouched.
    system.bus.SetCapabilities(system.pdo, std::nullopt);
    capabilities = BlankCapabilities();
    const DEVICE_CAPABILITIES blank = capabilities;
    EXPECT_EQ(system.pnp.SendPnp(system.pdo, IRP_MN_QUERY_CAPABILITIES, askCapabilities), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(std::memcmp(&capabilities, &blank, sizeof blank), 0);

    // Anything else the bus completes with the status it carries.
    EXPECT_EQ(system.pnp.SendPnp(system.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(system.pnp.SendPnp(system.pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);

    EXPECT_EQ(tiny.statusOnArrival, std::vector<NTSTATUS>(4, STATUS_NOT_SUPPORTED));
    EXPECT_EQ(tiny.pnpIrql, std::vector<KIRQL>(4, KIRQL{PASSIVE_LEVEL}));
    std::vector<UCHAR> minors;
    for (const sim::ReceivedRequest& request : system.bus.Received(system.pdo)) {
        EXPECT_EQ(request.majorFunction, IRP_MJ_PNP);
        minors.push_back(request.minorFunction);
    }
    EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_CAPABILITIES,
                                          IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_START_DEVICE}));
}

}  // namespace
}  // namespace bulkcom_test
