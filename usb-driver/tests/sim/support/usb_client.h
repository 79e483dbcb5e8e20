// The function driver's side of the USB bus in tests: internal control
// requests built with IoBuildDeviceIoControlRequest and waited on with their
// event, as a driver sends them, and the usual URBs built on top.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "usb/usb_bus.h"

namespace bulkcom_test {

// One internal control request, sent on construction. It must have ended
// before it is destroyed.
class UsbCall {
public:
    UsbCall(PDEVICE_OBJECT target, ULONG ioControlCode, PVOID argument);
    ~UsbCall();
    UsbCall(const UsbCall&) = delete;
    UsbCall& operator=(const UsbCall&) = delete;

    // What IoCallDriver returned.
    NTSTATUS Returned() const { return returned_; }
    // Waits on the event for the end of the request; its final status.
    NTSTATUS Wait();
    bool Ended();
    // Only while the request has not ended.
    BOOLEAN Cancel();

private:
    KEVENT event_;
    IO_STATUS_BLOCK status_{};
    PIRP irp_;
    NTSTATUS returned_;
};

// A bulk or interrupt transfer with its URB and buffer, which stay in place
// while it is in flight.
class UsbTransfer {
public:
    // An IN transfer offers the buffer's room; an OUT transfer sends its bytes.
    UsbTransfer(PDEVICE_OBJECT target, USBD_PIPE_HANDLE pipe, bool in, std::vector<UCHAR> buffer);

    UsbCall& Call() { return call_; }
    NTSTATUS Wait() { return call_.Wait(); }
    URB& Urb() { return urb_; }
    ULONG Transferred() const { return urb_.UrbBulkOrInterruptTransfer.TransferBufferLength; }
    std::vector<UCHAR> Received() const;
    // The whole buffer, untouched bytes included.
    const std::vector<UCHAR>& Buffer() const { return buffer_; }

private:
    std::vector<UCHAR> buffer_;
    URB urb_;
    UsbCall call_;
};

struct UsbConfiguration {
    NTSTATUS status = STATUS_PENDING;
    std::vector<UCHAR> descriptor;
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    // Each record without its pipes, which are in pipes.
    std::vector<USBD_INTERFACE_INFORMATION> interfaces;
    std::vector<USBD_PIPE_INFORMATION> pipes;

    // The pipe of the endpoint; fails the test when there is none.
    USBD_PIPE_HANDLE Pipe(UCHAR endpointAddress) const;
};

class UsbClient {
public:
    explicit UsbClient(PDEVICE_OBJECT physicalDevice) : device_(physicalDevice) {}

    NTSTATUS Submit(URB& urb);
    // A descriptor read offering length bytes, the buffer pre-filled with a
    // marker; the URB as the bus left it.
    NTSTATUS ReadDescriptor(UCHAR type, ULONG length, std::vector<UCHAR>& bytes, URB* completed = nullptr);
    // Reads the whole configuration descriptor and selects it with every
    // interface in its first alternate setting.
    UsbConfiguration Configure();
    NTSTATUS Deconfigure();
    NTSTATUS ResetPipe(USBD_PIPE_HANDLE pipe, URB* completed = nullptr);
    NTSTATUS PortRequest(ULONG ioControlCode);
    ULONG PortStatus(NTSTATUS* status = nullptr);

    std::unique_ptr<UsbTransfer> Read(USBD_PIPE_HANDLE pipe, ULONG length);
    std::unique_ptr<UsbTransfer> Write(USBD_PIPE_HANDLE pipe, std::vector<UCHAR> data);

private:
    PDEVICE_OBJECT device_;
};

inline constexpr UCHAR UntouchedByte = 0xEE;

std::vector<UCHAR> Pattern(size_t length, UCHAR seed = 1);
std::string ModeName(const ::testing::TestParamInfo<sim::CompletionMode>& info);

}  // namespace bulkcom_test
