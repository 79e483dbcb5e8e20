// The USB bus driver: a physical device object for each attached USB
// function, answering the URBs, port requests, Plug and Play and power
// requests a function driver sends it. It takes the place of StandInBus in
// tests that need a USB device.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "controller_thread.h"
#include "usb_capture.h"
#include "usb_device_model.h"
#include "usb_function.h"
#include "usb_request_log.h"

namespace sim {

enum class CompletionMode {
    // In the thread that sends the request, before IoCallDriver returns; a
    // request that has to wait for the device ends in the thread that makes
    // it end (the one that gives the device data, cancels, or unplugs).
    Synchronous,
    // Every internal control request returns STATUS_PENDING and ends later
    // on the bus's controller thread at DISPATCH_LEVEL, as from a host
    // controller's DPC; so do transfers ended by cancellation or unplug.
    ControllerThread,
};

// How a device leaves its port when a test unplugs it.
enum class UnplugMode {
    // The hub sees the port empty at once.
    Instant,
    // As when the cable is pulled: the device first stops answering while
    // its port still reads connected and enabled; the hub sees the port
    // empty only when the test says so (NoticeUnplug).
    CablePull,
};

class UsbBus {
public:
    // Completions come from the controller thread unless a test asks for
    // the caller's thread, as they do from a real host controller's DPC.
    explicit UsbBus(CompletionMode defaultMode = CompletionMode::ControllerThread);
    // Deletes the physical devices left, whose waiting transfers end as on
    // an unplug, then stops the controller thread.
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // \Device\USBPDO-n with instance id USB\VID_vvvv&PID_pppp\<instance>
    // (from the device descriptor) and an empty hardware key.
    PDEVICE_OBJECT CreatePhysicalDevice(std::shared_ptr<UsbDeviceModel> device, std::u16string_view instance = u"1");
    void DeletePhysicalDevice(PDEVICE_OBJECT physicalDevice);

    void SetCompletionMode(PDEVICE_OBJECT physicalDevice, CompletionMode mode);
    // The record a capabilities query gets; none leaves the query unanswered.
    void SetCapabilities(PDEVICE_OBJECT physicalDevice, std::optional<DEVICE_CAPABILITIES> capabilities);
    // Plug and Play requests return STATUS_PENDING and end later on the
    // controller thread, as from a hub's own worker, whatever the device's
    // completion mode; so the pending branches of a function driver's
    // forward-and-wait paths run.
    void PendPnpRequests(PDEVICE_OBJECT physicalDevice, bool pend);
    // The port-status word while the device is plugged in, instead of
    // USBD_PORT_ENABLED | USBD_PORT_CONNECTED.
    void SetPortStatus(PDEVICE_OBJECT physicalDevice, std::optional<ULONG> status);
    // Internal control and power requests whose record matches end with the
    // statuses (the USBD status goes into a URB's header), until cleared.
    void FailRequests(PDEVICE_OBJECT physicalDevice, std::function<bool(const UsbRequestRecord&)> matches,
                      NTSTATUS status, USBD_STATUS usbdStatus = USBD_STATUS_INTERNAL_HC_ERROR);
    void ClearFailures(PDEVICE_OBJECT physicalDevice);

    // Power requests whose record matches stay pending until released, as
    // a device slow to wake keeps its power-up request.
    void HoldPowerRequests(PDEVICE_OBJECT physicalDevice, std::function<bool(const UsbRequestRecord&)> matches);
    // Stops holding, and completes those held in the device's completion mode.
    void ReleasePowerRequests(PDEVICE_OBJECT physicalDevice);

    // Instant unless set otherwise.
    void SetUnplugMode(PDEVICE_OBJECT physicalDevice, UnplugMode mode);
    // The device leaves its port. Instant: as NoticeUnplug. CablePull:
    // waiting transfers end with STATUS_UNSUCCESSFUL and
    // USBD_STATUS_XACT_ERROR, new URBs and port resets fail with them, the
    // port status stays as it was, and the Plug and Play side hears nothing
    // until NoticeUnplug.
    void Unplug(PDEVICE_OBJECT physicalDevice);
    // The hub sees the port empty: waiting transfers end with
    // STATUS_DEVICE_NOT_CONNECTED, new URBs fail with it, the port status
    // becomes 0, and the unplug handler is called, once.
    void NoticeUnplug(PDEVICE_OBJECT physicalDevice);
    // Where the Plug and Play manager hears of an unplugged device.
    void SetUnplugHandler(std::function<void(PDEVICE_OBJECT)> handler);

    // A port cycle the device's driver asks for takes the device off its
    // port (as an unplug) and lets it enumerate again: the handler hears of
    // the physical device that left, and AttachAgain makes the one that
    // comes back. Without a handler the unplug handler hears of it.
    void SetCycleHandler(std::function<void(PDEVICE_OBJECT)> handler);
    // A fresh physical device for the same device and instance, with the
    // hardware key of the one that left.
    PDEVICE_OBJECT AttachAgain(PDEVICE_OBJECT physicalDevice);

    // From now on each URB the bus receives is written to the capture as it
    // arrives and as it completes, under the bus's next root hub number, and
    // each device plugged in is shown enumerating. Port requests are no
    // URBs: a capture on Windows does not show them either.
    void StartCapture(std::shared_ptr<UsbCapture> capture);

    // The most recent requests the device received, as many as the log keeps
    // (UsbRequestLog::Window), oldest first.
    std::vector<UsbRequestRecord> Requests(PDEVICE_OBJECT physicalDevice) const;
    // Those from the from-th on, counting from 0; one that has left the log
    // is a bug check.
    std::vector<UsbRequestRecord> Requests(PDEVICE_OBJECT physicalDevice, size_t from) const;
    // How many requests the device ever received.
    size_t RequestCount(PDEVICE_OBJECT physicalDevice) const;
    size_t WaitingTransfers(PDEVICE_OBJECT physicalDevice) const;
    // Returns once the controller thread has run everything posted so far.
    void Flush();
    // Stops the controller thread at its next job until released, so that a
    // test can have completions happen after a chosen point.
    void HoldController();
    void ReleaseController();

private:
    struct HeldPowerRequest {
        PIRP irp;
        size_t record;
        NTSTATUS status;
    };
    // A physical device object's state, behind a lock of its own: devices
    // on one hub do not wait for each other. Shared with the jobs and
    // cancel routines still at work on it, so that it outlives them. Its
    // lock may be held while the device model takes its own locks, never
    // the other way round; it never nests with the bus's lock.
    struct PhysicalDevice : std::enable_shared_from_this<PhysicalDevice> {
        UsbBus* bus;
        PDEVICE_OBJECT self;
        std::mutex lock;
        // Signalled when a cancel routine has ended its transfer.
        std::condition_variable cancelled;
        std::unique_ptr<UsbFunction> function;
        CompletionMode mode;
        std::optional<DEVICE_CAPABILITIES> capabilities;
        std::function<bool(const UsbRequestRecord&)> holdPower;
        std::vector<HeldPowerRequest> heldPower;
        bool pendPnp = false;
        UnplugMode unplugMode = UnplugMode::Instant;
        std::u16string instance;
        // Its USB address, 1 to 127, new at each attachment.
        USHORT address = 0;
        std::shared_ptr<UsbCapture> capture;
        USHORT captureBus = 0;
        // Bulk and interrupt transfers sent and not yet completed to their
        // senders, whatever the device has done with them, and their pipes.
        std::map<PIRP, USBD_PIPE_HANDLE> inFlight;
    };

    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    // What the device object's extension points to.
    static PhysicalDevice& StateOf(PDEVICE_OBJECT physicalDevice);

    NTSTATUS DispatchInternalControl(PhysicalDevice& device, PIRP irp);
    NTSTATUS DispatchPnp(PhysicalDevice& device, PIRP irp);
    void FinishPnp(PhysicalDevice& device, PIRP irp, size_t record, NTSTATUS status);
    NTSTATUS DispatchPower(PhysicalDevice& device, PIRP irp);
    void FinishPower(PhysicalDevice& device, const HeldPowerRequest& request);
    NTSTATUS DispatchOther(PhysicalDevice& device, PIRP irp);
    NTSTATUS Process(PhysicalDevice& device, PIRP irp, size_t record);
    // The first half of an unplug in CablePull mode; false in Instant mode.
    bool PullCable(PDEVICE_OBJECT physicalDevice);
    // Tells the cycle handler of a device a port cycle took off its port.
    void ReportCycle(PDEVICE_OBJECT physicalDevice);
    // A port reset with a transfer of the device still pending, or a pipe
    // reset with one of the pipe's, is a bug check. Called with the device's
    // lock held.
    static void RequireNoTransfersForReset(const PhysicalDevice& device, PIRP irp, ULONG code, PURB urb);
    // Completes each request, having first taken it off the transfers in flight.
    static void CompleteAll(PhysicalDevice& device, const UsbFunction::Completions& done);
    void OnActivity(const std::weak_ptr<PhysicalDevice>& device);
    void OnCancel(PhysicalDevice& device, PIRP irp);
    // Completes the requests in the context the device's mode asks for.
    void Deliver(PhysicalDevice& device, CompletionMode mode, UsbFunction::Completions done);
    // A physical device object of this bus, by its device object.
    std::shared_ptr<PhysicalDevice> DeviceOf(PDEVICE_OBJECT physicalDevice) const;

    PDRIVER_OBJECT driver_;
    const CompletionMode defaultMode_;
    unsigned nextNumber_ = 0;
    // Guards the devices' table, the addresses, the capture and the unplug
    // and cycle handlers.
    mutable std::mutex lock_;
    std::map<PDEVICE_OBJECT, std::shared_ptr<PhysicalDevice>> devices_;
    std::function<void(PDEVICE_OBJECT)> unplugHandler_;
    std::function<void(PDEVICE_OBJECT)> cycleHandler_;
    unsigned attachments_ = 0;
    std::shared_ptr<UsbCapture> capture_;
    USHORT captureBus_ = 0;
    std::mutex holdLock_;
    std::condition_variable holdChanged_;
    bool held_ = false;
    // Last, so that it stops first.
    ControllerThread controller_;
};

}  // namespace sim
