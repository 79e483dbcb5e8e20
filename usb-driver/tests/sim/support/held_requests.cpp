#include "sim/support/held_requests.h"

#include <algorithm>

namespace bulkcom_test {

NTSTATUS HeldRequests::Hold(PIRP irp)
{
    irp->Tail.Overlay.DriverContext[0] = this;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, Cancel);
    {
        std::lock_guard guard(lock_);
        held_.push_back(irp);
        everHeld_++;
    }
    IoReleaseCancelSpinLock(irql);
    changed_.notify_all();
    return STATUS_PENDING;
}

PIRP HeldRequests::Take()
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = nullptr;
    {
        std::lock_guard guard(lock_);
        if (!held_.empty()) {
            irp = held_.front();
            held_.pop_front();
        }
    }
    if (irp != nullptr) {
        IoSetCancelRoutine(irp, nullptr);
    }
    IoReleaseCancelSpinLock(irql);
    return irp;
}

void HeldRequests::WaitUntilHeld(size_t count)
{
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return everHeld_ >= count; });
}

size_t HeldRequests::Count()
{
    std::lock_guard guard(lock_);
    return held_.size();
}

size_t HeldRequests::Cancelled()
{
    std::lock_guard guard(lock_);
    return cancelled_;
}

KIRQL HeldRequests::CancelRoutineIrql()
{
    std::lock_guard guard(lock_);
    return cancelRoutineIrql_;
}

VOID NTAPI HeldRequests::Cancel(PDEVICE_OBJECT, PIRP irp)
{
    // Called with the cancel spin lock held; the request is still held,
    // since taking it out clears the routine under the same lock.
    auto* self = static_cast<HeldRequests*>(irp->Tail.Overlay.DriverContext[0]);
    {
        std::lock_guard guard(self->lock_);
        self->held_.erase(std::find(self->held_.begin(), self->held_.end(), irp));
        self->cancelled_++;
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard guard(self->lock_);
        self->cancelRoutineIrql_ = KeGetCurrentIrql();
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace bulkcom_test
