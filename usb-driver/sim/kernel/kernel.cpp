#include "kernel.h"

#include <sstream>

#include "device_interfaces.h"
#include "device_objects.h"
#include "dispatcher.h"
#include "fault_injection.h"
#include "hooks.h"
#include "irp.h"
#include "irql.h"
#include "object_namespace.h"
#include "os_version.h"
#include "pnp-power/power_requests.h"
#include "pool.h"
#include "registry.h"

namespace sim {

void ResetKernel()
{
    Hooks() = KernelHooks{};
    Faults::Clear();
    ResetPowerRequests();
    ResetIrps();
    ResetDeviceObjects();
    Namespace::Reset();
    DeviceInterfaces::Reset();
    Registry::Reset();
    Pool::Reset();
    ResetDispatcher();
    SetWindowsVersion(WindowsVersion::Windows10);
    SetIrql(PASSIVE_LEVEL);
}

std::string KernelReport::Text() const
{
    std::string text;
    for (const auto& problem : problems) {
        text += problem + "\n";
    }
    return text;
}

KernelReport CheckKernel()
{
    KernelReport report;
    for (const PoolAllocation& leak : Pool::Outstanding()) {
        std::ostringstream line;
        line << "leaked pool: " << leak.size << " bytes with tag '" << PoolTagText(leak.tag) << "' at " << leak.address;
        report.problems.push_back(line.str());
    }
    for (PIRP irp : OutstandingIrps()) {
        std::ostringstream line;
        line << "outstanding request " << irp;
        if (std::string power = DescribePowerIrp(irp); !power.empty()) {
            line << ": a " << power << " request still held";
        }
        report.problems.push_back(line.str());
    }
    if (size_t handles = Registry::OpenHandleCount(); handles != 0) {
        report.problems.push_back("open registry key handles: " + std::to_string(handles));
    }
    for (PDEVICE_OBJECT device : LiveDeviceObjects()) {
        std::ostringstream line;
        line << "device object still exists: " << device;
        report.problems.push_back(line.str());
    }
    for (PDEVICE_OBJECT device : DeletedReferencedDeviceObjects()) {
        std::ostringstream line;
        line << "deleted device object still referenced: " << device;
        report.problems.push_back(line.str());
    }
    for (const auto& link : Namespace::Links()) {
        report.problems.push_back("symbolic link left: " + ToUtf8(link));
    }
    for (const auto& name : DeviceInterfaces::Enabled()) {
        report.problems.push_back("device interface left enabled: " + ToUtf8(name));
    }
    for (const auto& name : Registry::DeviceMapValueNames(u"SERIALCOMM")) {
        report.problems.push_back("SERIALCOMM value left: " + ToUtf8(name));
    }
    if (CurrentIrql() != PASSIVE_LEVEL) {
        report.problems.push_back("test thread left at IRQL " + std::to_string(CurrentIrql()));
    }
    return report;
}

}  // namespace sim
