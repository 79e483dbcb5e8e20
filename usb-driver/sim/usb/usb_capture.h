// A capture of the URBs that cross the simulated USB bus, in the form USB
// captures taken on Windows have, so that Wireshark dissects it: a pcap file
// of link type DLT_USBPCAP, each packet a USBPcap header and the transfer's
// bytes. A request is written when the function driver submits it and again
// when the bus completes it, both with the request's id, which is how
// Wireshark pairs the two. The file is written through libpcap; the URBs are
// mapped to packets in urb_capture.cpp.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "usb_device_model.h"

struct pcap;
struct pcap_dumper;

namespace sim {

// The transfer field, which also says which header follows the common one.
enum class UsbPcapTransfer : UCHAR {
    Isochronous = 0,
    Interrupt = 1,
    Control = 2,
    Bulk = 3,
    // A request that moves no data but matters to the transfers around it,
    // such as a pipe reset.
    IrpInfo = 0xFE,
    Unknown = 0xFF,
};

// The stage byte of a control transfer's header: its submission carries the
// setup packet, its completion the data the device returned.
enum class UsbPcapStage : UCHAR {
    Setup = 0,
    Complete = 3,
};

struct UsbPcapPacket {
    ULONGLONG irpId = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    USHORT function = 0;
    // On its way back from the bus driver (bit 0 of the info byte).
    bool completion = false;
    USHORT bus = 0;
    USHORT device = 0;
    // Bit 7 set for IN.
    UCHAR endpoint = 0;
    UsbPcapTransfer transfer = UsbPcapTransfer::Unknown;
    // Control transfers only.
    UsbPcapStage stage = UsbPcapStage::Setup;
    std::vector<UCHAR> data;
};

// The endpoint behind a pipe handle of the configuration in force.
struct UsbPipeEndpoint {
    UCHAR address;
    USBD_PIPE_TYPE type;
};
using UsbPipeLookup = std::function<std::optional<UsbPipeEndpoint>(USBD_PIPE_HANDLE)>;

// Shared by the buses that write to one file; any thread may write.
class UsbCapture {
public:
    // Null, with libpcap's reason in error, when the file cannot be created.
    static std::shared_ptr<UsbCapture> Create(const std::string& path, std::string& error);
    ~UsbCapture();
    UsbCapture(const UsbCapture&) = delete;
    UsbCapture& operator=(const UsbCapture&) = delete;

    // The root hub number of a bus that starts writing here: 1, 2, ...
    USHORT AddBus();
    // Stamped with the time of the call. Each packet reaches the file at
    // once: a bug check ends the process without closing anything.
    void Write(const UsbPcapPacket& packet);

    // A URB the function driver submitted to the device; the pipe handles it
    // names are looked up while the call lasts.
    void Submitted(PIRP irp, const URB& urb, USHORT bus, USHORT device, const UsbPipeLookup& pipes);
    // Called for every request the bus completes, before its completion
    // routines run; writes the completion of a URB submitted while capturing.
    void Completed(PIRP irp);
    // The control transfers with which the hub reads a device's descriptors
    // when it arrives, before any driver sees it.
    void Enumerated(USHORT bus, USHORT device, const UsbDeviceModel& model);

private:
    // A submitted URB, and where its completion finds what came back.
    struct Pending {
        UsbPcapPacket packet;
        const URB* urb;
        // For data coming in: the buffer, at most the length offered, and
        // the URB's count of the bytes moved.
        const UCHAR* buffer = nullptr;
        ULONG offered = 0;
        const ULONG* moved = nullptr;
    };
    UsbCapture(pcap* handle, pcap_dumper* dumper);
    static Pending Describe(const URB& urb, const UsbPipeLookup& pipes);
    void WriteLocked(const UsbPcapPacket& packet);

    std::mutex lock_;
    pcap* handle_;
    pcap_dumper* dumper_;
    USHORT buses_ = 0;
    // Ids of the requests the hub makes itself, which no request of a
    // function driver has: those are addresses.
    ULONGLONG hubRequests_ = 0;
    std::map<PIRP, Pending> pending_;
};

}  // namespace sim
