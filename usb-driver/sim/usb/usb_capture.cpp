#include "usb_capture.h"

#include <chrono>

#include <pcap/pcap.h>

namespace sim {

namespace {

// The largest packet: a control header and a whole 64 KiB transfer.
constexpr int SnapLength = 0x20000;

// Every field of the header is little-endian, whatever the machine.
void Put(std::vector<UCHAR>& bytes, ULONGLONG value, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        bytes.push_back(static_cast<UCHAR>(value >> (8 * i)));
    }
}

}  // namespace

std::shared_ptr<UsbCapture> UsbCapture::Create(const std::string& path, std::string& error)
{
    pcap_t* handle = pcap_open_dead(DLT_USBPCAP, SnapLength);
    if (handle == nullptr) {
        error = "libpcap cannot write DLT_USBPCAP captures";
        return nullptr;
    }
    pcap_dumper_t* dumper = pcap_dump_open(handle, path.c_str());
    if (dumper == nullptr) {
        error = pcap_geterr(handle);
        pcap_close(handle);
        return nullptr;
    }
    return std::shared_ptr<UsbCapture>(new UsbCapture(handle, dumper));
}

UsbCapture::UsbCapture(pcap* handle, pcap_dumper* dumper) : handle_(handle), dumper_(dumper) {}

UsbCapture::~UsbCapture()
{
    pcap_dump_close(dumper_);
    pcap_close(handle_);
}

USHORT UsbCapture::AddBus()
{
    std::lock_guard lock(lock_);
    return ++buses_;
}

void UsbCapture::Write(const UsbPcapPacket& packet)
{
    std::lock_guard lock(lock_);
    WriteLocked(packet);
}

void UsbCapture::WriteLocked(const UsbPcapPacket& packet)
{
    bool control = packet.transfer == UsbPcapTransfer::Control;
    std::vector<UCHAR> bytes;
    bytes.reserve(28 + packet.data.size());
    Put(bytes, control ? 28 : 27, 2);
    Put(bytes, packet.irpId, 8);
    Put(bytes, static_cast<ULONG>(packet.status), 4);
    Put(bytes, packet.function, 2);
    Put(bytes, packet.completion ? 1 : 0, 1);
    Put(bytes, packet.bus, 2);
    Put(bytes, packet.device, 2);
    Put(bytes, packet.endpoint, 1);
    Put(bytes, static_cast<UCHAR>(packet.transfer), 1);
    Put(bytes, packet.data.size(), 4);
    if (control) {
        Put(bytes, static_cast<UCHAR>(packet.stage), 1);
    }
    bytes.insert(bytes.end(), packet.data.begin(), packet.data.end());

    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    auto microseconds = std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch - seconds);
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(seconds.count());
    header.ts.tv_usec = static_cast<suseconds_t>(microseconds.count());
    header.caplen = static_cast<bpf_u_int32>(bytes.size());
    header.len = header.caplen;
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, bytes.data());
    pcap_dump_flush(dumper_);
}

}  // namespace sim
