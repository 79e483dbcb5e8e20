#include "support/usb_device_under_test.h"

#include <gtest/gtest.h>

#include "kernel/registry.h"
#include "support/test_capture.h"

namespace bulkcom_test {

UsbDeviceUnderTest::UsbDeviceUnderTest(std::shared_ptr<sim::UsbDeviceModel> model, sim::CompletionMode mode)
    : bus_(mode), pnp_(std::make_unique<sim::PnpManager>(DriverEntry))
{
    CaptureForThisTest(bus_);
    pdo_ = bus_.CreatePhysicalDevice(std::move(model));
    sim::Registry::SetHardwareString(pdo_, u"PortName", u"COM5");
    bus_.SetCycleHandler(
        [this](PDEVICE_OBJECT gone) { pnp_->ReportUnplugged(gone, [this, gone] { FollowPortCycle(gone); }); });
}

UsbDeviceUnderTest::~UsbDeviceUnderTest()
{
    pnp_->WaitUntilIdle();
    // A surprise removal may already have been followed by the removal.
    if (fdo_ != nullptr && pdo_.load()->AttachedDevice != nullptr) {
        Remove();
    }
    for (PDEVICE_OBJECT gone : cycled_) {
        bus_.DeletePhysicalDevice(gone);
    }
    bus_.DeletePhysicalDevice(pdo_);
    pnp_.reset();
}

void UsbDeviceUnderTest::FollowPortCycle(PDEVICE_OBJECT gone)
{
    PDEVICE_OBJECT fresh = bus_.AttachAgain(gone);
    cycled_.push_back(gone);
    seenRequests_ = 0;
    fdo_ = nullptr;
    pdo_ = fresh;
    if (NT_SUCCESS(pnp_->Enumerate(fresh))) {
        fdo_ = fresh->AttachedDevice;
    }
}

NTSTATUS UsbDeviceUnderTest::Add()
{
    NTSTATUS status = pnp_->AddDevice(pdo_);
    if (NT_SUCCESS(status)) {
        fdo_ = pdo_.load()->AttachedDevice;
    }
    return status;
}

NTSTATUS UsbDeviceUnderTest::Start()
{
    return SendPnp(IRP_MN_START_DEVICE);
}

void UsbDeviceUnderTest::AddAndStart()
{
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_TRUE(Extension()->Started);
}

NTSTATUS UsbDeviceUnderTest::SendPnp(UCHAR minorFunction)
{
    return pnp_->SendPnp(pdo_, minorFunction);
}

NTSTATUS UsbDeviceUnderTest::Remove()
{
    NTSTATUS status = SendPnp(IRP_MN_REMOVE_DEVICE);
    fdo_ = nullptr;
    return status;
}

void UsbDeviceUnderTest::WaitUntilQuiet()
{
    pnp_->WaitUntilIdle();
    bus_.Flush();
}

std::vector<sim::UsbRequestRecord> UsbDeviceUnderTest::NewRequests()
{
    std::vector<sim::UsbRequestRecord> fresh = bus_.Requests(pdo_, seenRequests_);
    seenRequests_ += fresh.size();
    return fresh;
}

}  // namespace bulkcom_test
