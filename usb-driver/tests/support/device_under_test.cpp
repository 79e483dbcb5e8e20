#include "support/device_under_test.h"

#include <gtest/gtest.h>

#include "kernel/device_objects.h"
#include "kernel/registry.h"

namespace bulkcom_test {

DeviceUnderTest::DeviceUnderTest(std::u16string_view instanceId)
    : pnp_(std::make_unique<sim::PnpManager>(DriverEntry)), pdo_(bus_.CreatePhysicalDevice(instanceId))
{
    SetPortName(u"COM5");
}

DeviceUnderTest::~DeviceUnderTest()
{
    if (fdo_ != nullptr) {
        Remove();
    }
    bus_.DeletePhysicalDevice(pdo_);
    pnp_.reset();
}

void DeviceUnderTest::SetPortName(std::u16string_view name)
{
    sim::Registry::SetHardwareString(pdo_, u"PortName", name);
}

NTSTATUS DeviceUnderTest::Add()
{
    NTSTATUS status = pnp_->AddDevice(pdo_);
    if (NT_SUCCESS(status)) {
        fdo_ = pdo_->AttachedDevice;
    }
    return status;
}

NTSTATUS DeviceUnderTest::Remove()
{
    NTSTATUS status = pnp_->SendPnp(pdo_, IRP_MN_REMOVE_DEVICE);
    fdo_ = nullptr;
    return status;
}

}  // namespace bulkcom_test
