#include "request_trace.h"

#include <cstdio>

#include "kernel/hooks.h"
#include "kernel/object_namespace.h"
#include "kernel/status_names.h"
#include "request_names.h"
#include "status_mapping.h"

namespace {

void Print(const std::string& line)
{
    std::printf("      > %s\n", line.c_str());
}

PURB UrbOf(const IO_STACK_LOCATION& stack)
{
    bool submit = stack.MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
                  stack.Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB;
    return submit ? static_cast<PURB>(stack.Parameters.Others.Argument1) : nullptr;
}

bool IsTransfer(const URB& urb)
{
    return urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
           urb.UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
}

// What a transfer asks for, or once it has ended what it moved.
ULONG TransferLength(const URB& urb)
{
    return urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
               ? urb.UrbBulkOrInterruptTransfer.TransferBufferLength
               : urb.UrbControlDescriptorRequest.TransferBufferLength;
}

std::string DescribeUrb(const URB& urb)
{
    std::string text = UrbFunctionName(urb.UrbHeader.Function);
    if (urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        bool in = (urb.UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        text += in ? " IN, up to " : " OUT, ";
    } else if (urb.UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        text += " type " + std::to_string(urb.UrbControlDescriptorRequest.DescriptorType) + ", up to ";
    }
    return IsTransfer(urb) ? text + std::to_string(TransferLength(urb)) + " bytes" : text;
}

// S0 to S5 for the system, D0 to D3 for a device.
std::string PowerStateName(POWER_STATE_TYPE type, POWER_STATE state)
{
    return type == SystemPowerState ? "S" + std::to_string(static_cast<int>(state.SystemState) - 1)
                                    : "D" + std::to_string(static_cast<int>(state.DeviceState) - 1);
}

std::string Describe(const IO_STACK_LOCATION& stack)
{
    std::string text = MajorFunctionName(stack.MajorFunction);
    switch (stack.MajorFunction) {
    case IRP_MJ_PNP:
        return text + " " + MinorFunctionName(stack.MajorFunction, stack.MinorFunction);
    case IRP_MJ_POWER:
        text += " " + MinorFunctionName(stack.MajorFunction, stack.MinorFunction);
        if (stack.MinorFunction == IRP_MN_SET_POWER || stack.MinorFunction == IRP_MN_QUERY_POWER) {
            text += " " + PowerStateName(stack.Parameters.Power.Type, stack.Parameters.Power.State);
        }
        return text;
    case IRP_MJ_READ:
        return text + ", up to " + std::to_string(stack.Parameters.Read.Length) + " bytes";
    case IRP_MJ_WRITE:
        return text + ", " + std::to_string(stack.Parameters.Write.Length) + " bytes";
    case IRP_MJ_DEVICE_CONTROL:
        return text + " " + ControlCodeName(stack.Parameters.DeviceIoControl.IoControlCode);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        text += " " + ControlCodeName(stack.Parameters.DeviceIoControl.IoControlCode);
        if (PURB urb = UrbOf(stack); urb != nullptr) {
            text += " " + DescribeUrb(*urb);
        }
        return text;
    default:
        return text;
    }
}

// Status and byte count; bytes only where the request moves data: reads,
// writes, control requests and USB transfers.
std::string Outcome(NTSTATUS status, UCHAR major, const std::optional<ULONG>& transferred,
                    const IO_STATUS_BLOCK* completion)
{
    std::string text = " -> " + sim::StatusName(status);
    bool error = sim::IsErrorStatus(status);
    if (transferred) {
        return text + ", " + std::to_string(error ? 0 : *transferred) + " bytes";
    }
    bool movesData = major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL;
    if (movesData && completion != nullptr) {
        return text + ", " + std::to_string(error ? 0 : completion->Information) + " bytes";
    }
    return text;
}

}  // namespace

RequestTrace::RequestTrace()
{
    sim::Hooks().requestArriving = [this](PDEVICE_OBJECT device, PIRP irp) { Arriving(device, irp); };
    sim::Hooks().requestDispatched = [this](PDEVICE_OBJECT, const IO_STACK_LOCATION&, NTSTATUS returned) {
        Dispatched(returned);
    };
    sim::Hooks().irpCompleting = [this](PIRP irp) { Completing(irp); };
}

RequestTrace::~RequestTrace()
{
    sim::Hooks().requestArriving = nullptr;
    sim::Hooks().requestDispatched = nullptr;
    sim::Hooks().irpCompleting = nullptr;
}

void RequestTrace::NameDevicesOf(PDRIVER_OBJECT driver, std::string name)
{
    std::lock_guard lock(lock_);
    names_[driver] = std::move(name);
}

std::string RequestTrace::DeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard lock(lock_);
    auto found = names_.find(device->DriverObject);
    if (found != names_.end()) {
        return found->second;
    }
    return "device of " + sim::ToUtf8(sim::FromUnicodeString(&device->DriverObject->DriverName));
}

void RequestTrace::Arriving(PDEVICE_OBJECT device, PIRP irp)
{
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    std::string line = DeviceName(device) + ": " + Describe(stack);
    std::lock_guard lock(lock_);
    ThreadLog& log = threads_[std::this_thread::get_id()];
    if (log.Outermost(irp)) {
        completions_.erase(irp);
    }
    log.lines.push_back(std::string(2 * log.calls.size(), ' ') + line);
    log.calls.push_back({irp, stack.MajorFunction, log.lines.size() - 1});
}

void RequestTrace::Dispatched(NTSTATUS returned)
{
    std::lock_guard lock(lock_);
    std::thread::id self = std::this_thread::get_id();
    ThreadLog& log = threads_[self];
    Call call = log.calls.back();
    log.calls.pop_back();
    std::string& line = log.lines[call.line];
    auto found = completions_.find(call.irp);
    if (returned == STATUS_PENDING && found == completions_.end()) {
        pending_[call.irp] = {line, self};
        line += " -> STATUS_PENDING";
    } else if (returned == STATUS_PENDING) {
        // Another thread completed it before its dispatch routine returned.
        std::string pendingLine = line;
        line += " -> STATUS_PENDING";
        log.lines.push_back(
            pendingLine + " completed" +
            Outcome(found->second.status.Status, call.major, found->second.transferred, &found->second.status));
    } else {
        // Completed inside the dispatch routine, as a request must be
        // unless it is pending.
        line += found == completions_.end()
                    ? Outcome(returned, call.major, std::nullopt, nullptr)
                    : Outcome(returned, call.major, found->second.transferred, &found->second.status);
    }
    if (log.Outermost(call.irp)) {
        completions_.erase(call.irp);
    }
    if (log.calls.empty()) {
        for (const std::string& text : log.lines) {
            Print(text);
        }
        threads_.erase(self);
    }
}

void RequestTrace::Completing(PIRP irp)
{
    // A driver that stopped the completion of a request it built hands it
    // back with no location of its own left: that request was traced when
    // the driver below completed it.
    if (irp->CurrentLocation > irp->StackCount) {
        return;
    }
    // The URB is read now: the driver that sent it may free it in its
    // completion routine.
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    Completion completion{irp->IoStatus, std::nullopt};
    if (PURB urb = UrbOf(stack); urb != nullptr && IsTransfer(*urb)) {
        completion.transferred = TransferLength(*urb);
    }
    std::lock_guard lock(lock_);
    auto found = pending_.find(irp);
    if (found == pending_.end()) {
        completions_[irp] = completion;
        return;
    }
    std::string line = found->second.line + " completed" +
                       Outcome(irp->IoStatus.Status, stack.MajorFunction, completion.transferred, &completion.status);
    // While its sender still handles the request that led to it, the line
    // joins the sender's block, below the line that left it pending.
    auto sender = threads_.find(found->second.sender);
    if (sender != threads_.end()) {
        sender->second.lines.push_back(line);
        // A dispatch routine further up, that passed it on, has yet to
        // return: its line is told completed too.
        if (!sender->second.Outermost(irp)) {
            completions_[irp] = completion;
        }
    } else {
        Print(line);
    }
    pending_.erase(found);
}
