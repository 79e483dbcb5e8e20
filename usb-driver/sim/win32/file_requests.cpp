#include <memory>

#include "kernel/device_objects.h"
#include "kernel/irp.h"
#include "kernel/irql.h"
#include "open_files.h"

namespace sim {

NTSTATUS SendFileRequest(const std::shared_ptr<OpenFile>& file, UCHAR majorFunction,
                         const std::function<void(PIRP, IO_STACK_LOCATION&)>& prepare,
                         const std::function<void(PIRP)>& finish, ULONG_PTR* information)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "an application request");
    struct Outcome {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        IO_STATUS_BLOCK status{};
    };
    auto outcome = std::make_shared<Outcome>();
    {
        std::lock_guard lock(file->lock);
        file->pendingRequests++;
    }
    PIRP irp = AllocateKernelIrp(file->targetDevice->StackSize, [file, outcome, finish](PIRP completed) {
        if (finish) {
            finish(completed);
        }
        std::lock_guard lock(outcome->lock);
        outcome->status = completed->IoStatus;
        FreeKernelIrp(completed);
        {
            std::lock_guard fileLock(file->lock);
            file->pendingRequests--;
        }
        file->changed.notify_all();
        outcome->finished = true;
        outcome->done.notify_all();
    });
    irp->Tail.Overlay.OriginalFileObject = &file->fileObject;
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = majorFunction;
    stack->FileObject = &file->fileObject;
    if (prepare) {
        prepare(irp, *stack);
    }
    IofCallDriver(file->targetDevice, irp);

    std::unique_lock lock(outcome->lock);
    outcome->done.wait(lock, [&] { return outcome->finished; });
    if (information != nullptr) {
        *information = outcome->status.Information;
    }
    return outcome->status.Status;
}

}  // namespace sim
