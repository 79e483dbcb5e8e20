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
        Teardown();
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

void DeviceUnderTest::MarkStarted()
{
    Extension()->StartSeen = TRUE;
    Extension()->Started = TRUE;
}

void DeviceUnderTest::Teardown()
{
    ASSERT_NE(fdo_, nullptr);
    UnregisterPortInterface(fdo_);
    ReleaseIoReference(fdo_);
    EXPECT_EQ(Extension()->OutstandingIo, 0);
    DetachAndDeleteDevice(fdo_);
    fdo_ = nullptr;
}

}  // namespace bulkcom_test
