// The Plug and Play manager loading a tiny function driver and sending it
// requests, and the stand-in bus driver answering them below it; the I/O
// manager letting opens through only to a started stack, and the manager
// asking for an orderly removal only once no file is open on the stack.

#include <cstring>
#include <optional>
#include <vector>

#include "application_side.h"
#include "kernel/device_objects.h"
#include "kernel/object_namespace.h"
#include "pnp-power/pnp_manager.h"
#include "pnp-power/standin_bus.h"
#include "sim/support/test_driver.h"
#include "support/sim_test.h"
#include "win32_api.h"

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
    // Refusals a driver may give.
    bool failStart = false;
    bool failQueryRemove = false;
    std::vector<NTSTATUS> statusOnArrival;
    std::vector<KIRQL> pnpIrql;
    std::vector<UCHAR> pnpMinors;
    // Create, cleanup and close, as they reached the driver.
    std::vector<UCHAR> fileRequests;
    // The control request last sent, kept pending.
    PIRP held = nullptr;
} tiny;

NTSTATUS NTAPI TinyPnp(PDEVICE_OBJECT, PIRP irp)
{
    tiny.statusOnArrival.push_back(irp->IoStatus.Status);
    tiny.pnpIrql.push_back(KeGetCurrentIrql());
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    tiny.pnpMinors.push_back(minor);
    if (tiny.failStop && minor == IRP_MN_STOP_DEVICE) {
        return CompleteWith(irp, STATUS_UNSUCCESSFUL);
    }
    if ((tiny.failStart && minor == IRP_MN_START_DEVICE) ||
        (tiny.failQueryRemove && minor == IRP_MN_QUERY_REMOVE_DEVICE)) {
        return CompleteWith(irp, STATUS_DEVICE_BUSY);
    }
    if (tiny.keepRemoval && minor == IRP_MN_REMOVE_DEVICE) {
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    // A function driver claims the requests it handles before passing them on.
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return PassDown(tiny.below, irp);
}

NTSTATUS NTAPI TinyFile(PDEVICE_OBJECT, PIRP irp)
{
    tiny.fileRequests.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    return CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI TinyControl(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    tiny.held = irp;
    return STATUS_PENDING;
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
    for (UCHAR major : {UCHAR{IRP_MJ_CREATE}, UCHAR{IRP_MJ_CLEANUP}, UCHAR{IRP_MJ_CLOSE}}) {
        driver->MajorFunction[major] = TinyFile;
    }
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TinyControl;
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

class PnpTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        tiny = TinyDriver{};
    }
};

// Tests that open the physical device as an application does, through a
// DOS-device name.
class PnpWithFilesTest : public PnpTest {
protected:
    void SetUp() override
    {
        PnpTest::SetUp();
        system_.emplace();
        pdoName_ = sim::KernelExtensionOf(system_->pdo).Name;
        UNICODE_STRING target = Counted(pdoName_.c_str());
        ASSERT_EQ(IoCreateSymbolicLink(&link_, &target), STATUS_SUCCESS);
        ASSERT_EQ(system_->pnp.AddDevice(system_->pdo), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        IoDeleteSymbolicLink(&link_);
        system_.reset();
        PnpTest::TearDown();
    }

    static HANDLE Open(const char* name = "\\\\.\\TINY")
    {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    }
    // Opens and closes again; the error of a refused open.
    static DWORD OpenAndClose(const char* name = "\\\\.\\TINY")
    {
        HANDLE file = Open(name);
        if (file == INVALID_HANDLE_VALUE) {
            return GetLastError();
        }
        CloseHandle(file);
        return ERROR_SUCCESS;
    }

    std::optional<TinySystem> system_;

private:
    std::u16string pdoName_;
    UNICODE_STRING link_ = Counted(u"\\DosDevices\\TINY");
};

DEVICE_CAPABILITIES BlankCapabilities()
{
    DEVICE_CAPABILITIES capabilities;
    std::memset(&capabilities, 0xFF, sizeof capabilities);
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    return capabilities;
}

TEST_F(PnpTest, LoadsTheDriverAndAddsTheDeviceOnTopOfThePhysicalOne)
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

TEST_F(PnpTest, AddDeviceThatLeavesTheDeviceInitializingIsABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto addWithoutClearing = [] {
        tiny.clearInitializing = false;
        TinySystem system;
        system.pnp.AddDevice(system.pdo);
    };
    EXPECT_DEATH(addWithoutClearing(), "DRIVER_VERIFIER_DETECTED_VIOLATION");
}

TEST_F(PnpTest, RequestsNoDriverMayFailSucceedAndReachTheBus)
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

TEST_F(PnpTest, RequestsArriveWithNotSupportedPresetAndTheBusAnswersCapabilities)
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

constexpr DWORD IoctlHeld = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x840, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr UCHAR FileRequestsOfAnOpen[] = {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};

TEST_F(PnpWithFilesTest, OpensReachAPlugAndPlayStackOnlyFromItsStartToItsRemoval)
{
    EXPECT_EQ(OpenAndClose(), DWORD{ERROR_FILE_NOT_FOUND}) << "added, not started";
    tiny.failStart = true;
    EXPECT_EQ(system_->pnp.SendPnp(system_->pdo, IRP_MN_START_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(OpenAndClose(), DWORD{ERROR_FILE_NOT_FOUND}) << "start failed";
    EXPECT_TRUE(tiny.fileRequests.empty()) << "an open reached the driver of a stack never started";

    tiny.failStart = false;
    ASSERT_EQ(system_->pnp.SendPnp(system_->pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(OpenAndClose(), DWORD{ERROR_SUCCESS});
    ASSERT_EQ(system_->pnp.SendPnp(system_->pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(OpenAndClose(), DWORD{ERROR_FILE_NOT_FOUND}) << "removed";
    EXPECT_EQ(tiny.fileRequests, std::vector<UCHAR>(std::begin(FileRequestsOfAnOpen), std::end(FileRequestsOfAnOpen)));

    // A control device outside Plug and Play opens at any time.
    tiny.fileRequests.clear();
    UNICODE_STRING controlName = Counted(u"\\Device\\TinyControl");
    UNICODE_STRING controlLink = Counted(u"\\DosDevices\\TINYCONTROL");
    PDEVICE_OBJECT control = nullptr;
    ASSERT_EQ(IoCreateDevice(system_->pnp.Driver(), 0, &controlName, FILE_DEVICE_UNKNOWN, 0, FALSE, &control),
              STATUS_SUCCESS);
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(IoCreateSymbolicLink(&controlLink, &controlName), STATUS_SUCCESS);
    EXPECT_EQ(OpenAndClose("\\\\.\\TINYCONTROL"), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(tiny.fileRequests, std::vector<UCHAR>(std::begin(FileRequestsOfAnOpen), std::end(FileRequestsOfAnOpen)));
    IoDeleteSymbolicLink(&controlLink);
    IoDeleteDevice(control);
}

TEST_F(PnpWithFilesTest, AnOrderlyRemovalIsVetoedWhileAFileIsOpenOnTheStack)
{
    ASSERT_EQ(system_->pnp.SendPnp(system_->pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    HANDLE file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    sim::PNP_VETO_TYPE veto{};
    EXPECT_EQ(system_->pnp.QueryAndRemove(system_->pdo, &veto), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(veto, sim::PNP_VetoOutstandingOpen);
    EXPECT_EQ(system_->pnp.SendPnp(system_->pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_PLUGPLAY_QUERY_VETOED);

    // Its handle closed, a file stays open while a request holds it.
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(file, IoctlHeld, nullptr, 0, nullptr, 0, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    EXPECT_TRUE(CloseHandle(file));
    veto = {};
    EXPECT_EQ(system_->pnp.QueryAndRemove(system_->pdo, &veto), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(veto, sim::PNP_VetoOutstandingOpen);
    EXPECT_EQ(tiny.pnpMinors, std::vector<UCHAR>{IRP_MN_START_DEVICE}) << "a vetoed removal sends nothing";
    ASSERT_NE(tiny.held, nullptr);
    CompleteWith(tiny.held, STATUS_SUCCESS);
    sim::WaitForDeferredCloses();
    EXPECT_TRUE(CloseHandle(overlapped.hEvent));

    // With no file open, the driver's refusal is the veto, and the query is cancelled.
    tiny.failQueryRemove = true;
    EXPECT_EQ(system_->pnp.QueryAndRemove(system_->pdo, &veto), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(veto, sim::PNP_VetoDevice);
    tiny.failQueryRemove = false;

    // Told of the query-remove first, an application closes its file and the removal goes on.
    file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    system_->pnp.WatchQueryRemove(system_->pdo, [&file] {
        EXPECT_TRUE(CloseHandle(file));
        file = INVALID_HANDLE_VALUE;
    });
    EXPECT_EQ(system_->pnp.QueryAndRemove(system_->pdo), STATUS_SUCCESS);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(tiny.pnpMinors,
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                                  IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

}  // namespace
}  // namespace bulkcom_test
