// The transfers waiting on a function's endpoints: moved on as the device
// answers, packet by packet on an IN endpoint and whole on an OUT one, and
// ended by the device's answer, by cancellation, or all at once when the
// device or its configuration goes.

#include "usb_function.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

// The host controller's own codes, which usb.h gives both the error and the
// halt bits, report an error on the wire; the controller then halts the
// endpoint until a pipe or port reset. A cancel, an unplug or the stack's
// own refusals carry no such error.
bool HaltsEndpoint(USBD_STATUS status)
{
    constexpr ULONG ControllerCodes = 0xFF;
    return USBD_HALTED(status) && (static_cast<ULONG>(status) & 0x0FFFFFFF) <= ControllerCodes;
}

}  // namespace

void UsbFunction::Service(Completions& done)
{
    // Ending a transfer on one pipe can give another pipe something to do
    // (a loopback's OUT feeds its IN), so go round until nothing moves.
    bool progress = true;
    while (progress) {
        progress = false;
        for (Pipe& pipe : pipes_) {
            if (ServicePipe(pipe, done)) {
                progress = true;
            }
        }
    }
}

bool UsbFunction::ServicePipe(Pipe& pipe, Completions& done)
{
    bool progress = false;
    for (;;) {
        // An endpoint works through its transfers in the order they came.
        auto head = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& transfer) {
            return transfer.pipe == pipe.handle && !transfer.cancelling;
        });
        if (head == transfers_.end() || head->ignored) {
            return progress;
        }
        std::optional<Outcome> outcome;
        if (pipe.halted) {
            outcome = Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED};
        } else if (USB_ENDPOINT_DIRECTION_IN(pipe.address)) {
            outcome = Receive(pipe, *head);
        } else {
            outcome = Send(pipe, *head);
        }
        if (!outcome) {
            return progress;
        }
        EndUnlessCancelling(head, *outcome, done);
        progress = true;
    }
}

std::optional<UsbFunction::Outcome> UsbFunction::Receive(Pipe& pipe, Transfer& transfer)
{
    for (;;) {
        if (transfer.length != 0 && transfer.moved == transfer.length) {
            return Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
        }
        std::optional<InEvent> event = device_->NextIn(pipe.address);
        if (!event) {
            return std::nullopt;
        }
        if (auto* packet = std::get_if<InPacket>(&*event)) {
            size_t size = packet->data.size();
            ULONG room = transfer.length - transfer.moved;
            ULONG fits = static_cast<ULONG>(std::min<size_t>(size, room));
            if (fits != 0) {
                std::memcpy(transfer.buffer + transfer.moved, packet->data.data(), fits);
            }
            transfer.moved += fits;
            // More than the transfer can take, or than a packet may carry:
            // babble, which halts the endpoint.
            if (size > room || size > pipe.packetSize) {
                return Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED};
            }
            if (size < pipe.packetSize) {
                return Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
            }
            continue;
        }
        if (std::holds_alternative<InStall>(*event)) {
            return Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
        }
        if (auto* failure = std::get_if<InFailure>(&*event)) {
            return Outcome{failure->status, failure->usbdStatus};
        }
        transfer.ignored = true;
        return std::nullopt;
    }
}

std::optional<UsbFunction::Outcome> UsbFunction::Send(Pipe& pipe, Transfer& transfer)
{
    OutAnswer answer = device_->Out(pipe.address, std::span<const UCHAR>(transfer.buffer, transfer.length));
    if (auto* accept = std::get_if<OutAccept>(&answer)) {
        transfer.moved = std::min(accept->count, transfer.length);
        return Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
    }
    if (std::holds_alternative<OutStall>(answer)) {
        return Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    }
    if (auto* failure = std::get_if<OutFailure>(&answer)) {
        return Outcome{failure->status, failure->usbdStatus};
    }
    transfer.ignored = true;
    return std::nullopt;
}

void UsbFunction::EndTransfer(std::list<Transfer>::iterator transfer, Outcome outcome, Completions& done)
{
    if (Pipe* pipe = FindPipe(transfer->pipe); pipe != nullptr && HaltsEndpoint(outcome.usbdStatus)) {
        pipe->halted = true;
    }
    transfer->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transfer->moved;
    Complete(transfer->irp, transfer->urb, transfer->record, outcome.status, outcome.usbdStatus, transfer->moved, done);
    transfers_.erase(transfer);
}

void UsbFunction::EndUnlessCancelling(std::list<Transfer>::iterator transfer, Outcome outcome, Completions& done)
{
    // Whoever takes the cancel routine away ends the request: if IoCancelIrp
    // took it first, the routine is on its way and will end it.
    if (IoSetCancelRoutine(transfer->irp, nullptr) == nullptr) {
        transfer->cancelling = true;
        return;
    }
    EndTransfer(transfer, outcome, done);
}

void UsbFunction::EndAll(NTSTATUS status, USBD_STATUS usbdStatus, Completions& done)
{
    for (auto transfer = transfers_.begin(); transfer != transfers_.end();) {
        auto next = std::next(transfer);
        if (!transfer->cancelling) {
            EndUnlessCancelling(transfer, Outcome{status, usbdStatus}, done);
        }
        transfer = next;
    }
}

void UsbFunction::Cancel(PIRP irp, Completions& done)
{
    auto found = std::find_if(transfers_.begin(), transfers_.end(),
                              [&](const Transfer& transfer) { return transfer.irp == irp; });
    if (found == transfers_.end()) {
        return;
    }
    EndTransfer(found, Outcome{STATUS_CANCELLED, USBD_STATUS_CANCELED}, done);
    // The transfers behind it on its endpoint may go on now.
    Service(done);
}

}  // namespace sim
