/*++

Module Name:

    pending_wait.cpp

Abstract:

    Completion of the one wait-on-mask request the driver may hold. Close,
    purge and removal all complete it and share no lock, so the request is
    taken out of the extension atomically: whoever takes it completes it,
    exactly once.

Environment:

    Kernel mode, up to DISPATCH_LEVEL.

--*/

#include "serial/serial.h"

_Use_decl_annotations_
void CompletePendingWait(PDEVICE_OBJECT DeviceObject, NTSTATUS Status)
{
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);
    auto irp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&extension->PendingWaitIrp), nullptr));
    if (irp == nullptr) {
        return;
    }
    // Information stays 0, as set when the request was held: no event mask.
    irp->IoStatus.Status = Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}
