// A bus's USB capture read back with libpcap, in both completion modes: the
// hub's enumeration of a device plugged in while capturing, then each URB a
// client sends with the USBPcap header fields Wireshark dissects, its
// submission and its completion paired by the request's id; port requests,
// which are no URBs, leave nothing.

#include <unistd.h>

#include <cstdio>
#include <map>

#include <pcap/pcap.h>

#include "sim/support/usb_client.h"
#include "support/sim_test.h"
#include "usb/loopback_device.h"
#include "usb/usb_capture.h"

namespace bulkcom_test {
namespace {

using sim::CompletionMode;
using sim::UsbPcapTransfer;

struct Packet {
    USHORT headerLength;
    ULONGLONG irpId;
    ULONG status;
    USHORT function;
    UCHAR info;
    USHORT bus;
    USHORT device;
    UCHAR endpoint;
    UsbPcapTransfer transfer;
    ULONG dataLength;
    int stage = -1;
    std::vector<UCHAR> data;
};

ULONGLONG LittleEndian(const u_char* bytes, size_t size)
{
    ULONGLONG value = 0;
    for (size_t i = size; i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}

std::vector<Packet> ReadCapture(const std::string& path)
{
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* capture = pcap_open_offline(path.c_str(), error);
    if (capture == nullptr) {
        ADD_FAILURE() << error;
        return {};
    }
    EXPECT_EQ(pcap_datalink(capture), DLT_USBPCAP);
    std::vector<Packet> packets;
    pcap_pkthdr* header;
    const u_char* bytes;
    while (pcap_next_ex(capture, &header, &bytes) == 1) {
        Packet packet{static_cast<USHORT>(LittleEndian(bytes, 2)),
                      LittleEndian(bytes + 2, 8),
                      static_cast<ULONG>(LittleEndian(bytes + 10, 4)),
                      static_cast<USHORT>(LittleEndian(bytes + 14, 2)),
                      bytes[16],
                      static_cast<USHORT>(LittleEndian(bytes + 17, 2)),
                      static_cast<USHORT>(LittleEndian(bytes + 19, 2)),
                      bytes[21],
                      static_cast<UsbPcapTransfer>(bytes[22]),
                      static_cast<ULONG>(LittleEndian(bytes + 23, 4)),
                      -1,
                      {}};
        if (packet.headerLength == 28) {
            packet.stage = bytes[27];
        }
        EXPECT_EQ(header->caplen, packet.headerLength + packet.dataLength);
        packet.data.assign(bytes + packet.headerLength, bytes + header->caplen);
        packets.push_back(packet);
    }
    pcap_close(capture);
    return packets;
}

std::vector<UCHAR> GetDescriptorSetup(UCHAR type, UCHAR length)
{
    return {0x80, 6, 0, type, 0, 0, length, 0};
}

class UsbCaptureTest : public SimTest, public ::testing::WithParamInterface<CompletionMode> {
protected:
    void TearDown() override
    {
        std::remove(path_.c_str());
        SimTest::TearDown();
    }

    const std::string path_ = ::testing::TempDir() + "bulkcom-capture-" + std::to_string(getpid()) + ".pcap";
};

TEST_P(UsbCaptureTest, EachUrbIsWrittenWhenSubmittedAndWhenCompletedAsUsbPcapHasIt)
{
    std::string error;
    std::shared_ptr<sim::UsbCapture> capture = sim::UsbCapture::Create(path_, error);
    ASSERT_NE(capture, nullptr) << error;
    auto device = std::make_shared<sim::LoopbackDevice>();
    const std::vector<UCHAR> deviceDescriptor = device->DeviceDescriptor();
    const std::vector<UCHAR> configuration = device->ConfigurationDescriptor();
    const std::vector<UCHAR> configurationHeader(configuration.begin(), configuration.begin() + 9);
    const std::vector<UCHAR> message{0x10, 0x20, 0x30};
    {
        sim::UsbBus bus(GetParam());
        bus.StartCapture(capture);
        UsbClient client(bus.CreatePhysicalDevice(device));
        UsbConfiguration configured = client.Configure();
        ASSERT_EQ(configured.status, STATUS_SUCCESS);
        ASSERT_EQ(client.Write(configured.Pipe(sim::BulkOutEndpoint), message)->Wait(), STATUS_SUCCESS);
        ASSERT_EQ(client.Read(configured.Pipe(sim::BulkInEndpoint), 64)->Wait(), STATUS_SUCCESS);
        ASSERT_EQ(client.PortStatus(), ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
        ASSERT_EQ(client.ResetPipe(configured.Pipe(sim::BulkInEndpoint)), STATUS_SUCCESS);
    }
    capture.reset();

    struct Expected {
        USHORT function;
        UCHAR endpoint;
        UsbPcapTransfer transfer;
        std::vector<UCHAR> submitted;
        std::vector<UCHAR> completed;
    };
    const Expected expected[] = {
        // The hub's reads when the device arrives, then the client's.
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x80, UsbPcapTransfer::Control, GetDescriptorSetup(1, 18),
         deviceDescriptor},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x80, UsbPcapTransfer::Control, GetDescriptorSetup(2, 9),
         configurationHeader},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x80, UsbPcapTransfer::Control, GetDescriptorSetup(2, 32),
         configuration},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x80, UsbPcapTransfer::Control, GetDescriptorSetup(2, 9),
         configurationHeader},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x80, UsbPcapTransfer::Control, GetDescriptorSetup(2, 32),
         configuration},
        {URB_FUNCTION_SELECT_CONFIGURATION, 0x00, UsbPcapTransfer::Control, {0, 9, 1, 0, 0, 0, 0, 0}, {}},
        {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sim::BulkOutEndpoint, UsbPcapTransfer::Bulk, message, {}},
        {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sim::BulkInEndpoint, UsbPcapTransfer::Bulk, {}, message},
        {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sim::BulkInEndpoint, UsbPcapTransfer::IrpInfo, {}, {}},
    };
    std::vector<Packet> packets = ReadCapture(path_);
    ASSERT_EQ(packets.size(), 2 * std::size(expected));
    std::map<ULONGLONG, size_t> ids;
    for (size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE(i);
        const Packet& packet = packets[i];
        const Expected& request = expected[i / 2];
        bool completion = i % 2 == 1;
        bool control = request.transfer == UsbPcapTransfer::Control;
        EXPECT_EQ(packet.info, completion ? 1 : 0);
        EXPECT_EQ(packet.function, request.function);
        EXPECT_EQ(packet.status, ULONG{USBD_STATUS_SUCCESS});
        EXPECT_EQ(packet.bus, 1);
        EXPECT_EQ(packet.device, 1);
        EXPECT_EQ(packet.endpoint, request.endpoint);
        EXPECT_EQ(packet.transfer, request.transfer);
        EXPECT_EQ(packet.headerLength, control ? 28 : 27);
        EXPECT_EQ(packet.stage, control ? (completion ? 3 : 0) : -1);
        EXPECT_EQ(packet.data, completion ? request.completed : request.submitted);
        // The completion directly follows its submission here, with its id.
        EXPECT_EQ(packet.irpId, packets[i - i % 2].irpId);
        ids.emplace(packet.irpId, i / 2);
    }
    EXPECT_EQ(ids.size(), std::size(expected)) << "each request has an id of its own";
}

INSTANTIATE_TEST_SUITE_P(Usb, UsbCaptureTest,
                         ::testing::Values(CompletionMode::Synchronous, CompletionMode::ControllerThread), ModeName);

}  // namespace
}  // namespace bulkcom_test
