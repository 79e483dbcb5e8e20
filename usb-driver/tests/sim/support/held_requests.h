// Requests a test driver keeps pending the way a driver queues them: marked
// pending with a cancel routine, so that their sender can cancel them
// (CancelIo, the end of its thread), and taken out by the test to be
// completed when it chooses.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/platform.h"

namespace bulkcom_test {

class HeldRequests {
public:
    // Returns STATUS_PENDING; a request cancelled before it could be held is
    // completed with STATUS_CANCELLED at once instead.
    NTSTATUS Hold(PIRP irp);

    // Takes out the oldest held request, which no longer has a cancel
    // routine; nullptr when none is held.
    PIRP Take();

    // Returns once `count` requests have been held in all.
    void WaitUntilHeld(size_t count);

    size_t Count();
    // Requests completed by their cancel routine.
    size_t Cancelled();
    // The IRQL the latest cancel routine went on at once it had released the
    // cancel spin lock.
    KIRQL CancelRoutineIrql();

private:
    static VOID NTAPI Cancel(PDEVICE_OBJECT device, PIRP irp);

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<PIRP> held_;
    size_t everHeld_ = 0;
    size_t cancelled_ = 0;
    KIRQL cancelRoutineIrql_ = HIGH_LEVEL;
};

}  // namespace bulkcom_test
