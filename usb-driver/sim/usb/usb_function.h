// One attached USB function as the bus driver keeps it: its configuration
// and pipes, the transfers waiting on its endpoints, its port, and the log of
// requests it received. The bus driver calls it with its lock held; requests
// that end are handed back in a list for the bus to complete outside the
// lock, in the completion context it chose. The requests as they arrive are
// handled in usb_function.cpp, the waiting transfers in usb_transfers.cpp.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "usb_capture.h"
#include "usb_device_model.h"
#include "usb_request_log.h"

namespace sim {

class UsbFunction {
public:
    using Completions = std::vector<PIRP>;

    UsbFunction(std::shared_ptr<UsbDeviceModel> device, PDRIVER_CANCEL cancelRoutine);

    UsbDeviceModel& Device() { return *device_; }
    const std::shared_ptr<UsbDeviceModel>& DeviceShared() const { return device_; }
    bool Connected() const { return connected_; }

    // Logs an arriving request; the index names it when it ends.
    size_t Record(PIRP irp);
    // Ends a request with the status, keeping its Information.
    void Finish(PIRP irp, size_t record, NTSTATUS status, Completions& done);

    // IRP_MJ_INTERNAL_DEVICE_CONTROL: URBs and port requests. A transfer that
    // cannot end yet stays pending, cancellable.
    void HandleInternalControl(PIRP irp, size_t record, Completions& done);
    // The device may have something new: moves the waiting transfers on.
    void Service(Completions& done);
    // From the cancel routine of a waiting transfer.
    void Cancel(PIRP irp, Completions& done);
    // The device is gone: waiting transfers end with STATUS_DEVICE_NOT_CONNECTED.
    void Unplug(Completions& done);
    // Whether a port cycle has taken the device off its port since the last call.
    bool TakeCycle() { return std::exchange(cycled_, false); }
    // The device no longer answers while its port still reads connected:
    // waiting transfers end with a transaction error, every later URB fails
    // with one, and so does a port reset.
    void StopAnswering(Completions& done);
    // The configuration is dropped: waiting transfers end with STATUS_CANCELLED.
    void Deconfigure(Completions& done);

    size_t WaitingTransfers() const { return transfers_.size(); }
    // The endpoint a pipe of the configuration in force leads to.
    std::optional<UsbPipeEndpoint> EndpointOf(USBD_PIPE_HANDLE handle) const;
    const UsbRequestLog& Log() const { return log_; }

    // The port-status word reported while connected, in place of
    // USBD_PORT_ENABLED | USBD_PORT_CONNECTED.
    void SetPortStatus(std::optional<ULONG> status) { portStatus_ = status; }
    // Requests whose record matches fail with the statuses, until cleared.
    void FailRequests(std::function<bool(const UsbRequestRecord&)> matches, NTSTATUS status, USBD_STATUS usbdStatus);
    void ClearFailures() { failures_.clear(); }

    // The device power state of the last device set-power request that
    // succeeded, logged with each request; D0 from the start.
    void SetPowerState(DEVICE_POWER_STATE state) { powerState_ = state; }
    // The status a failure set with FailRequests gives the logged request.
    std::optional<NTSTATUS> FailureStatus(size_t record) const;

private:
    struct Pipe {
        USBD_PIPE_HANDLE handle;
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT packetSize;
        bool halted = false;
    };
    struct Transfer {
        PIRP irp;
        PURB urb;
        UCHAR* buffer;
        ULONG length;
        size_t record;
        USBD_PIPE_HANDLE pipe;
        ULONG moved = 0;
        // The device will never answer it.
        bool ignored = false;
        // Its cancel routine has been taken; the routine will end it.
        bool cancelling = false;
    };
    struct Outcome {
        NTSTATUS status;
        USBD_STATUS usbdStatus;
    };
    struct Failure {
        std::function<bool(const UsbRequestRecord&)> matches;
        NTSTATUS status;
        USBD_STATUS usbdStatus;
    };

    void Complete(PIRP irp, PURB urb, size_t record, NTSTATUS status, USBD_STATUS usbdStatus, ULONG transferred,
                  Completions& done);
    void SubmitUrb(PIRP irp, PURB urb, size_t record, Completions& done);
    void GetDescriptor(PIRP irp, PURB urb, size_t record, Completions& done);
    void SelectConfiguration(PIRP irp, PURB urb, size_t record, Completions& done);
    void ResetPipe(PIRP irp, PURB urb, size_t record, Completions& done);
    void StartTransfer(PIRP irp, PURB urb, size_t record, Completions& done);

    const Failure* FailureFor(size_t record) const;
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    // The pipe a pipe-naming URB of the given size names; when the URB is
    // too short or the handle unknown, completes the request and gives null.
    // The handle is read only once the URB is known to be long enough.
    Pipe* PipeOfRequest(PIRP irp, PURB urb, size_t size, const USBD_PIPE_HANDLE* handle, size_t record,
                        Completions& done);
    bool ServicePipe(Pipe& pipe, Completions& done);
    std::optional<Outcome> Receive(Pipe& pipe, Transfer& transfer);
    std::optional<Outcome> Send(Pipe& pipe, Transfer& transfer);
    // Ends every waiting transfer that is not being cancelled.
    void EndAll(NTSTATUS status, USBD_STATUS usbdStatus, Completions& done);
    void EndUnlessCancelling(std::list<Transfer>::iterator transfer, Outcome outcome, Completions& done);
    void EndTransfer(std::list<Transfer>::iterator transfer, Outcome outcome, Completions& done);

    std::shared_ptr<UsbDeviceModel> device_;
    PDRIVER_CANCEL cancelRoutine_;
    bool connected_ = true;
    bool answering_ = true;
    bool cycled_ = false;
    std::optional<ULONG> portStatus_;
    std::vector<Pipe> pipes_;
    std::list<Transfer> transfers_;
    UsbRequestLog log_;
    std::vector<Failure> failures_;
    DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
};

}  // namespace sim
