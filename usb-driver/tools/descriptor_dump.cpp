#include "descriptor_dump.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace bulkcom_check {

namespace {

constexpr size_t DeviceDescriptorSize = sizeof(USB_DEVICE_DESCRIPTOR);
constexpr size_t ConfigurationHeaderSize = sizeof(USB_CONFIGURATION_DESCRIPTOR);
constexpr size_t InterfaceDescriptorSize = sizeof(USB_INTERFACE_DESCRIPTOR);
constexpr size_t EndpointDescriptorSize = sizeof(USB_ENDPOINT_DESCRIPTOR);

std::string Hex2(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x", value & 0xFF);
    return text;
}

std::string Hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

USHORT Read16(std::span<const UCHAR> bytes, size_t offset)
{
    return static_cast<USHORT>(bytes[offset] | bytes[offset + 1] << 8);
}

std::string At(size_t offset)
{
    return "at offset " + std::to_string(offset) + ": ";
}

// Why the bytes cannot be a device's descriptors; empty when they can.
std::string Unusable(std::span<const UCHAR> bytes)
{
    if (bytes.empty()) {
        return "the file is empty; a descriptor dump starts with the 18-byte device descriptor";
    }
    if (bytes.size() > MaximumDumpSize) {
        return "the file is larger than " + std::to_string(MaximumDumpSize) +
               " bytes, the most a device's descriptors can fill (the device descriptor and 255 configurations of "
               "65535 bytes)";
    }
    if (bytes.size() < DeviceDescriptorSize) {
        return "the file is only " + std::to_string(bytes.size()) +
               " bytes long; a descriptor dump starts with the 18-byte device descriptor";
    }
    if (bytes[0] != DeviceDescriptorSize) {
        return At(0) + "the device descriptor's bLength is " + std::to_string(bytes[0]) + ", not 18";
    }
    if (bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        return At(1) + "bDescriptorType is 0x" + Hex2(bytes[1]) +
               ", not 0x01: the file does not start with a device descriptor";
    }
    if (bytes[17] == 0) {
        return At(17) + "bNumConfigurations is 0: the device has no configuration";
    }
    const size_t start = DeviceDescriptorSize;
    const size_t left = bytes.size() - start;
    if (left == 0) {
        return "the file ends after the device descriptor: there is no configuration descriptor at offset 18";
    }
    if (left < ConfigurationHeaderSize) {
        return At(start) + "only " + std::to_string(left) +
               " bytes follow the device descriptor, fewer than a configuration descriptor's 9";
    }
    if (bytes[start + 1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return At(start + 1) + "bDescriptorType is 0x" + Hex2(bytes[start + 1]) +
               ", not 0x02: no configuration descriptor follows the device descriptor";
    }
    if (bytes[start] < ConfigurationHeaderSize) {
        return At(start) + "the configuration descriptor's bLength is " + std::to_string(bytes[start]) +
               ", shorter than its 9 bytes";
    }
    const USHORT total = Read16(bytes, start + 2);
    if (total < ConfigurationHeaderSize) {
        return At(start + 2) + "wTotalLength is " + std::to_string(total) +
               ", shorter than the configuration descriptor's own 9 bytes";
    }
    if (total > left) {
        return At(start + 2) + "wTotalLength is " + std::to_string(total) + ", but only " + std::to_string(left) +
               " bytes follow from offset 18: the file is cut short, or the device sent less than its wTotalLength";
    }
    if (bytes[start] > total) {
        return At(start) + "the configuration descriptor's bLength " + std::to_string(bytes[start]) +
               " runs past its wTotalLength " + std::to_string(total);
    }
    return {};
}

// Walks the configuration as the USB stack does: descriptor by descriptor
// by bLength, stopping at one of length 0 or one that runs past
// wTotalLength, passing over interface and endpoint descriptors too short
// to be read as such.
void Walk(DescriptorDump& dump)
{
    const std::vector<UCHAR>& bytes = dump.configuration;
    const size_t base = DeviceDescriptorSize;
    const size_t end = bytes.size();
    // The endpoints after an interface descriptor are its own up to the next
    // interface descriptor, a short one included.
    bool inInterface = false;
    for (size_t position = bytes[0]; position < end;) {
        const size_t offset = base + position;
        if (end - position < 2) {
            dump.notes.push_back(At(offset) + "one byte is left before the end of the configuration, too few for a "
                                              "descriptor; the USB stack reads no further");
            break;
        }
        const UCHAR length = bytes[position];
        const UCHAR type = bytes[position + 1];
        if (length == 0) {
            dump.notes.push_back(At(offset) + "a descriptor with bLength 0; the USB stack reads no further");
            break;
        }
        if (length > end - position) {
            dump.notes.push_back(At(offset) + "a descriptor of " + std::to_string(length) +
                                 " bytes runs past the end of the configuration at offset " +
                                 std::to_string(base + end) + "; the USB stack reads no further");
            break;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            inInterface = length >= InterfaceDescriptorSize;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length < InterfaceDescriptorSize) {
            dump.notes.push_back(At(offset) + "an interface descriptor of only " + std::to_string(length) +
                                 " bytes, passed over");
        } else if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            const UCHAR* d = &bytes[position];
            dump.interfaceDescriptors.push_back(DumpedInterface{offset, d[2], d[3], d[5], d[6], d[7], d[4], {}});
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < EndpointDescriptorSize) {
            dump.notes.push_back(At(offset) + "an endpoint descriptor of only " + std::to_string(length) +
                                 " bytes, passed over");
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && inInterface) {
            const UCHAR* d = &bytes[position];
            dump.interfaceDescriptors.back().endpoints.push_back(
                DumpedEndpoint{d[2], static_cast<UCHAR>(d[3] & USB_ENDPOINT_TYPE_MASK),
                               static_cast<USHORT>((d[4] | d[5] << 8) & 0x7FF)});
        }
        position += length;
    }
    for (const DumpedInterface& interface : dump.interfaceDescriptors) {
        if (interface.endpoints.size() != interface.declaredEndpoints) {
            const size_t found = interface.endpoints.size();
            dump.notes.push_back(At(interface.offset) + "interface " + std::to_string(interface.number) + " declares " +
                                 std::to_string(interface.declaredEndpoints) + " endpoints (bNumEndpoints), but " +
                                 std::to_string(found) +
                                 (found == 1 ? " endpoint descriptor follows it" : " endpoint descriptors follow it"));
        }
    }
}

std::string EndpointText(const DumpedEndpoint& endpoint)
{
    static constexpr const char* types[] = {"control", "isochronous", "bulk", "interrupt"};
    const bool in = (endpoint.address & USB_ENDPOINT_DIRECTION_MASK) != 0;
    return EndpointAddressText(endpoint.address) + " " + types[endpoint.type] + (in ? " IN " : " OUT ") +
           std::to_string(endpoint.packetSize);
}

}  // namespace

std::optional<DescriptorDump> ReadDump(std::span<const UCHAR> bytes, std::string* problem)
{
    *problem = Unusable(bytes);
    if (!problem->empty()) {
        return std::nullopt;
    }
    DescriptorDump dump;
    dump.deviceDescriptor.assign(bytes.begin(), bytes.begin() + DeviceDescriptorSize);
    std::span<const UCHAR> configuration = bytes.subspan(DeviceDescriptorSize);
    dump.configuration.assign(configuration.begin(), configuration.begin() + Read16(configuration, 2));
    dump.vendorId = Read16(bytes, 8);
    dump.productId = Read16(bytes, 10);
    dump.configurations = bytes[17];
    dump.interfaces = configuration[4];
    Walk(dump);
    return dump;
}

bool LoadDumpFile(const std::string& path, std::vector<UCHAR>* bytes, std::string* problem)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (file == nullptr) {
        *problem = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    bytes->clear();
    UCHAR chunk[65536];
    while (bytes->size() <= MaximumDumpSize) {
        size_t count = std::fread(chunk, 1, sizeof chunk, file.get());
        bytes->insert(bytes->end(), chunk, chunk + count);
        if (count < sizeof chunk) {
            break;
        }
    }
    if (std::ferror(file.get()) != 0) {
        *problem = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string Listing(const DescriptorDump& dump)
{
    std::string text = "device " + Hex4(dump.vendorId) + ":" + Hex4(dump.productId) + ", configuration 1 of " +
                       std::to_string(dump.configurations) + " (" + std::to_string(dump.interfaces) +
                       (dump.interfaces == 1 ? " interface)\n" : " interfaces)\n");
    for (const DumpedInterface& interface : dump.interfaceDescriptors) {
        text += "  interface " + std::to_string(interface.number);
        if (interface.alternateSetting != 0) {
            text += " alternate setting " + std::to_string(interface.alternateSetting);
        }
        text += ": class " + Hex2(interface.interfaceClass) + "/" + Hex2(interface.interfaceSubClass) + "/" +
                Hex2(interface.interfaceProtocol) + ", ";
        if (interface.endpoints.empty()) {
            text += "no endpoints\n";
            continue;
        }
        text += "endpoints ";
        for (size_t i = 0; i < interface.endpoints.size(); ++i) {
            text += (i == 0 ? "" : ", ") + EndpointText(interface.endpoints[i]);
        }
        text += "\n";
    }
    for (const std::string& note : dump.notes) {
        text += "  note: " + note + "\n";
    }
    return text;
}

std::string EndpointAddressText(UCHAR address)
{
    return "0x" + Hex2(address);
}

}  // namespace bulkcom_check
