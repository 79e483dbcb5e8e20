#include "descriptor_seeds.h"

#include "descriptor_input.h"
#include "usb/descriptor_variants.h"

namespace bulkcom_fuzz {

namespace {

using Bytes = std::vector<uint8_t>;

// What the device reports during one start, in the layout of
// descriptor_input.h.
struct Start {
    Bytes device;
    Bytes firstRead;
    Bytes laterReads;
};

Seed Make(std::string name, uint8_t flags, const Start& first, const Start& second, const Bytes& message)
{
    SeedBytes bytes;
    bytes.Byte(flags);
    for (const Start* start : {&first, &second}) {
        bytes.Blob(start->device).Blob(start->firstRead).Blob(start->laterReads);
    }
    bytes.Blob(message);
    return Seed{std::move(name), bytes.Get()};
}

Bytes Device()
{
    return sim::BuildDeviceDescriptor({});
}

Bytes Configuration(const sim::ConfigurationLayout& layout)
{
    return sim::BuildConfigurationDescriptor(layout);
}

// The same configuration on every read.
Start Steady(const Bytes& configuration)
{
    return Start{Device(), configuration, configuration};
}

void SetTotalLength(Bytes& configuration, uint16_t total)
{
    configuration[2] = static_cast<uint8_t>(total & 0xFF);
    configuration[3] = static_cast<uint8_t>(total >> 8);
}

// Offsets in the bulk pair's configuration: the configuration (9 bytes),
// the interface (9), then the OUT and IN endpoints (7 each).
constexpr size_t InterfaceOffset = 9;
constexpr size_t OutEndpointOffset = 18;
constexpr size_t InEndpointOffset = 25;

}  // namespace

std::vector<Seed> DescriptorSeeds()
{
    using descriptor_input::ControllerThread;
    using descriptor_input::StallFirstOut;
    using descriptor_input::StallIn;

    const Bytes pair = Configuration(sim::BulkPairConfiguration());
    const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
    std::vector<Seed> seeds;

    seeds.push_back(Make("valid-bulk-pair", 0, Steady(pair), Steady(pair), hello));
    seeds.push_back(Make("valid-bulk-pair-controller-thread", ControllerThread, Steady(pair), Steady(pair), hello));
    seeds.push_back(Make("valid-bulk-pair-stalls", StallFirstOut | StallIn, Steady(pair), Steady(pair), hello));
    seeds.push_back(Make("valid-bulk-pair-512", 0, Steady(Configuration(sim::BulkPairConfiguration(512))),
                         Steady(Configuration(sim::BulkPairConfiguration(512))), Bytes(600, 0x33)));
    seeds.push_back(
        Make("packet-size-zero", 0, Steady(Configuration(sim::BulkPairConfiguration(0))), Steady(pair), hello));

    for (size_t offset : {size_t{0}, InterfaceOffset, OutEndpointOffset, InEndpointOffset}) {
        Bytes zero = pair;
        zero[offset] = 0;
        seeds.push_back(Make("blength-zero-at-" + std::to_string(offset), 0, Steady(zero), Steady(pair), hello));
    }
    Bytes overlong = pair;
    overlong[InterfaceOffset] = 0xFF;
    seeds.push_back(Make("blength-past-the-end", 0, Steady(overlong), Steady(pair), hello));

    Bytes shortTotal = pair;
    SetTotalLength(shortTotal, 9);
    seeds.push_back(Make("total-length-only-the-header", 0, Steady(shortTotal), Steady(pair), hello));
    SetTotalLength(shortTotal, 20);
    seeds.push_back(Make("total-length-cuts-an-endpoint", 0, Steady(shortTotal), Steady(pair), hello));
    Bytes longTotal = pair;
    SetTotalLength(longTotal, 600);
    seeds.push_back(Make("total-length-larger-than-the-data", 0, Steady(longTotal), Steady(pair), hello));
    SetTotalLength(longTotal, 0xFFFF);
    seeds.push_back(Make("total-length-largest", ControllerThread, Steady(longTotal), Steady(pair), hello));
    const Bytes padded = Configuration(sim::PaddedConfiguration(600));
    seeds.push_back(Make("second-read-larger", 0, Steady(padded), Steady(pair), hello));
    seeds.push_back(Make("second-read-differs", 0, Start{Device(), padded, pair}, Steady(pair), hello));
    seeds.push_back(Make("second-read-interrupt-only", 0,
                         Start{Device(), padded, Configuration(sim::InterruptThenBulkConfiguration(2))}, Steady(pair),
                         hello));
    seeds.push_back(Make("configuration-empty", 0, Steady({}), Steady(pair), hello));

    Bytes moreInterfaces = pair;
    moreInterfaces[4] = 2;
    seeds.push_back(Make("more-interfaces-than-present", 0, Steady(moreInterfaces), Steady(pair), hello));
    moreInterfaces[4] = 3;
    seeds.push_back(Make("three-interfaces-claimed", 0, Steady(moreInterfaces), Steady(pair), hello));
    Bytes moreEndpoints = pair;
    moreEndpoints[InterfaceOffset + 4] = 4;
    seeds.push_back(Make("more-endpoints-than-present", 0, Steady(moreEndpoints), Steady(pair), hello));
    Bytes fewerEndpoints = pair;
    fewerEndpoints[InterfaceOffset + 4] = 1;
    seeds.push_back(Make("fewer-endpoints-than-present", 0, Steady(fewerEndpoints), Steady(pair), hello));

    for (uint8_t attributes : {uint8_t{0x00}, uint8_t{0x01}, uint8_t{0x03}, uint8_t{0xFE}, uint8_t{0xFF}}) {
        Bytes bogus = pair;
        bogus[OutEndpointOffset + 3] = attributes;
        bogus[InEndpointOffset + 3] = attributes;
        seeds.push_back(
            Make("endpoint-attributes-" + std::to_string(attributes), 0, Steady(bogus), Steady(pair), hello));
    }
    Bytes sameDirection = pair;
    sameDirection[OutEndpointOffset + 2] = 0x82;
    seeds.push_back(Make("both-endpoints-in", 0, Steady(sameDirection), Steady(pair), hello));
    Bytes addressZero = pair;
    addressZero[InEndpointOffset + 2] = 0x80;
    addressZero[OutEndpointOffset + 2] = 0x00;
    seeds.push_back(Make("endpoint-address-zero", 0, Steady(addressZero), Steady(pair), hello));

    seeds.push_back(Make("interrupt-then-bulk", 0, Steady(Configuration(sim::InterruptThenBulkConfiguration())),
                         Steady(pair), hello));
    seeds.push_back(
        Make("bulk-then-empty", 0, Steady(Configuration(sim::BulkThenEmptyConfiguration())), Steady(pair), hello));
    seeds.push_back(
        Make("two-bulk-out", 0, Steady(Configuration(sim::TwoBulkOutConfiguration())), Steady(pair), hello));
    seeds.push_back(
        Make("no-interface-zero", 0, Steady(Configuration(sim::NoInterfaceZeroConfiguration())), Steady(pair), hello));
    seeds.push_back(
        Make("three-interfaces", 0, Steady(Configuration(sim::ThreeInterfaceConfiguration())), Steady(pair), hello));

    Start shortDevice = Steady(pair);
    shortDevice.device.resize(8);
    seeds.push_back(Make("device-descriptor-short", 0, shortDevice, Steady(pair), hello));
    Start noDevice = Steady(pair);
    noDevice.device.clear();
    seeds.push_back(Make("device-descriptor-empty", 0, noDevice, Steady(pair), hello));

    seeds.push_back(Make("restart-without-bulk-pipes", 0, Steady(pair),
                         Steady(Configuration(sim::InterruptThenBulkConfiguration(2))), hello));
    seeds.push_back(Make("restart-with-malformed", ControllerThread, Steady(pair), Steady(moreEndpoints), hello));
    seeds.push_back(Make("restart-with-larger", 0, Steady(pair), Start{Device(), padded, padded}, hello));
    seeds.push_back(Make("restart-with-empty", 0, Steady(pair), Start{{}, {}, {}}, hello));
    return seeds;
}

}  // namespace bulkcom_fuzz
