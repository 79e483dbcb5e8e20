#include "scenario.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "account.h"
#include "frame/frame.h"
#include "kernel/device_objects.h"
#include "kernel/kernel.h"
#include "kernel/object_namespace.h"
#include "kernel/registry.h"
#include "kernel/status_names.h"
#include "application_side.h"
#include "platform_checks.h"
#include "pnp-power/pnp_manager.h"
#include "port_names.h"
#include "request_trace.h"
#include "status_mapping.h"
#include "usb/loopback_device.h"
#include "usb/usb_bus.h"
#include "win32_api.h"

namespace {

std::string Text(std::u16string_view text)
{
    return sim::ToUtf8(text);
}

// Such as "115200 baud 8N1".
std::string LineSettings(const DCB& dcb)
{
    static constexpr const char* parities[] = {"N", "O", "E", "M", "S"};
    static constexpr const char* stopBits[] = {"1", "1.5", "2"};
    return std::to_string(dcb.BaudRate) + " baud " + std::to_string(dcb.ByteSize) +
           (dcb.Parity < 5 ? parities[dcb.Parity] : "?") + (dcb.StopBits < 3 ? stopBits[dcb.StopBits] : "?");
}

std::string Bytes(DWORD count)
{
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

class Scenario {
public:
    Scenario(const ScenarioOptions& options, Account& account);
    void Run();

private:
    void PlugIn();
    bool Enumerate();
    bool Open();
    void Configure();
    void RoundTrip();
    void SleepAndResume();
    void SafeRemovalWhileOpen();
    void Close();
    void Unplug();

    const ScenarioOptions& options_;
    Account& account_;
    const std::u16string portName_;
    const std::string path_;
    // Declared first so that it hears everything until the end.
    std::optional<RequestTrace> trace_;
    std::unique_ptr<sim::UsbBus> bus_;
    std::unique_ptr<sim::PnpManager> pnp_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::u16string interfaceLink_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

Scenario::Scenario(const ScenarioOptions& options, Account& account)
    : options_(options), account_(account), portName_(sim::ToU16(options.portName)), path_("\\\\.\\" + options.portName)
{
    if (options.trace) {
        trace_.emplace();
    }
}

void Scenario::Run()
{
    PlugIn();
    if (Enumerate() && Open()) {
        Configure();
        account_.Step("the application writes a message and reads the echo");
        RoundTrip();
        SleepAndResume();
        SafeRemovalWhileOpen();
        Close();
    }
    Unplug();
}

void Scenario::PlugIn()
{
    account_.Step("a loopback USB device is plugged into the simulated USB bus");
    bus_ = std::make_unique<sim::UsbBus>();
    if (!options_.pcap.empty()) {
        std::string error;
        std::shared_ptr<sim::UsbCapture> capture = sim::UsbCapture::Create(options_.pcap, error);
        account_.Expect(capture != nullptr,
                        Labelled("capture", capture != nullptr ? "every URB the bus receives goes to " + options_.pcap
                                                               : "cannot write " + options_.pcap + ": " + error));
        if (capture != nullptr) {
            bus_->StartCapture(std::move(capture));
        }
    }
    pdo_ = bus_->CreatePhysicalDevice(std::make_shared<sim::LoopbackDevice>());
    sim::Registry::SetHardwareString(pdo_, u"PortName", portName_);
    if (trace_) {
        trace_->NameDevicesOf(pdo_->DriverObject, "USB PDO");
    }
    const _DEVOBJ_EXTENSION& kernel = sim::KernelExtensionOf(pdo_);
    account_.Detail(Labelled("device", Text(kernel.InstanceId) + ": one bulk IN, one bulk OUT, 64-byte packets"));
    account_.Detail(
        Labelled("USB PDO", Text(kernel.Name) + ", its hardware key names the port " + Quoted(options_.portName)));
}

bool Scenario::Enumerate()
{
    account_.Step("the Plug and Play manager loads bulkcom and starts the device");
    pnp_ = std::make_unique<sim::PnpManager>(DriverEntry);
    if (trace_) {
        trace_->NameDevicesOf(pnp_->Driver(), "bulkcom FDO");
    }
    bus_->SetUnplugHandler([this](PDEVICE_OBJECT pdo) { pnp_->ReportUnplugged(pdo); });
    account_.Expect(pnp_->EntryStatus() == STATUS_SUCCESS,
                    Labelled("DriverEntry", sim::StatusName(pnp_->EntryStatus())));
    NTSTATUS status = pnp_->Enumerate(pdo_);
    account_.Expect(status == STATUS_SUCCESS,
                    Labelled("Enumerate", sim::StatusName(status) + " (AddDevice, start, capabilities query)"));
    if (!NT_SUCCESS(status)) {
        return false;
    }
    fdo_ = pdo_->AttachedDevice;
    interfaceLink_ = sim::FromUnicodeString(&DeviceExtensionOf(fdo_)->InterfaceName);
    account_.Expect(DeviceExtensionOf(fdo_)->Started, Labelled("bulkcom FDO", "attached above the USB PDO, started"));

    account_.Step(options_.portName + " appears");
    ShowPortNames(account_, portName_, interfaceLink_, true);
    return true;
}

bool Scenario::Open()
{
    account_.Step("an application opens " + path_);
    port_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    bool opened = port_ != INVALID_HANDLE_VALUE;
    account_.Expect(opened, "CreateFileA(" + Quoted(path_) + ", read and write, not shared, synchronous) -> " +
                                (opened ? "a handle" : "INVALID_HANDLE_VALUE, " + sim::Win32ErrorName(GetLastError())));
    return opened;
}

void Scenario::Configure()
{
    account_.Step("it sets the port up as applications do");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    BOOL ok = GetCommState(port_, &dcb);
    account_.Expect(ok, "GetCommState -> " + Win32Result(ok) + (ok ? ": " + LineSettings(dcb) : ""));

    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ok = SetCommState(port_, &dcb);
    account_.Expect(ok, "SetCommState(" + LineSettings(dcb) + ") -> " + Win32Result(ok));

    // Bounded waits in both directions: 500 ms plus 10 ms per byte.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutMultiplier = 10;
    timeouts.ReadTotalTimeoutConstant = 500;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 500;
    ok = SetCommTimeouts(port_, &timeouts);
    account_.Expect(ok, "SetCommTimeouts(read and write: 500 ms + 10 ms per byte) -> " + Win32Result(ok));
}

void Scenario::RoundTrip()
{
    const std::string& message = options_.message;
    auto length = static_cast<DWORD>(message.size());
    DWORD written = 0;
    BOOL ok = WriteFile(port_, message.data(), length, &written, nullptr);
    account_.Expect(ok && written == length, "WriteFile(" + Quoted(message) + ", " + Bytes(length) + ") -> " +
                                                 Win32Result(ok) + ", " + Bytes(written) + " written");

    // One byte more than the message: an echo whose length is a multiple of
    // the packet size then ends at its zero-length packet instead of
    // leaving it for the next read.
    std::vector<char> echo(message.size() + 1);
    DWORD read = 0;
    ok = ReadFile(port_, echo.data(), static_cast<DWORD>(echo.size()), &read, nullptr);
    std::string received(echo.data(), read);
    account_.Expect(ok && read == length, "ReadFile(" + std::to_string(echo.size()) + "-byte buffer) -> " +
                                              Win32Result(ok) + ", " + Bytes(read) + " read: " + Quoted(received));
    account_.Expect(received == message, received == message ? "the bytes read back equal the bytes written"
                                                             : "the bytes read back differ from the bytes written");
}

void Scenario::SleepAndResume()
{
    account_.Step("the system sleeps (S3) with the port open");
    sim::PowerManager& power = pnp_->Power();
    NTSTATUS status = power.Sleep(PowerSystemSleeping3);
    account_.Expect(status == STATUS_SUCCESS,
                    Labelled("power manager", "query-power S3, then set-power S3 -> " + sim::StatusName(status)));
    PDEVICE_EXTENSION extension = DeviceExtensionOf(fdo_);
    account_.Expect(extension->DevicePowerState == PowerDeviceD3 && extension->PoweredDown,
                    Labelled("bulkcom FDO", "asked for D3 on its own stack and held the system request until the "
                                            "device was down: port requests now wait"));

    account_.Step("the system resumes (S0)");
    status = power.Resume();
    account_.Expect(status == STATUS_SUCCESS, Labelled("power manager", "set-power S0 -> " + sim::StatusName(status)));
    account_.Expect(extension->DevicePowerState == PowerDeviceD0 && !extension->PoweredDown,
                    Labelled("bulkcom FDO", "asked for D0, checked the port once the device was up: port requests "
                                            "go on"));

    account_.Step("the application writes and reads again after the resume");
    RoundTrip();
}

void Scenario::SafeRemovalWhileOpen()
{
    account_.Step("the user asks to remove the device safely while the port is open");
    sim::PNP_VETO_TYPE veto{};
    NTSTATUS status = pnp_->QueryAndRemove(pdo_, &veto);
    bool vetoed = status == STATUS_PLUGPLAY_QUERY_VETOED && veto == sim::PNP_VetoOutstandingOpen;
    account_.Expect(vetoed, Labelled("Plug and Play", "orderly removal -> " + sim::StatusName(status) +
                                                          (vetoed ? ", PNP_VetoOutstandingOpen: a file is open on "
                                                                    "the device, no IRP_MN_QUERY_REMOVE_DEVICE is sent"
                                                                  : "")));
    PDEVICE_EXTENSION extension = DeviceExtensionOf(fdo_);
    account_.Expect(pdo_->AttachedDevice == fdo_ && extension->Started && !extension->RemovePending,
                    Labelled("bulkcom FDO", "still attached and started, no removal pending"));

    account_.Step("the port goes on working");
    RoundTrip();
}

void Scenario::Close()
{
    account_.Step("the application closes the port");
    BOOL ok = CloseHandle(port_);
    account_.Expect(ok, "CloseHandle -> " + Win32Result(ok) + " (cleanup, then close)");
    port_ = INVALID_HANDLE_VALUE;
}

void Scenario::Unplug()
{
    account_.Step("the device is unplugged");
    bus_->Unplug(pdo_);
    // Surprise removal at once; the remove request once no handle is open.
    sim::WaitForDeferredCloses();
    pnp_->WaitUntilIdle();
    account_.Detail(Labelled("USB bus", "ends the device's transfers and tells the Plug and Play manager"));
    account_.Detail(Labelled("Plug and Play", "sends IRP_MN_SURPRISE_REMOVAL, then, as no handle is open, "
                                              "IRP_MN_REMOVE_DEVICE"));
    if (fdo_ != nullptr) {
        bool gone = !sim::IsLiveDeviceObject(fdo_);
        account_.Expect(gone, Labelled("bulkcom FDO", gone ? "detached and deleted" : "still there"));
        ShowPortNames(account_, portName_, interfaceLink_, false);
    }
    HANDLE again = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    bool refused = again == INVALID_HANDLE_VALUE;
    account_.Expect(refused,
                    "CreateFileA(" + Quoted(path_) + ") -> " +
                        (refused ? "INVALID_HANDLE_VALUE, " + sim::Win32ErrorName(GetLastError()) : "a handle"));
    if (!refused) {
        CloseHandle(again);
    }

    bus_->DeletePhysicalDevice(pdo_);
    account_.Detail(Labelled("USB PDO", "deleted by the bus driver"));
    pnp_.reset();
    account_.Detail(Labelled("bulkcom", "unloaded: DriverUnload called, driver object deleted"));
    bus_.reset();
}

}  // namespace

int RunScenario(const ScenarioOptions& options)
{
    sim::ResetKernel();
    std::printf("bulkcom on the simulated Windows platform\n");
    Account account;
    Scenario(options, account).Run();
    account.Step("platform checks");
    ShowPlatformChecks(account);
    sim::ResetApplicationSide();
    sim::ResetKernel();
    std::printf("\n%s\n", account.Failures() == 0 ? "scenario complete: every step as expected"
                                                  : "scenario FAILED: see the steps marked above");
    return account.Failures() == 0 ? 0 : 1;
}
