// The device check: its answer for the committed example descriptors and for
// descriptors built here, malformed ones among them, as the driver run on the
// simulated platform gives it; and a driver fault told as one.

#include <string>
#include <vector>

#include "descriptor_dump.h"
#include "device_check.h"
#include "kernel/bugcheck.h"
#include "kernel/hooks.h"
#include "kernel/pool.h"
#include "support/sim_test.h"
#include "usb/descriptor_variants.h"

namespace bulkcom_test {
namespace {

using bulkcom_check::CheckDevice;
using bulkcom_check::CheckResult;
using bulkcom_check::TakenInterface;
using bulkcom_check::Verdict;
using Bytes = std::vector<UCHAR>;

Bytes Example(const std::string& name)
{
    Bytes bytes;
    std::string problem;
    EXPECT_TRUE(bulkcom_check::LoadDumpFile(BULKCOM_CHECK_EXAMPLES "/" + name + ".descriptors", &bytes, &problem))
        << problem;
    return bytes;
}

Bytes Dump(const sim::ConfigurationLayout& layout)
{
    Bytes bytes = sim::BuildDeviceDescriptor({});
    Bytes configuration = sim::BuildConfigurationDescriptor(layout);
    bytes.insert(bytes.end(), configuration.begin(), configuration.end());
    return bytes;
}

// The bulk pair's dump: the device descriptor, then the configuration at 18,
// its interface at 27, the OUT endpoint at 36 and the IN endpoint at 43.
Bytes Pair()
{
    return Dump(sim::BulkPairConfiguration());
}

Bytes With(Bytes bytes, size_t offset, UCHAR value)
{
    bytes[offset] = value;
    return bytes;
}

Bytes Cut(size_t size)
{
    Bytes bytes = Pair();
    bytes.resize(size);
    return bytes;
}

constexpr TakenInterface Interface0Pair64{0, 0, 0xFF, 0, 0, {0x02, 64}, {0x81, 64}};

struct Case {
    const char* name;
    Bytes (*bytes)();
    Verdict verdict;
    // When the driver starts.
    std::optional<TakenInterface> taken;
    // A part of the reason; empty when the driver starts.
    const char* reason;
    // A part of the printed answer.
    const char* shows;
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

class DeviceCheckTest : public SimTest, public ::testing::WithParamInterface<Case> {};

TEST_P(DeviceCheckTest, AnswersWithWhatTheDriverDid)
{
    const Case& c = GetParam();
    CheckResult result = CheckDevice(c.bytes());
    SCOPED_TRACE(result.text);
    EXPECT_EQ(result.verdict, c.verdict);
    EXPECT_EQ(result.taken, c.taken);
    EXPECT_NE(result.reason.find(c.reason), std::string::npos);
    EXPECT_EQ(result.reason.empty(), c.verdict == Verdict::Starts);
    EXPECT_NE(result.text.find(c.shows), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, DeviceCheckTest,
    ::testing::Values(
        Case{"vendor_bulk_pair", [] { return Example("vendor-bulk-pair"); }, Verdict::Starts,
             TakenInterface{0, 0, 0xFF, 0, 0, {0x01, 512}, {0x82, 512}}, "",
             "interface 0: class ff/00/00, endpoints 0x01 bulk OUT 512, 0x82 bulk IN 512"},
        Case{"cdc_acm_two_interfaces", [] { return Example("cdc-acm-two-interfaces"); }, Verdict::Starts,
             TakenInterface{1, 0, 0x0A, 0, 0, {0x02, 64}, {0x81, 64}}, "",
             "interface 0: class 02/02/01, endpoints 0x83 interrupt IN 16"},
        Case{"three_interfaces", [] { return Example("three-interfaces"); }, Verdict::WillNotStart, std::nullopt,
             "the configuration has 3 interfaces (bNumInterfaces), and bulkcom drives devices with one or two",
             "interface 2: class fe/01/01, no endpoints"},
        Case{"last_interface_without_bulk_in", [] { return Example("last-interface-without-bulk-in"); },
             Verdict::WillNotStart, std::nullopt,
             "it selected the configuration, but the last interface (interface 1) has no bulk IN endpoint", "Code 10"},
        Case{"truncated", [] { return Example("truncated"); }, Verdict::Unusable, std::nullopt,
             "at offset 20: wTotalLength is 32, but only 25 bytes follow from offset 18", "cannot be used"}),
    [](const auto& info) { return std::string(info.param.name); });

// Refused up front: the bytes cannot be a device's descriptors.
INSTANTIATE_TEST_SUITE_P(
    Unusable, DeviceCheckTest,
    ::testing::Values(Case{"empty", [] { return Bytes{}; }, Verdict::Unusable, std::nullopt, "the file is empty", ""},
                      Case{"shorter_than_a_device_descriptor", [] { return Cut(10); }, Verdict::Unusable, std::nullopt,
                           "only 10 bytes long", ""},
                      Case{"device_length_zero", [] { return With(Pair(), 0, 0); }, Verdict::Unusable, std::nullopt,
                           "at offset 0: the device descriptor's bLength is 0", ""},
                      Case{"not_a_device_descriptor", [] { return With(Pair(), 1, USB_CONFIGURATION_DESCRIPTOR_TYPE); },
                           Verdict::Unusable, std::nullopt, "at offset 1: bDescriptorType is 0x02, not 0x01", ""},
                      Case{"no_configurations", [] { return With(Pair(), 17, 0); }, Verdict::Unusable, std::nullopt,
                           "at offset 17: bNumConfigurations is 0", ""},
                      Case{"device_descriptor_only", [] { return Cut(18); }, Verdict::Unusable, std::nullopt,
                           "no configuration descriptor at offset 18", ""},
                      Case{"configuration_header_cut", [] { return Cut(23); }, Verdict::Unusable, std::nullopt,
                           "at offset 18: only 5 bytes follow", ""},
                      Case{"configuration_length_zero", [] { return With(Pair(), 18, 0); }, Verdict::Unusable,
                           std::nullopt, "at offset 18: the configuration descriptor's bLength is 0", ""},
                      Case{"not_a_configuration_descriptor",
                           [] { return With(Pair(), 19, USB_INTERFACE_DESCRIPTOR_TYPE); }, Verdict::Unusable,
                           std::nullopt, "at offset 19: bDescriptorType is 0x04, not 0x02", ""},
                      Case{"total_length_below_the_header", [] { return With(Pair(), 20, 4); }, Verdict::Unusable,
                           std::nullopt, "at offset 20: wTotalLength is 4", ""},
                      Case{"total_length_past_the_file", [] { return With(Pair(), 21, 1); }, Verdict::Unusable,
                           std::nullopt, "at offset 20: wTotalLength is 288, but only 32 bytes follow", ""},
                      Case{"configuration_length_past_total_length", [] { return With(Pair(), 18, 40); },
                           Verdict::Unusable, std::nullopt,
                           "at offset 18: the configuration descriptor's bLength 40 runs past its wTotalLength 32", ""},
                      Case{"larger_than_any_device",
                           [] {
                               Bytes bytes = Pair();
                               bytes.resize(bulkcom_check::MaximumDumpSize + 1);
                               return bytes;
                           },
                           Verdict::Unusable, std::nullopt, "larger than 16711443 bytes", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Handed to the driver: a configuration the bus would deliver as it is.
INSTANTIATE_TEST_SUITE_P(
    Driver, DeviceCheckTest,
    ::testing::Values(
        Case{"endpoint_length_zero", [] { return With(Pair(), 36, 0); }, Verdict::WillNotStart, std::nullopt,
             "the USB stack refused the select-configuration request bulkcom sent (STATUS_INVALID_PARAMETER, "
             "USBD_STATUS_INVALID_PARAMETER)",
             "note: at offset 36: a descriptor with bLength 0; the USB stack reads no further"},
        Case{"endpoint_past_total_length", [] { return With(Pair(), 43, 9); }, Verdict::WillNotStart, std::nullopt,
             "the configuration's descriptors do not agree with each other (see the notes above)",
             "note: at offset 43: a descriptor of 9 bytes runs past the end of the configuration at offset 50"},
        Case{"more_endpoints_declared", [] { return With(Pair(), 31, 3); }, Verdict::WillNotStart, std::nullopt,
             "refused the select-configuration request",
             "interface 0 declares 3 endpoints (bNumEndpoints), but 2 endpoint descriptors follow it"},
        Case{"no_interface_zero", [] { return Dump(sim::NoInterfaceZeroConfiguration()); }, Verdict::WillNotStart,
             std::nullopt, "for each number from 0 to 1 (bNumInterfaces 2), found none numbered 0",
             "interface 2: class ff/00/00"},
        Case{"no_interfaces", [] { return With(Pair(), 22, 0); }, Verdict::WillNotStart, std::nullopt,
             "which declares no interface (bNumInterfaces 0)", "(0 interfaces)"},
        Case{"bulk_pair_in_the_first_interface", [] { return Dump(sim::BulkThenEmptyConfiguration()); },
             Verdict::WillNotStart, std::nullopt, "the last interface (interface 1) has no bulk endpoint",
             "interface 1: class ff/00/00, no endpoints"},
        Case{"bulk_pair_in_an_alternate_setting",
             [] {
                 sim::InterfaceLayout pair{
                     .number = 0, .alternateSetting = 1, .endpoints = {{.address = 0x02}, {.address = 0x81}}};
                 return Dump(sim::ConfigurationLayout{.interfaces = {sim::InterfaceLayout{.number = 0}, pair}});
             },
             Verdict::WillNotStart, std::nullopt, "the last interface (interface 0) has no bulk endpoint",
             "interface 0 alternate setting 1: class ff/00/00, endpoints 0x02 bulk OUT 64"},
        Case{"configuration_read_twice", [] { return Dump(sim::PaddedConfiguration(600)); }, Verdict::Starts,
             Interface0Pair64, "", "(1 interface)"},
        Case{"second_configuration",
             [] {
                 Bytes bytes = With(Pair(), 17, 2);
                 Bytes other = sim::BuildConfigurationDescriptor(sim::ThreeInterfaceConfiguration());
                 bytes.insert(bytes.end(), other.begin(), other.end());
                 return bytes;
             },
             Verdict::Starts, Interface0Pair64, "", "configuration 1 of 2 (1 interface)"}),
    [](const auto& info) { return std::string(info.param.name); });

class DeviceCheckRobustnessTest : public SimTest {};

TEST_F(DeviceCheckRobustnessTest, EveryCutOfADumpIsRefusedWithItsPlace)
{
    const Bytes whole = Example("cdc-acm-two-interfaces");
    for (size_t size = 0; size < whole.size(); ++size) {
        CheckResult result = CheckDevice(std::span(whole).first(size));
        EXPECT_EQ(result.verdict, Verdict::Unusable) << size << " bytes";
        EXPECT_TRUE(size < 27 || result.reason.starts_with("at offset 20: wTotalLength is 67")) << result.reason;
    }
}

// Each byte of the configuration at 0 and at 255: the driver copes and
// leaves the platform clean, whatever it answers.
TEST_F(DeviceCheckRobustnessTest, NoConfigurationByteMakesTheDriverFail)
{
    const Bytes whole = Example("cdc-acm-two-interfaces");
    for (size_t offset = 18; offset < whole.size(); ++offset) {
        for (UCHAR value : {UCHAR{0}, UCHAR{0xFF}}) {
            CheckResult result = CheckDevice(With(whole, offset, value));
            EXPECT_NE(result.verdict, Verdict::DriverFault) << "offset " << offset << ": " << result.text;
        }
    }
}

TEST_F(DeviceCheckRobustnessTest, WhatThePlatformFindsLeftIsADriverFault)
{
    PVOID left = ExAllocatePoolWithTag(NonPagedPool, 16, sim::PoolTag("Qzel"));
    CheckResult result = CheckDevice(Pair());
    ExFreePoolWithTag(left, sim::PoolTag("Qzel"));
    EXPECT_EQ(result.verdict, Verdict::DriverFault);
    EXPECT_EQ(bulkcom_check::ExitStatus(result.verdict), 3);
    EXPECT_NE(result.reason.find("leaked pool: 16 bytes with tag 'Qzel'"), std::string::npos) << result.reason;
    EXPECT_NE(result.text.find("DRIVER FAULT"), std::string::npos);
}

TEST_F(DeviceCheckRobustnessTest, AKernelRuleBrokenDuringTheCheckIsADriverFault)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bulkcom_check::ReportBugChecksAsDriverFaults();
            sim::Hooks().requestArriving = [](PDEVICE_OBJECT, PIRP irp) {
                if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
                    sim::BugCheck("DRIVER_FAULT_FOR_THE_TEST", "a rule broken as the driver talks to the device", irp);
                }
            };
            CheckDevice(Pair());
        },
        ::testing::ExitedWithCode(3), "DRIVER_FAULT_FOR_THE_TEST.*DRIVER FAULT: bulkcom broke a kernel rule");
}

}  // namespace
}  // namespace bulkcom_test
