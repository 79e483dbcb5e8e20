#include "plugged_device.h"

#include "fuzz_checks.h"
#include "kernel/registry.h"

namespace bulkcom_fuzz {

PluggedDevice::PluggedDevice(std::shared_ptr<sim::UsbDeviceModel> model, sim::CompletionMode mode)
    : bus_(mode), pnp_(std::make_unique<sim::PnpManager>(DriverEntry)),
      pdo_(bus_.CreatePhysicalDevice(std::move(model)))
{
    sim::Registry::SetHardwareString(pdo_, u"PortName", u"COM5");
    bus_.SetUnplugHandler([this](PDEVICE_OBJECT pdo) { pnp_->ReportUnplugged(pdo); });
}

PluggedDevice::~PluggedDevice()
{
    pnp_->WaitUntilIdle();
    Require(Fdo() == nullptr, "the driver's device object outlived the harness's removal");
    bus_.SetUnplugHandler(nullptr);
    bus_.DeletePhysicalDevice(pdo_);
    pnp_.reset();
}

PDEVICE_EXTENSION PluggedDevice::Extension() const
{
    PDEVICE_OBJECT fdo = Fdo();
    return fdo != nullptr ? DeviceExtensionOf(fdo) : nullptr;
}

void PluggedDevice::Unplug()
{
    bus_.Unplug(pdo_);
    pnp_->WaitUntilIdle();
}

}  // namespace bulkcom_fuzz
