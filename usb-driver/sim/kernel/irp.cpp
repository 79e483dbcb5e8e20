// The I/O manager's handling of requests. Each request has a record of who
// built it and how far its life has gone, so that completing it twice,
// freeing it while a driver still owns it, or leaking it are caught. Freed
// requests stay quarantined for a while, so a late second completion finds
// the record instead of reused memory.

#include "irp.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "bugcheck.h"
#include "device_objects.h"
#include "fault_injection.h"
#include "hooks.h"
#include "irql.h"
#include "os_version.h"
#include "pool.h"
#include "status_names.h"

namespace sim {

namespace {

constexpr CSHORT IO_TYPE_IRP = 6;
constexpr ULONG kernelBufferTag = PoolTag("Irp ");
constexpr size_t quarantineSize = 256;

enum class Origin { Allocated, DeviceIoControl, Kernel };
enum class Phase { Built, InFlight, Stopped, Completed, Freed };

// One dispatch routine at work on a request, as IofCallDriver sees it. Once
// the routine has marked the request pending, another thread may complete
// and free it before the routine returns; what the pending rule needs about
// the routine's stack location is therefore kept here, and the completion
// walk fills it in when it passes that location.
struct DispatchFrame {
    PIRP irp;
    CHAR location;
    bool markedBefore;
    DispatchFrame* caller;
    bool completionPassed = false;
    bool markedAtCompletion = false;
    bool lowerReturnedPending = false;
    // The location just below, where a request passed on shows it is pending
    // once the completion walk has left it.
    bool lowerPassed = false;
    bool lowerMarked = false;
};

struct IrpRecord {
    Origin origin;
    Phase phase = Phase::Built;
    unsigned finishedCompletions = 0;
    std::function<void(PIRP)> onCompleted;
    std::vector<PDEVICE_OBJECT> reached;
    std::vector<DispatchFrame*> frames;
};

// Set by CallDriverForPowerManager for the one IofCallDriver it makes.
thread_local bool powerManagerCall = false;
// The innermost dispatch routine this thread is running.
thread_local DispatchFrame* currentFrame = nullptr;

// A request in quarantine, and its place in the order of all frees.
struct Freed {
    PIRP irp;
    unsigned long long number;
};

// The records are spread over shards by address, each with its own lock
// and quarantine, so that threads working on different requests do not wait
// for each other; each on its own cache lines. A request's record is read
// and changed only under its shard's lock; no call holds two shards' locks,
// or takes another lock while it holds one.
struct alignas(64) Shard {
    std::mutex lock;
    std::unordered_map<PIRP, IrpRecord> records;
    std::deque<Freed> quarantine;
};
constexpr int shardBits = 6;
constexpr size_t shardCount = size_t{1} << shardBits;
std::array<Shard, shardCount> shards;
std::atomic<unsigned long long> freedCount{0};
KSPIN_LOCK cancelSpinLock = 0;

Shard& ShardOf(PIRP irp)
{
    // Requests are 16-byte aligned; the multiplier spreads the rest.
    auto bits = reinterpret_cast<uintptr_t>(irp) >> 4;
    return shards[(bits * 0x9E3779B97F4A7C15ull) >> (64 - shardBits)];
}

PIRP NewIrp(CCHAR stackSize, Origin origin, std::function<void(PIRP)> onCompleted = {})
{
    size_t size = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    void* memory = ::operator new (size, std::align_val_t{16});
    std::memset(memory, 0, size);
    auto* irp = static_cast<PIRP>(memory);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    Shard& shard = ShardOf(irp);
    std::lock_guard lock(shard.lock);
    shard.records[irp] = IrpRecord{origin, Phase::Built, 0, std::move(onCompleted), {}, {}};
    return irp;
}

// Called with the request's shard lock held.
IrpRecord& RecordOf(PIRP irp, const char* routine)
{
    auto& records = ShardOf(irp).records;
    auto found = records.find(irp);
    if (found == records.end()) {
        BugCheck("INVALID_IRP", std::string(routine) + " given something that is not a request", irp);
    }
    return found->second;
}

// Called with the request's shard lock held. A freed request stays in
// quarantine until quarantineSize more requests have been freed, counted
// over all shards. At most one leaves for each that comes, so that memory
// goes back at an even pace; a shard's quarantine thus keeps about the most
// it ever needed: up to quarantineSize, and those still returning.
void Release(PIRP irp, IrpRecord& record)
{
    record.phase = Phase::Freed;
    record.onCompleted = nullptr;
    Shard& shard = ShardOf(irp);
    unsigned long long now = ++freedCount;
    shard.quarantine.push_back(Freed{irp, now});
    // A request a dispatch routine is still returning from keeps its record
    // and memory, so that its IofCallDriver never meets a reused address.
    for (size_t turns = shard.quarantine.size(); turns > 0 && now - shard.quarantine.front().number > quarantineSize;
         turns--) {
        Freed oldest = shard.quarantine.front();
        shard.quarantine.pop_front();
        if (!shard.records.at(oldest.irp).frames.empty()) {
            shard.quarantine.push_back(oldest);
            continue;
        }
        shard.records.erase(oldest.irp);
        ::operator delete (oldest.irp, std::align_val_t{16});
        return;
    }
}

// Called with the request's shard lock held, as the completion walk leaves a
// stack location.
void NoteCompletionPassing(PIRP irp, CHAR location, bool marked)
{
    for (DispatchFrame* frame : RecordOf(irp, "IoCompleteRequest").frames) {
        if (frame->location == location && !frame->completionPassed) {
            frame->completionPassed = true;
            frame->markedAtCompletion = marked;
        }
        if (frame->location == location + 1 && !frame->lowerPassed) {
            frame->lowerPassed = true;
            frame->lowerMarked = marked;
        }
    }
}

// The I/O manager trusts what a dispatch routine returns: STATUS_PENDING
// makes the caller wait for a completion that only a request marked pending
// announces, and any other status lets the caller carry on at once while a
// location marked pending has the completion signal it a second time.
void CheckPendingReturned(const DispatchFrame& frame, bool marked, NTSTATUS status, PDEVICE_OBJECT device,
                          const IO_STACK_LOCATION& sent)
{
    std::string request = " (major function " + std::to_string(sent.MajorFunction) + ", minor function " +
                          std::to_string(sent.MinorFunction) + ")";
    if (status == STATUS_PENDING && !marked && !frame.lowerReturnedPending && !frame.lowerMarked) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "a dispatch routine returned STATUS_PENDING without marking the request pending (IoMarkIrpPending)" +
                     request,
                 device);
    }
    if (status != STATUS_PENDING && marked && !frame.markedBefore) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "a dispatch routine marked the request pending and returned " + StatusName(status) +
                     " instead of STATUS_PENDING" + request,
                 device);
    }
}

// What the I/O manager does once a request it built has been completed by
// every driver: hand the results back to the caller and free the request.
// A warning (such as STATUS_BUFFER_OVERFLOW) still returns data; an error
// returns only its status.
void FinishDeviceIoControl(PIRP irp)
{
    bool error = (static_cast<ULONG>(irp->IoStatus.Status) >> 30) == 3;
    if ((irp->Flags & IRP_BUFFERED_IO) != 0) {
        if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && irp->UserBuffer != nullptr && !error &&
            irp->IoStatus.Information != 0) {
            std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) {
            ExFreePool(irp->AssociatedIrp.SystemBuffer);
        }
    }
    if (error) {
        irp->UserIosb->Status = irp->IoStatus.Status;
    } else {
        *irp->UserIosb = irp->IoStatus;
    }
    PKEVENT event = irp->UserEvent;
    {
        std::lock_guard lock(ShardOf(irp).lock);
        Release(irp, RecordOf(irp, "IoCompleteRequest"));
    }
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void CheckPowerDispatch(PDEVICE_OBJECT device, PIRP irp, bool fromPowerManager)
{
    // Power-pageable code may be paged out: touching it above PASSIVE_LEVEL
    // faults at an IRQL where paging cannot run.
    if ((device->Flags & DO_POWER_PAGABLE) != 0 && CurrentIrql() > PASSIVE_LEVEL) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL",
                 "a power request reached a power-pageable device at IRQL " + std::to_string(CurrentIrql()) +
                     "; PoCallDriver would have delivered it at PASSIVE_LEVEL",
                 irp);
    }
    if (PowerRequestsSerialised() && !fromPowerManager) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "a power request passed on with IoCallDriver; before Vista only PoCallDriver may pass one on", irp);
    }
}

bool ShouldInvoke(PIRP irp, const IO_STACK_LOCATION* stack)
{
    if (stack->CompletionRoutine == nullptr) {
        return false;
    }
    NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS) != 0) ||
           (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR) != 0) ||
           (std::atomic_ref(irp->Cancel).load() && (stack->Control & SL_INVOKE_ON_CANCEL) != 0);
}

}  // namespace

PIRP AllocateKernelIrp(CCHAR stackSize, std::function<void(PIRP)> onCompleted)
{
    return NewIrp(stackSize, Origin::Kernel, std::move(onCompleted));
}

void FreeKernelIrp(PIRP irp)
{
    std::lock_guard lock(ShardOf(irp).lock);
    Release(irp, RecordOf(irp, "FreeKernelIrp"));
}

std::vector<PIRP> OutstandingIrps()
{
    std::vector<PIRP> list;
    for (Shard& shard : shards) {
        std::lock_guard lock(shard.lock);
        for (const auto& [irp, record] : shard.records) {
            if (record.phase != Phase::Freed) {
                list.push_back(irp);
            }
        }
    }
    return list;
}

NTSTATUS CallDriverForPowerManager(PDEVICE_OBJECT device, PIRP irp)
{
    powerManagerCall = true;
    return IofCallDriver(device, irp);
}

void NoteCallDeferred(PIRP irp)
{
    std::lock_guard lock(ShardOf(irp).lock);
    if (currentFrame != nullptr && currentFrame->irp == irp) {
        currentFrame->lowerReturnedPending = true;
    }
}

bool PowerRequestsSerialised()
{
    return CurrentWindowsVersion() < WindowsVersion::Vista;
}

bool RequestReached(PIRP irp, PDEVICE_OBJECT device)
{
    std::lock_guard lock(ShardOf(irp).lock);
    const std::vector<PDEVICE_OBJECT>& reached = RecordOf(irp, "RequestReached").reached;
    return std::find(reached.begin(), reached.end(), device) != reached.end();
}

unsigned FinishedCompletions(PIRP irp)
{
    Shard& shard = ShardOf(irp);
    std::lock_guard lock(shard.lock);
    auto found = shard.records.find(irp);
    return found == shard.records.end() ? 0 : found->second.finishedCompletions;
}

void ResetIrps()
{
    for (Shard& shard : shards) {
        std::lock_guard lock(shard.lock);
        for (auto& [irp, record] : shard.records) {
            ::operator delete (irp, std::align_val_t{16});
        }
        shard.records.clear();
        shard.quarantine.clear();
    }
    cancelSpinLock = 0;
}

}  // namespace sim

using namespace sim;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (Faults::ShouldFail(Fault::AllocateIrp, SIM_CALL_SITE())) {
        return nullptr;
    }
    return NewIrp(StackSize, Origin::Allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    std::lock_guard lock(ShardOf(Irp).lock);
    IrpRecord& record = RecordOf(Irp, "IoFreeIrp");
    if (record.origin != Origin::Allocated) {
        BugCheck("INVALID_IRP", "IoFreeIrp on a request the I/O manager owns", Irp);
    }
    if (record.phase == Phase::InFlight) {
        BugCheck("INVALID_IRP", "IoFreeIrp on a request that a driver has not completed yet", Irp);
    }
    if (record.phase == Phase::Freed || record.phase == Phase::Completed) {
        BugCheck("INVALID_IRP", "IoFreeIrp on a request that is already freed", Irp);
    }
    Release(Irp, record);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if (Faults::ShouldFail(Fault::BuildDeviceIoControlRequest, SIM_CALL_SITE())) {
        return nullptr;
    }
    if (Event == nullptr || IoStatusBlock == nullptr) {
        BugCheck("INVALID_PARAMETER", "IoBuildDeviceIoControlRequest without an event or a status block");
    }
    PIRP irp = NewIrp(DeviceObject->StackSize, Origin::DeviceIoControl);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (IoControlCode & 3) {
    case METHOD_BUFFERED: {
        ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length != 0) {
            irp->AssociatedIrp.SystemBuffer = Pool::AllocateForKernel(NonPagedPoolNx, length, kernelBufferTag);
            if (InputBuffer != nullptr && InputBufferLength != 0) {
                std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            }
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBuffer != nullptr ? IRP_INPUT_OPERATION : 0);
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
    case METHOD_NEITHER:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    default:
        BugCheck("SIMULATION_LIMIT", "direct-I/O control codes are not simulated in IoBuildDeviceIoControlRequest");
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    bool fromPowerManager = std::exchange(powerManagerCall, false);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
    {
        std::lock_guard lock(ShardOf(Irp).lock);
        IrpRecord& record = RecordOf(Irp, "IoCallDriver");
        if (record.phase == Phase::Completed || record.phase == Phase::Freed) {
            BugCheck("INVALID_IRP", "IoCallDriver with a request whose completion has finished", Irp);
        }
        record.phase = Phase::InFlight;
        record.reached.push_back(DeviceObject);
    }
    if (!DeviceObjectExists(DeviceObject)) {
        BugCheck("INVALID_DEVICE_OBJECT", "IoCallDriver to a device object that does not exist", DeviceObject);
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        BugCheck("NO_MORE_IRP_STACK_LOCATIONS", "IoCallDriver with no stack location left for the target", Irp);
    }
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    if (stack->MajorFunction == IRP_MJ_POWER) {
        CheckPowerDispatch(DeviceObject, Irp, fromPowerManager);
    }
    IO_STACK_LOCATION sent = *stack;
    if (Hooks().requestArriving) {
        Hooks().requestArriving(DeviceObject, Irp);
    }
    // Taken before the dispatch routine runs: once it has completed the
    // request, whoever waited for it may end the test and reset the hooks
    // while this call, on a worker thread, is still returning.
    auto dispatched = Hooks().requestDispatched;
    DispatchFrame frame{Irp, Irp->CurrentLocation, (sent.Control & SL_PENDING_RETURNED) != 0,
                        currentFrame != nullptr && currentFrame->irp == Irp ? currentFrame : nullptr};
    DispatchFrame* enclosing = std::exchange(currentFrame, &frame);
    {
        std::lock_guard lock(ShardOf(Irp).lock);
        RecordOf(Irp, "IoCallDriver").frames.push_back(&frame);
    }
    KIRQL irql = CurrentIrql();
    NTSTATUS status = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction](DeviceObject, Irp);
    if (CurrentIrql() != irql) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "a dispatch routine returned at another IRQL than it was called at",
                 DeviceObject);
    }
    currentFrame = enclosing;
    bool marked;
    bool known = true;
    {
        std::lock_guard lock(ShardOf(Irp).lock);
        // The completion walk fills the frame in under the lock.
        marked = frame.markedAtCompletion;
        if (status == STATUS_PENDING && frame.caller != nullptr) {
            frame.caller->lowerReturnedPending = true;
        }
        // A test that saw the request complete may have ended and reset the
        // requests while this call, on a worker thread, was still returning.
        auto& records = ShardOf(Irp).records;
        auto found = records.find(Irp);
        if (found != records.end()) {
            std::vector<DispatchFrame*>& frames = found->second.frames;
            frames.erase(std::find(frames.begin(), frames.end(), &frame));
            // Until the completion walk has passed a location, the request is
            // alive and the walk cannot clear the location while the lock is held.
            if (!frame.completionPassed) {
                marked = (std::atomic_ref(stack->Control).load(std::memory_order_relaxed) & SL_PENDING_RETURNED) != 0;
            }
        } else {
            known = frame.completionPassed;
        }
    }
    if (known) {
        CheckPendingReturned(frame, marked, status, DeviceObject, sent);
    }
    if (dispatched) {
        dispatched(DeviceObject, sent, status);
    }
    return status;
}

VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    {
        std::lock_guard lock(ShardOf(Irp).lock);
        IrpRecord& record = RecordOf(Irp, "IoCompleteRequest");
        if (record.phase == Phase::Completed || record.phase == Phase::Freed) {
            BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "request completed after its completion had finished", Irp);
        }
        record.phase = Phase::InFlight;
    }
    // IoCancelIrp may be exchanging the routine on another processor at
    // this moment; the field is only ever read or exchanged atomically.
    if (std::atomic_ref(Irp->CancelRoutine).load() != nullptr) {
        BugCheck("CANCEL_STATE_IN_COMPLETED_IRP", "request completed while it still has a cancel routine", Irp);
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION", "request completed with STATUS_PENDING", Irp);
    }
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "request completed with no stack location left", Irp);
    }
    if (Hooks().irpCompleting) {
        Hooks().irpCompleting(Irp);
    }

    // Walk up from the current location; each location's completion routine
    // was set by the driver above it and runs with that driver's location
    // current.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        bool invoke;
        PIO_COMPLETION_ROUTINE routine;
        PVOID context;
        {
            std::lock_guard lock(ShardOf(Irp).lock);
            Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
            NoteCompletionPassing(Irp, Irp->CurrentLocation, Irp->PendingReturned);
            invoke = ShouldInvoke(Irp, stack);
            routine = stack->CompletionRoutine;
            context = stack->Context;
            stack->MinorFunction = 0;
            stack->Flags = 0;
            stack->Control = 0;
            stack->CompletionRoutine = nullptr;
            stack->Context = nullptr;
        }
        IoSkipCurrentIrpStackLocation(Irp);
        if (invoke) {
            bool ownLocation = Irp->CurrentLocation <= Irp->StackCount;
            PDEVICE_OBJECT owner = ownLocation ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
            bool handedBack = false;
            if (!ownLocation) {
                // The top routine of a request a driver built hands the request
                // back to its owner, who may free or resend it on another
                // thread (woken by an event the routine sets) before the
                // routine returns.
                std::lock_guard lock(ShardOf(Irp).lock);
                IrpRecord& record = RecordOf(Irp, "IoCompleteRequest");
                if (record.origin == Origin::Allocated) {
                    record.phase = Phase::Stopped;
                    handedBack = true;
                }
            }
            if (routine(owner, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                if (handedBack) {
                    return;
                }
                std::lock_guard lock(ShardOf(Irp).lock);
                auto& records = ShardOf(Irp).records;
                auto found = records.find(Irp);
                if (found != records.end() && found->second.phase == Phase::InFlight) {
                    found->second.phase = Phase::Stopped;
                }
                return;
            }
            // The driver above returned STATUS_PENDING from its call down, or
            // will: only its own location, marked here, carries that upward.
            // A request the driver built itself has no location of its own.
            if (Irp->PendingReturned && ownLocation &&
                (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) == 0) {
                BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                         "a completion routine let a request that was pending below go on without marking its own "
                         "location pending (if (Irp->PendingReturned) IoMarkIrpPending(Irp))",
                         Irp);
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    Origin origin;
    std::function<void(PIRP)> onCompleted;
    {
        std::lock_guard lock(ShardOf(Irp).lock);
        IrpRecord& record = RecordOf(Irp, "IoCompleteRequest");
        record.phase = Phase::Completed;
        record.finishedCompletions++;
        origin = record.origin;
        onCompleted = record.onCompleted;
    }
    switch (origin) {
    case Origin::DeviceIoControl:
        FinishDeviceIoControl(Irp);
        break;
    case Origin::Kernel:
        onCompleted(Irp);
        break;
    case Origin::Allocated:
        BugCheck("INVALID_IRP",
                 "a request from IoAllocateIrp finished its completion; its owner must stop the completion with "
                 "STATUS_MORE_PROCESSING_REQUIRED and free it",
                 Irp);
    }
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    if (Hooks().cancelSpinLockAcquiring) {
        Hooks().cancelSpinLockAcquiring();
    }
    KeAcquireSpinLock(&cancelSpinLock, Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&cancelSpinLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    {
        std::lock_guard lock(ShardOf(Irp).lock);
        IrpRecord& record = RecordOf(Irp, "IoCancelIrp");
        if (record.phase == Phase::Freed) {
            BugCheck("INVALID_IRP", "IoCancelIrp on a request that was already freed", Irp);
        }
    }
    if (Hooks().irpCancelling) {
        Hooks().irpCancelling(Irp);
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Drivers test the flag right after setting their cancel routine,
    // without the cancel spin lock: an atomic store before the exchange
    // below lets either side see the other.
    std::atomic_ref(Irp->Cancel).store(TRUE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // The cancel routine releases the cancel spin lock itself.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

}  // extern "C"
