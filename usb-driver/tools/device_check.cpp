#include "device_check.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "descriptor_dump.h"
#include "frame/frame.h"
#include "kernel/hooks.h"
#include "kernel/kernel.h"
#include "kernel/registry.h"
#include "kernel/status_names.h"
#include "pnp-power/pnp_manager.h"
#include "request_names.h"
#include "usb/scripted_device.h"
#include "usb/usb_bus.h"

namespace bulkcom_check {

namespace {

// One interface record of the select-configuration request as the bus
// driver answered it.
struct SelectedInterface {
    UCHAR number = 0;
    UCHAR alternateSetting = 0;
    bool bulkOut = false;
    bool bulkIn = false;
};

// Keeps the bus driver's answer to a select-configuration request: a driver
// that refuses the configuration frees its copies of it before the start
// ends.
class SelectionWatch {
public:
    SelectionWatch()
    {
        sim::Hooks().irpCompleting = [this](PIRP irp) { Completing(irp); };
    }
    ~SelectionWatch() { sim::Hooks().irpCompleting = nullptr; }
    SelectionWatch(const SelectionWatch&) = delete;
    SelectionWatch& operator=(const SelectionWatch&) = delete;

    std::optional<std::vector<SelectedInterface>> Answer() const
    {
        std::lock_guard lock(lock_);
        return answer_;
    }

private:
    void Completing(PIRP irp);

    mutable std::mutex lock_;
    std::optional<std::vector<SelectedInterface>> answer_;
};

void SelectionWatch::Completing(PIRP irp)
{
    // A request its sender stopped completing comes back with no location
    // of its own; its URB was seen when the bus driver completed it.
    if (irp->CurrentLocation > irp->StackCount) {
        return;
    }
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    if (stack.MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        stack.Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return;
    }
    auto urb = static_cast<PURB>(stack.Parameters.Others.Argument1);
    const auto& select = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION || select.ConfigurationDescriptor == nullptr ||
        !NT_SUCCESS(irp->IoStatus.Status)) {
        return;
    }
    // The bus driver checked each record's length before it succeeded.
    std::vector<SelectedInterface> records;
    auto record = reinterpret_cast<const UCHAR*>(&select.Interface);
    for (UCHAR i = 0; i < select.ConfigurationDescriptor->bNumInterfaces; ++i) {
        auto information = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(record);
        SelectedInterface selected{information->InterfaceNumber, information->AlternateSetting};
        for (ULONG pipe = 0; pipe < information->NumberOfPipes; ++pipe) {
            const USBD_PIPE_INFORMATION& entry = information->Pipes[pipe];
            if (entry.PipeType == UsbdPipeTypeBulk) {
                ((entry.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0 ? selected.bulkIn : selected.bulkOut) =
                    true;
            }
        }
        records.push_back(selected);
        record += information->Length;
    }
    std::lock_guard lock(lock_);
    answer_ = std::move(records);
}

// What the driver did with the device.
struct DriverRun {
    NTSTATUS addStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
    // The URBs the start sent, in order, with their results.
    std::vector<sim::UsbRequestRecord> urbs;
    std::optional<std::vector<SelectedInterface>> selected;
    std::optional<TakenInterface> taken;
};

TakenPipe PipeOf(const USBD_PIPE_INFORMATION& pipe)
{
    return TakenPipe{pipe.EndpointAddress, pipe.MaximumPacketSize};
}

// The interface copy of a started driver that holds its bulk pipes.
std::optional<TakenInterface> Taken(PDEVICE_EXTENSION extension)
{
    for (PUSBD_INTERFACE_INFORMATION interface : extension->InterfaceInfo) {
        if (interface == nullptr || extension->BulkOutPipe < &interface->Pipes[0] ||
            extension->BulkOutPipe >= &interface->Pipes[0] + interface->NumberOfPipes) {
            continue;
        }
        return TakenInterface{
            interface->InterfaceNumber,    interface->AlternateSetting, interface->Class,
            interface->SubClass,           interface->Protocol,         PipeOf(*extension->BulkOutPipe),
            PipeOf(*extension->BulkInPipe)};
    }
    return std::nullopt;
}

DriverRun RunDriver(const DescriptorDump& dump)
{
    DriverRun run;
    SelectionWatch watch;
    sim::UsbBus bus;
    auto device = std::make_shared<sim::ScriptedDevice>();
    device->SetDeviceDescriptor(dump.deviceDescriptor);
    device->SetConfigurationDescriptor(dump.configuration);
    PDEVICE_OBJECT pdo = bus.CreatePhysicalDevice(device);
    // The port's name comes from the Ports class installer; any will do.
    sim::Registry::SetHardwareString(pdo, u"PortName", u"COM5");
    {
        sim::PnpManager pnp(DriverEntry);
        run.addStatus = pnp.AddDevice(pdo);
        if (NT_SUCCESS(run.addStatus)) {
            const size_t before = bus.RequestCount(pdo);
            run.startStatus = pnp.SendPnp(pdo, IRP_MN_START_DEVICE);
            for (const sim::UsbRequestRecord& record : bus.Requests(pdo, before)) {
                if (record.kind == sim::UsbRequestKind::SubmitUrb) {
                    run.urbs.push_back(record);
                }
            }
            if (NT_SUCCESS(run.startStatus)) {
                run.taken = Taken(DeviceExtensionOf(pdo->AttachedDevice));
                pnp.QueryAndRemove(pdo);
            } else {
                // As Windows removes a device whose start failed.
                pnp.SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
            }
        }
        pnp.WaitUntilIdle();
    }
    run.selected = watch.Answer();
    bus.DeletePhysicalDevice(pdo);
    return run;
}

std::string Statuses(const sim::UsbRequestRecord& record)
{
    return sim::StatusName(record.status) + ", " + UsbdStatusName(record.usbdStatus);
}

std::string RequestText(const sim::UsbRequestRecord& record)
{
    if (record.urbFunction != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        return UrbFunctionName(record.urbFunction) + " request";
    }
    switch (record.descriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        return "request for the device descriptor";
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        return "request for the configuration descriptor";
    default:
        return "request for a descriptor of type " + std::to_string(record.descriptorType);
    }
}

std::string InterfaceName(UCHAR number, UCHAR alternateSetting)
{
    return "interface " + std::to_string(number) +
           (alternateSetting != 0 ? " alternate setting " + std::to_string(alternateSetting) : "");
}

// The first interface number below bNumInterfaces with no interface
// descriptor in the walk.
std::optional<UCHAR> MissingInterface(const DescriptorDump& dump)
{
    for (unsigned number = 0; number < dump.interfaces; ++number) {
        if (std::none_of(dump.interfaceDescriptors.begin(), dump.interfaceDescriptors.end(),
                         [&](const DumpedInterface& interface) { return interface.number == number; })) {
            return static_cast<UCHAR>(number);
        }
    }
    return std::nullopt;
}

std::string NoBulkPair(const std::vector<SelectedInterface>& selected)
{
    if (selected.empty()) {
        return "it selected the configuration, which declares no interface (bNumInterfaces 0), so there are no "
               "bulk pipes to take (STATUS_NOT_SUPPORTED).";
    }
    const SelectedInterface& last = selected.back();
    const char* missing = !last.bulkOut && !last.bulkIn ? "no bulk endpoint"
                          : !last.bulkOut               ? "no bulk OUT endpoint"
                                                        : "no bulk IN endpoint";
    return "it selected the configuration, but the last interface (" +
           InterfaceName(last.number, last.alternateSetting) + ") has " + missing +
           ". bulkcom takes one bulk OUT and one bulk IN pipe from the last interface of the "
           "configuration (STATUS_NOT_SUPPORTED).";
}

// Why the start failed, from what the driver sent and what the bus answered.
std::string WhyNot(const DriverRun& run, const DescriptorDump& dump)
{
    if (!NT_SUCCESS(run.addStatus)) {
        return "its AddDevice routine failed with " + sim::StatusName(run.addStatus) + ".";
    }
    const std::string status = sim::StatusName(run.startStatus);
    if (run.urbs.empty()) {
        return "it failed the start with " + status + " before it sent anything to the device.";
    }
    const sim::UsbRequestRecord& last = run.urbs.back();
    const bool selecting = last.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION;
    if (!NT_SUCCESS(last.status) && selecting) {
        return "the USB stack refused the select-configuration request bulkcom sent (" + Statuses(last) +
               "): the configuration's descriptors do not agree with each other" +
               (dump.notes.empty() ? "." : " (see the notes above).");
    }
    if (!NT_SUCCESS(last.status)) {
        return "the device failed bulkcom's " + RequestText(last) + " (" + Statuses(last) + ").";
    }
    if (selecting && run.startStatus == STATUS_NOT_SUPPORTED && run.selected) {
        return NoBulkPair(*run.selected);
    }
    const bool configurationRead = last.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
                                   last.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE;
    if (configurationRead && run.startStatus == STATUS_NOT_SUPPORTED) {
        return "the configuration has " + std::to_string(dump.interfaces) +
               " interfaces (bNumInterfaces), and bulkcom drives devices with one or two; it refused the device "
               "before selecting the configuration (STATUS_NOT_SUPPORTED).";
    }
    std::optional<UCHAR> missing = MissingInterface(dump);
    if (configurationRead && run.startStatus == STATUS_INSUFFICIENT_RESOURCES && missing) {
        const std::string wanted = dump.interfaces == 1
                                       ? "numbered 0 (bNumInterfaces 1), found none"
                                       : "for each number from 0 to " + std::to_string(dump.interfaces - 1) +
                                             " (bNumInterfaces " + std::to_string(dump.interfaces) +
                                             "), found none numbered " + std::to_string(*missing);
        return "it looks for an interface descriptor " + wanted +
               " and never selected the configuration (STATUS_INSUFFICIENT_RESOURCES).";
    }
    return "it failed the start with " + status + " after its " + RequestText(last) + ", which succeeded.";
}

std::string Starts(const TakenInterface& taken)
{
    auto pipe = [](const char* name, const TakenPipe& pipe) {
        return std::string(name) + " " + EndpointAddressText(pipe.address) + " (" + std::to_string(pipe.packetSize) +
               "-byte packets)";
    };
    char classes[16];
    std::snprintf(classes, sizeof classes, "%02x/%02x/%02x", taken.interfaceClass, taken.interfaceSubClass,
                  taken.interfaceProtocol);
    return "bulkcom starts on this device: " + InterfaceName(taken.number, taken.alternateSetting) + " (class " +
           classes + "), " + pipe("bulk OUT", taken.bulkOut) + ", " + pipe("bulk IN", taken.bulkIn) + "\n";
}

}  // namespace

CheckResult CheckDevice(std::span<const UCHAR> descriptors)
{
    CheckResult result;
    std::optional<DescriptorDump> dump = ReadDump(descriptors, &result.reason);
    if (!dump) {
        result.verdict = Verdict::Unusable;
        result.text = "this file cannot be used as a USB device's descriptors: " + result.reason + "\n";
        return result;
    }
    result.text = Listing(*dump);
    DriverRun run = RunDriver(*dump);
    if (run.taken) {
        result.verdict = Verdict::Starts;
        result.taken = run.taken;
        result.text += Starts(*run.taken);
    } else {
        result.verdict = Verdict::WillNotStart;
        result.reason = WhyNot(run, *dump);
        result.text += "bulkcom will not start on this device: " + result.reason +
                       "\nWindows would show it in Device Manager with Code 10 (This device cannot start).\n";
    }

    sim::KernelReport report = sim::CheckKernel();
    if (!report.Clean()) {
        result.verdict = Verdict::DriverFault;
        result.reason = report.Text();
        result.text += "\nDRIVER FAULT: bulkcom left the simulated platform unclean on this device; this is a fault "
                       "of the driver, not of the device:\n" +
                       report.Text() + "\n";
    }
    return result;
}

void ReportBugChecksAsDriverFaults()
{
    std::signal(SIGABRT, [](int) {
        static constexpr char message[] =
            "\nDRIVER FAULT: bulkcom broke a kernel rule on this device (the STOP above); this is a fault of the "
            "driver, not of the device\n";
        // Only what is safe in a signal handler.
        [[maybe_unused]] ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
        _exit(ExitStatus(Verdict::DriverFault));
    });
}

}  // namespace bulkcom_check
