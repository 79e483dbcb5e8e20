// Device configuration: descriptor reads, configuration selection with one
// and two interfaces, the pipes found, and the state every failure leaves.

#include <algorithm>

#include "kernel/fault_injection.h"
#include "kernel/pool.h"
#include "support/sim_test.h"
#include "support/usb_device_under_test.h"
#include "usb/descriptor_variants.h"
#include "usb/scripted_device.h"
#include "usb/usb.h"

namespace bulkcom_test {
namespace {

using sim::UsbRequestKind;

class ConfigurationTest : public SimTest {
protected:
    void TearDown() override
    {
        device_.reset();
        SimTest::TearDown();
    }

    // Adds a device with the configuration and configures it.
    NTSTATUS Configure(sim::ConfigurationLayout layout)
    {
        device_ = std::make_unique<UsbDeviceUnderTest>(std::make_shared<sim::ScriptedDevice>(layout));
        EXPECT_EQ(device_->Add(), STATUS_SUCCESS);
        device_->NewRequests();
        return ConfigureDevice(device_->Fdo());
    }

    PDEVICE_EXTENSION Extension() { return device_->Extension(); }

    bool AllClear()
    {
        PDEVICE_EXTENSION e = Extension();
        return e->DeviceDescriptor == nullptr && e->ConfigurationDescriptor == nullptr &&
               e->InterfaceInfo[0] == nullptr && e->InterfaceInfo[1] == nullptr && e->BulkOutPipe == nullptr &&
               e->BulkInPipe == nullptr;
    }

    unsigned Count(const std::vector<sim::UsbRequestRecord>& records, USHORT urbFunction, UCHAR descriptorType = 0)
    {
        return static_cast<unsigned>(std::count_if(records.begin(), records.end(), [&](const auto& r) {
            return r.kind == UsbRequestKind::SubmitUrb && r.urbFunction == urbFunction &&
                   (descriptorType == 0 || r.descriptorType == descriptorType);
        }));
    }

    std::unique_ptr<UsbDeviceUnderTest> device_;
};

TEST_F(ConfigurationTest, ConfigurationsUpTo521BytesTakeOneReadLongerOnesTwo)
{
    ASSERT_EQ(Configure(sim::BulkPairConfiguration()), STATUS_SUCCESS);
    std::vector<sim::UsbRequestRecord> sent = device_->NewRequests();
    ASSERT_EQ(Count(sent, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_CONFIGURATION_DESCRIPTOR_TYPE), 1u);
    EXPECT_EQ(sent[1].requestedLength, 521u);
    EXPECT_EQ(sent[0].descriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(sent[0].requestedLength, 18u);
    EXPECT_EQ(Extension()->DeviceDescriptor->idProduct, 0xB1C0);
    EXPECT_EQ(Count(sent, URB_FUNCTION_SELECT_CONFIGURATION), 1u);

    ASSERT_EQ(Configure(sim::PaddedConfiguration(600)), STATUS_SUCCESS);
    sent = device_->NewRequests();
    ASSERT_EQ(Count(sent, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USB_CONFIGURATION_DESCRIPTOR_TYPE), 2u);
    EXPECT_EQ(sent[1].requestedLength, 521u);
    EXPECT_EQ(sent[2].requestedLength, 600u);
    EXPECT_EQ(Extension()->ConfigurationDescriptor->wTotalLength, 600);
    auto allocations = sim::Pool::Outstanding();
    auto buffer = std::find_if(allocations.begin(), allocations.end(),
                               [&](const auto& a) { return a.address == Extension()->ConfigurationDescriptor; });
    ASSERT_NE(buffer, allocations.end());
    EXPECT_EQ(buffer->size, 600u);
    EXPECT_EQ(buffer->tag, sim::PoolTag("Qzel"));
}

TEST_F(ConfigurationTest, TheLastInterfacesBulkPipesDecide)
{
    ASSERT_EQ(Configure(sim::InterruptThenBulkConfiguration(1)), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = Extension();
    ASSERT_NE(e->InterfaceInfo[0], nullptr);
    ASSERT_NE(e->InterfaceInfo[1], nullptr);
    auto inside = [](PUSBD_PIPE_INFORMATION pipe, PUSBD_INTERFACE_INFORMATION record) {
        auto start = reinterpret_cast<PUCHAR>(record);
        auto at = reinterpret_cast<PUCHAR>(pipe);
        return at >= start && at < start + record->Length;
    };
    EXPECT_TRUE(inside(e->BulkOutPipe, e->InterfaceInfo[1]));
    EXPECT_TRUE(inside(e->BulkInPipe, e->InterfaceInfo[1]));
    EXPECT_EQ(e->BulkOutPipe->EndpointAddress, sim::BulkOutEndpoint);
    EXPECT_EQ(e->BulkInPipe->EndpointAddress, sim::BulkInEndpoint);
    EXPECT_NE(e->BulkInPipe->PipeHandle, nullptr);

    // The first record carries two pipes: the second starts Length bytes on.
    ASSERT_EQ(Configure(sim::InterruptThenBulkConfiguration(2)), STATUS_SUCCESS);
    e = Extension();
    EXPECT_EQ(e->InterfaceInfo[0]->NumberOfPipes, 2u);
    EXPECT_EQ(e->InterfaceInfo[0]->Pipes[1].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(e->InterfaceInfo[1]->InterfaceNumber, 1);
    EXPECT_EQ(e->InterfaceInfo[1]->NumberOfPipes, 2u);
    EXPECT_TRUE(inside(e->BulkInPipe, e->InterfaceInfo[1]));

    ASSERT_EQ(Configure(sim::TwoBulkOutConfiguration()), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->BulkOutPipe->EndpointAddress, sim::SecondBulkOutEndpoint) << "a later pipe replaces";
}

TEST_F(ConfigurationTest, UnsupportedConfigurationsLeaveNothingBehind)
{
    struct Case {
        const char* name;
        sim::ConfigurationLayout layout;
        NTSTATUS expected;
        unsigned selects;
    };
    const Case cases[] = {
        {"three interfaces", sim::ThreeInterfaceConfiguration(), STATUS_NOT_SUPPORTED, 0},
        {"bulk pipes not in the last interface", sim::BulkThenEmptyConfiguration(), STATUS_NOT_SUPPORTED, 1},
        {"no interface 0", sim::NoInterfaceZeroConfiguration(), STATUS_INSUFFICIENT_RESOURCES, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Configure(c.layout), c.expected);
        EXPECT_TRUE(AllClear());
        EXPECT_EQ(Count(device_->NewRequests(), URB_FUNCTION_SELECT_CONFIGURATION), c.selects);
        EXPECT_EQ(device_->Start(), c.expected) << "a start fails the same way";
        EXPECT_FALSE(Extension()->Started);
    }
}

TEST_F(ConfigurationTest, FailedDescriptorReadsLeaveTheDocumentedFields)
{
    auto failDescriptor = [&](UCHAR type) {
        device_->Bus().FailRequests(
            device_->Pdo(),
            [type](const sim::UsbRequestRecord& r) {
                return r.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && r.descriptorType == type;
            },
            STATUS_UNSUCCESSFUL);
    };
    device_ = std::make_unique<UsbDeviceUnderTest>(std::make_shared<sim::ScriptedDevice>());
    ASSERT_EQ(device_->Add(), STATUS_SUCCESS);
    failDescriptor(USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(ConfigureDevice(device_->Fdo()), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(AllClear());

    device_->Bus().ClearFailures(device_->Pdo());
    failDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(ConfigureDevice(device_->Fdo()), STATUS_UNSUCCESSFUL);
    EXPECT_NE(Extension()->DeviceDescriptor, nullptr);
    EXPECT_NE(Extension()->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(Extension()->BulkInPipe, nullptr);
    // Left for the next configuration or the removal to free.
}

TEST_F(ConfigurationTest, UnconfigureReleasesOnlyWhenTheBusAgrees)
{
    ASSERT_EQ(Configure(sim::BulkPairConfiguration()), STATUS_SUCCESS);
    device_->Bus().FailRequests(
        device_->Pdo(), [](const sim::UsbRequestRecord& r) { return r.deconfigures; }, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(UnconfigureDevice(device_->Fdo()), STATUS_UNSUCCESSFUL);
    EXPECT_NE(Extension()->BulkInPipe, nullptr);
    EXPECT_NE(Extension()->InterfaceInfo[0], nullptr);

    device_->Bus().ClearFailures(device_->Pdo());
    EXPECT_EQ(UnconfigureDevice(device_->Fdo()), STATUS_SUCCESS);
    EXPECT_TRUE(AllClear());
    std::vector<sim::UsbRequestRecord> sent = device_->NewRequests();
    EXPECT_TRUE(sent.back().deconfigures);
    EXPECT_EQ(ReleaseUsbResources(device_->Fdo()), STATUS_SUCCESS);
    EXPECT_TRUE(device_->NewRequests().empty()) << "releasing sends nothing";
}

TEST_F(ConfigurationTest, EveryAllocationAndRequestBuildingFailureIsReportedAndLeaksNothing)
{
    for (sim::Fault kind : {sim::Fault::PoolAllocation, sim::Fault::CreateConfigurationRequest,
                            sim::Fault::BuildDeviceIoControlRequest}) {
        unsigned calls;
        {
            ASSERT_EQ(Configure(sim::InterruptThenBulkConfiguration(1)), STATUS_SUCCESS);
            sim::Faults::Clear();
            ASSERT_EQ(ConfigureDevice(device_->Fdo()), STATUS_SUCCESS);
            calls = sim::Faults::CallCount(kind);
            device_.reset();
        }
        ASSERT_GT(calls, 0u) << sim::FaultName(kind);
        for (unsigned n = 1; n <= calls; n++) {
            SCOPED_TRACE(std::string(sim::FaultName(kind)) + " failing at call " + std::to_string(n));
            device_ = std::make_unique<UsbDeviceUnderTest>(
                std::make_shared<sim::ScriptedDevice>(sim::InterruptThenBulkConfiguration(1)));
            ASSERT_EQ(device_->Add(), STATUS_SUCCESS);
            sim::Faults::Clear();
            sim::Faults::FailNthCall(kind, n);
            EXPECT_EQ(ConfigureDevice(device_->Fdo()), STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(Extension()->BulkInPipe == nullptr, Extension()->BulkOutPipe == nullptr);
            EXPECT_EQ(Extension()->BulkInPipe, nullptr);
            device_.reset();
            ExpectPlatformClean();
        }
    }
}

}  // namespace
}  // namespace bulkcom_test
