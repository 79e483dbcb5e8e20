// bulkcom-sim: runs the driver on the simulated Windows platform and tells
// what happens, step by step, as an application and the system see it.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "frame/frame.h"
#include "kernel/device_interfaces.h"
#include "kernel/kernel.h"
#include "kernel/object_namespace.h"
#include "kernel/registry.h"
#include "kernel/status_names.h"
#include "application_side.h"
#include "pnp-power/pnp_manager.h"
#include "pnp-power/standin_bus.h"
#include "serial/serial.h"
#include "status_mapping.h"
#include "win32_api.h"

namespace {

constexpr char16_t InstanceId[] = u"USB\\VID_1209&PID_B1C0\\5&2f3c1a&0&1";

std::string Text(std::u16string_view text)
{
    return sim::ToUtf8(text);
}

void Step(int number, const std::string& what)
{
    std::printf("[%d] %s\n", number, what.c_str());
}

void Detail(const char* label, const std::string& value)
{
    std::printf("      %-16s %s\n", label, value.c_str());
}

void ShowNames(PDEVICE_EXTENSION extension, std::u16string_view portName)
{
    std::u16string interfaceLink = sim::FromUnicodeString(&extension->InterfaceName);
    std::u16string dosName = u"\\DosDevices\\" + std::u16string(portName);
    auto target = sim::Namespace::LinkTarget(dosName);
    Detail("COM name", target ? Text(portName) : "(none)");
    Detail("DOS-device link", target ? Text(dosName) + " -> " + Text(*target) : "(none)");
    Detail("interface", Text(interfaceLink) +
                            (sim::DeviceInterfaces::IsEnabled(interfaceLink) ? " (enabled)" : " (disabled)"));
    auto value = sim::Registry::DeviceMapValue(u"SERIALCOMM", interfaceLink);
    if (value) {
        std::u16string data;
        for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
            char16_t c = static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8);
            if (c == 0) {
                break;
            }
            data += c;
        }
        Detail("device map", "SERIALCOMM: " + Text(interfaceLink) + " = \"" + Text(data) + "\" (REG_SZ, " +
                                 std::to_string(value->data.size()) + " bytes)");
    } else {
        Detail("device map", "(none)");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"bulkcom-sim: loads the bulkcom driver into a simulated Windows kernel, plugs in a USB "
                 "function and shows the COM port it becomes, as the system and an application see it."};
    std::string portName = "COM5";
    app.add_option("--port-name", portName, "the PortName value in the device's hardware key")->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    std::u16string port = sim::ToU16(portName);

    sim::ResetKernel();
    std::printf("bulkcom on the simulated Windows platform\n\n");
    int failures = 0;
    {
        sim::StandInBus bus;
        PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(InstanceId);
        sim::Registry::SetHardwareString(pdo, u"PortName", port);
        Step(1, "USB function plugged in: " + Text(InstanceId) + ", PortName \"" + portName + "\"");

        sim::PnpManager pnp(DriverEntry);
        Step(2, "driver loaded: DriverEntry returned " + sim::StatusName(pnp.EntryStatus()));

        NTSTATUS status = pnp.AddDevice(pdo);
        Step(3, "AddDevice returned " + sim::StatusName(status));
        if (!NT_SUCCESS(status)) {
            return 1;
        }
        PDEVICE_OBJECT fdo = pdo->AttachedDevice;
        ShowNames(DeviceExtensionOf(fdo), port);

        std::string path = "\\\\.\\" + portName;
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            Step(4, "CreateFile(\"" + path + "\") before the device is started: refused with " +
                        sim::Win32ErrorName(GetLastError()));
        } else {
            Step(4, "CreateFile(\"" + path + "\") before the device is started: opened, which it must not be");
            CloseHandle(handle);
            failures++;
        }

        UnregisterPortInterface(fdo);
        ReleaseIoReference(fdo);
        DetachAndDeleteDevice(fdo);
        Step(5, "device torn down: names withdrawn, base reference dropped, device object deleted");
    }

    sim::KernelReport report = sim::CheckKernel();
    if (sim::OpenApplicationHandles() != 0) {
        report.problems.push_back("application handles left open");
    }
    std::printf("\nplatform checks (pool, requests, objects, names, handles): %s\n",
                report.Clean() ? "clean" : "NOT clean");
    std::printf("%s", report.Text().c_str());
    sim::ResetKernel();
    return report.Clean() && failures == 0 ? 0 : 1;
}
