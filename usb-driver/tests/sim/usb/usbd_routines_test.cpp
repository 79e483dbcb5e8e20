// USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequestEx
// on well-formed configurations and on malformed ones, which must never make
// them loop or read past wTotalLength.

#include <algorithm>
#include <memory>

#include "kernel/fault_injection.h"
#include "kernel/irql.h"
#include "kernel/pool.h"
#include "support/sim_test.h"
#include "usb/descriptor_variants.h"
#include "usb/usbd_routines.h"

namespace bulkcom_test {
namespace {

class UsbdParseConfigurationTest : public SimTest {};
class UsbdConfigurationRequestTest : public SimTest {};

// Descriptor bytes in a heap block of exactly their size, so that a read
// beyond them is caught by the address sanitizer.
class ExactBytes {
public:
    explicit ExactBytes(const std::vector<UCHAR>& bytes) : bytes_(new UCHAR[bytes.size()]), size_(bytes.size())
    {
        std::copy(bytes.begin(), bytes.end(), bytes_.get());
    }
    PUSB_CONFIGURATION_DESCRIPTOR Configuration() const
    {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes_.get());
    }
    UCHAR* At(size_t offset) const { return bytes_.get() + offset; }
    size_t Size() const { return size_; }

private:
    std::unique_ptr<UCHAR[]> bytes_;
    size_t size_;
};

PUSB_INTERFACE_DESCRIPTOR Parse(const ExactBytes& bytes, LONG number, LONG alternate = -1, LONG interfaceClass = -1,
                                const void* start = nullptr)
{
    PUSB_CONFIGURATION_DESCRIPTOR configuration = bytes.Configuration();
    PVOID from = start != nullptr ? const_cast<void*>(start) : configuration;
    return USBD_ParseConfigurationDescriptorEx(configuration, from, number, alternate, interfaceClass, -1, -1);
}

constexpr size_t ConfigurationLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
constexpr size_t InterfaceLength = sizeof(USB_INTERFACE_DESCRIPTOR);
constexpr size_t EndpointLength = sizeof(USB_ENDPOINT_DESCRIPTOR);

// A configuration header followed by the given descriptor bytes, with
// wTotalLength as given (or the true length).
std::vector<UCHAR> Configuration(std::vector<UCHAR> rest, int totalLength = -1, UCHAR interfaces = 1)
{
    std::vector<UCHAR> bytes{ConfigurationLength, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, interfaces, 1, 0, 0x80, 50};
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    size_t total = totalLength < 0 ? bytes.size() : static_cast<size_t>(totalLength);
    bytes[2] = static_cast<UCHAR>(total & 0xFF);
    bytes[3] = static_cast<UCHAR>(total >> 8);
    return bytes;
}

std::vector<UCHAR> Interface(UCHAR number, UCHAR alternate = 0, UCHAR endpoints = 0)
{
    return {InterfaceLength, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, 0xFF, 0, 0, 0};
}

std::vector<UCHAR> Join(std::initializer_list<std::vector<UCHAR>> parts)
{
    std::vector<UCHAR> bytes;
    for (const auto& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

TEST_F(UsbdParseConfigurationTest, FindsTheFirstInterfaceMatchingEveryGivenCriterion)
{
    // Interface 0 (class 2, one interrupt endpoint) at 9, interface 1 (class
    // 0xFF, two bulk endpoints) at 25.
    ExactBytes bytes(sim::BuildConfigurationDescriptor(sim::InterruptThenBulkConfiguration()));
    const UCHAR* first = bytes.At(ConfigurationLength);
    const UCHAR* second = bytes.At(ConfigurationLength + InterfaceLength + EndpointLength);

    EXPECT_EQ(reinterpret_cast<UCHAR*>(Parse(bytes, 0)), first);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(Parse(bytes, 1)), second);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(Parse(bytes, -1)), first);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(Parse(bytes, -1, -1, 0xFF)), second);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(Parse(bytes, 1, 0, 0xFF)), second);
    EXPECT_EQ(Parse(bytes, 1, 0, 0x02), nullptr);
    EXPECT_EQ(Parse(bytes, 0, 1), nullptr);
    EXPECT_EQ(Parse(bytes, 2), nullptr);
}

TEST_F(UsbdParseConfigurationTest, SearchesOnlyFromTheStartPosition)
{
    ExactBytes bytes(sim::BuildConfigurationDescriptor(sim::InterruptThenBulkConfiguration()));
    const UCHAR* second = bytes.At(ConfigurationLength + InterfaceLength + EndpointLength);

    EXPECT_EQ(reinterpret_cast<UCHAR*>(Parse(bytes, -1, -1, -1, bytes.At(ConfigurationLength + InterfaceLength))),
              second);
    EXPECT_EQ(Parse(bytes, 0, -1, -1, bytes.At(ConfigurationLength + InterfaceLength)), nullptr);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(Parse(bytes, 1, -1, -1, second)), second);
    UCHAR outside[InterfaceLength] = {InterfaceLength, USB_INTERFACE_DESCRIPTOR_TYPE, 1};
    EXPECT_EQ(Parse(bytes, -1, -1, -1, outside), nullptr);
}

TEST_F(UsbdParseConfigurationTest, AlternateSettingsAreFoundByTheirOwnNumber)
{
    ExactBytes bytes(Configuration(Join({Interface(0, 0), Interface(0, 1), Interface(1, 0)}), -1, 2));
    EXPECT_EQ(reinterpret_cast<UCHAR*>(Parse(bytes, 0, 1)), bytes.At(ConfigurationLength + InterfaceLength));
    EXPECT_EQ(reinterpret_cast<UCHAR*>(Parse(bytes, 0)), bytes.At(ConfigurationLength));
}

TEST_F(UsbdParseConfigurationTest, AZeroLengthDescriptorEndsTheWalk)
{
    // Without the stop, a walk would stand still on the zero forever.
    ExactBytes bytes(Configuration(Join({{0, 0xFF, 0, 0}, Interface(0)})));
    EXPECT_EQ(Parse(bytes, -1), nullptr);
}

TEST_F(UsbdParseConfigurationTest, ADescriptorRunningPastTotalLengthEndsTheWalk)
{
    ExactBytes overlong(Configuration(Join({{200, 0xFF, 0, 0}, Interface(0)})));
    EXPECT_EQ(Parse(overlong, -1), nullptr);

    // The interface descriptor's last byte lies beyond wTotalLength.
    std::vector<UCHAR> cut = Configuration(Interface(0), ConfigurationLength + InterfaceLength - 1);
    cut.pop_back();
    ExactBytes truncated(cut);
    EXPECT_EQ(Parse(truncated, -1), nullptr);

    // A header too short even for the configuration descriptor itself.
    ExactBytes tiny(std::vector<UCHAR>{ConfigurationLength, USB_CONFIGURATION_DESCRIPTOR_TYPE, 4, 0});
    EXPECT_EQ(Parse(tiny, -1), nullptr);
}

TEST_F(UsbdParseConfigurationTest, DescriptorsBeyondTotalLengthAreNotSeen)
{
    std::vector<UCHAR> whole = sim::BuildConfigurationDescriptor(sim::InterruptThenBulkConfiguration());
    size_t firstInterfaceEnd = ConfigurationLength + InterfaceLength + EndpointLength;
    std::vector<UCHAR> shorter = whole;
    shorter[2] = static_cast<UCHAR>(firstInterfaceEnd);
    shorter[3] = 0;
    shorter.resize(firstInterfaceEnd);
    ExactBytes bytes(shorter);
    EXPECT_NE(Parse(bytes, 0), nullptr);
    EXPECT_EQ(Parse(bytes, 1), nullptr);
}

TEST_F(UsbdParseConfigurationTest, ADescriptorTooShortForAnInterfaceIsPassedOver)
{
    ExactBytes bytes(Configuration(Join({{4, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0}, Interface(3)})));
    EXPECT_EQ(reinterpret_cast<UCHAR*>(Parse(bytes, -1)), bytes.At(ConfigurationLength + 4));
}

TEST_F(UsbdParseConfigurationTest, IsRefusedAtDispatchLevel)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ExactBytes bytes(sim::BuildConfigurationDescriptor(sim::BulkPairConfiguration()));
    EXPECT_DEATH(
        {
            sim::ScopedIrql dispatch(DISPATCH_LEVEL);
            Parse(bytes, 0);
        },
        "IRQL_NOT_LESS_OR_EQUAL");
}

struct ListedConfiguration {
    std::vector<UCHAR> bytes;
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;

    explicit ListedConfiguration(const sim::ConfigurationLayout& layout)
        : bytes(sim::BuildConfigurationDescriptor(layout))
    {
        for (LONG number = 0; number < Descriptor()->bNumInterfaces; ++number) {
            list.push_back(
                {USBD_ParseConfigurationDescriptorEx(Descriptor(), Descriptor(), number, -1, -1, -1, -1), nullptr});
        }
        list.push_back({nullptr, nullptr});
    }
    PUSB_CONFIGURATION_DESCRIPTOR Descriptor() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data()); }
};

const sim::PoolAllocation* AllocationAt(const std::vector<sim::PoolAllocation>& outstanding, const void* address)
{
    auto found = std::find_if(outstanding.begin(), outstanding.end(),
                              [&](const sim::PoolAllocation& allocation) { return allocation.address == address; });
    return found == outstanding.end() ? nullptr : &*found;
}

TEST_F(UsbdConfigurationRequestTest, IsSizedForTheListedInterfacesAndTheirPipes)
{
    // Interface 0 with two interrupt pipes, interface 1 with two bulk pipes.
    ListedConfiguration configuration(sim::InterruptThenBulkConfiguration(2));
    PURB urb = USBD_CreateConfigurationRequestEx(configuration.Descriptor(), configuration.list.data());
    ASSERT_NE(urb, nullptr);

    constexpr size_t expected = GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 4);
    static_assert(expected == 184);
    auto& select = urb->UrbSelectConfiguration;
    EXPECT_EQ(select.Hdr.Length, expected);
    EXPECT_EQ(select.Hdr.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(select.ConfigurationDescriptor, configuration.Descriptor());
    EXPECT_EQ(select.ConfigurationHandle, nullptr);

    auto outstanding = sim::Pool::Outstanding();
    const sim::PoolAllocation* allocation = AllocationAt(outstanding, urb);
    ASSERT_NE(allocation, nullptr) << "the request comes from pool";
    EXPECT_EQ(allocation->size, expected);
    EXPECT_EQ(allocation->tag, sim::UsbStackPoolTag);
    EXPECT_EQ(sim::PoolTagText(allocation->tag), "USBD");

    PUSBD_INTERFACE_INFORMATION first = configuration.list[0].Interface;
    PUSBD_INTERFACE_INFORMATION second = configuration.list[1].Interface;
    EXPECT_EQ(first, &select.Interface);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(second), reinterpret_cast<UCHAR*>(first) + first->Length);
    EXPECT_EQ(configuration.list[2].Interface, nullptr) << "the terminating entry is left alone";
    for (auto [information, number] : {std::pair{first, 0}, std::pair{second, 1}}) {
        SCOPED_TRACE(number);
        EXPECT_EQ(information->Length, GET_USBD_INTERFACE_SIZE(2));
        EXPECT_EQ(information->InterfaceNumber, number);
        EXPECT_EQ(information->AlternateSetting, 0);
        EXPECT_EQ(information->NumberOfPipes, 2u);
        EXPECT_EQ(information->InterfaceHandle, nullptr);
        for (ULONG pipe = 0; pipe < information->NumberOfPipes; ++pipe) {
            EXPECT_EQ(information->Pipes[pipe].MaximumTransferSize, ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE});
            EXPECT_EQ(information->Pipes[pipe].PipeHandle, nullptr);
            EXPECT_EQ(information->Pipes[pipe].PipeFlags, 0u);
        }
    }
    EXPECT_EQ(reinterpret_cast<UCHAR*>(second) + second->Length, reinterpret_cast<UCHAR*>(urb) + expected)
        << "the records fill the request exactly";
    ExFreePool(urb);
}

TEST_F(UsbdConfigurationRequestTest, AnInterfaceWithoutEndpointsGetsAHeaderOnlyRecord)
{
    ListedConfiguration configuration(sim::BulkThenEmptyConfiguration());
    PURB urb = USBD_CreateConfigurationRequestEx(configuration.Descriptor(), configuration.list.data());
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbSelectConfiguration.Hdr.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 2));
    EXPECT_EQ(configuration.list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(configuration.list[1].Interface->NumberOfPipes, 0u);
    EXPECT_EQ(configuration.list[1].Interface->Length, GET_USBD_INTERFACE_SIZE(0));
    EXPECT_EQ(configuration.list[1].Interface->InterfaceNumber, 1);
    ExFreePool(urb);
}

TEST_F(UsbdConfigurationRequestTest, ASingleBulkInterfaceMakesTheUsualRequest)
{
    ListedConfiguration configuration(sim::BulkPairConfiguration());
    PURB urb = USBD_CreateConfigurationRequestEx(configuration.Descriptor(), configuration.list.data());
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbSelectConfiguration.Hdr.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2));
    EXPECT_EQ(urb->UrbSelectConfiguration.Hdr.Length, 112);
    ExFreePool(urb);
    EXPECT_TRUE(sim::Pool::Outstanding().empty());
}

TEST_F(UsbdConfigurationRequestTest, IsFreedByExFreePoolButNotUnderTheDriversTag)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ListedConfiguration configuration(sim::BulkPairConfiguration());
    PURB urb = USBD_CreateConfigurationRequestEx(configuration.Descriptor(), configuration.list.data());
    ASSERT_NE(urb, nullptr);
    EXPECT_DEATH(ExFreePoolWithTag(urb, sim::PoolTag("Qzel")), "BAD_POOL_CALLER");
    ExFreePool(urb);
    EXPECT_TRUE(sim::Pool::Outstanding().empty());
}

TEST_F(UsbdConfigurationRequestTest, AnInjectedFailureReturnsNullAndAllocatesNothing)
{
    ListedConfiguration configuration(sim::BulkPairConfiguration());
    sim::Faults::FailNthCall(sim::Fault::CreateConfigurationRequest, 1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(configuration.Descriptor(), configuration.list.data()), nullptr);
    EXPECT_TRUE(sim::Pool::Outstanding().empty());
    EXPECT_EQ(configuration.list[0].Interface, nullptr);

    PURB urb = USBD_CreateConfigurationRequestEx(configuration.Descriptor(), configuration.list.data());
    EXPECT_NE(urb, nullptr) << "only the armed call fails";
    EXPECT_EQ(sim::Faults::CallCount(sim::Fault::CreateConfigurationRequest), 2u);
    ExFreePool(urb);
}

TEST_F(UsbdConfigurationRequestTest, AnInterfaceDescriptorOutsideTheConfigurationIsRefused)
{
    ListedConfiguration configuration(sim::BulkPairConfiguration());
    std::vector<UCHAR> elsewhere = Interface(0, 0, 2);
    configuration.list[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(elsewhere.data());
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(configuration.Descriptor(), configuration.list.data()), nullptr);
    EXPECT_TRUE(sim::Pool::Outstanding().empty());
}

}  // namespace
}  // namespace bulkcom_test
