// Opening a device for an application, as the I/O manager carries it out:
// the name resolved through the object namespace to the top of the device's
// stack, a file object for the open, and a create request on it.

#include <memory>
#include <string>

#include "device_objects.h"
#include "io_file_objects.h"
#include "io_file_requests.h"
#include "object_namespace.h"

namespace sim {

namespace {

constexpr ULONG FILE_OPEN = 1;

// Windows lets no open through to a stack a bus enumerated until its start
// request succeeded, nor once its remove request came; a device outside
// Plug and Play, such as a driver's control device, opens at any time.
bool StackTakesOpens(PDEVICE_OBJECT named)
{
    const _DEVOBJ_EXTENSION& base = KernelExtensionOf(BaseDeviceOf(named));
    return base.InstanceId.empty() || base.Started;
}

}  // namespace

NTSTATUS OpenDeviceFile(std::u16string_view ntPath, ULONG shareAccess, bool overlapped,
                        std::shared_ptr<OpenFile>* opened)
{
    NTSTATUS status;
    std::u16string remainder;
    PDEVICE_OBJECT named = Namespace::Resolve(ntPath, &remainder, &status);
    if (named == nullptr) {
        return status;
    }
    if ((named->Flags & DO_DEVICE_INITIALIZING) != 0 || KernelExtensionOf(named).Deleted || !StackTakesOpens(named)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    auto file = std::make_shared<OpenFile>();
    file->namedDevice = named;
    file->targetDevice = AttachedDeviceOf(named);
    file->overlapped = overlapped;
    file->fileObject.Type = 5;
    file->fileObject.Size = sizeof(FILE_OBJECT);
    file->fileObject.DeviceObject = named;
    file->fileObject.Flags = file->overlapped ? 0 : FO_SYNCHRONOUS_IO;
    // As on Windows, the driver sees the rest of the path (\\.\COM5\extra
    // gives \extra) and an empty name for the device itself.
    file->fileName = remainder;
    if (!file->fileName.empty()) {
        file->fileObject.FileName.Buffer = file->fileName.data();
        file->fileObject.FileName.Length = static_cast<USHORT>(file->fileName.size() * sizeof(WCHAR));
        file->fileObject.FileName.MaximumLength = file->fileObject.FileName.Length;
    }
    KeInitializeEvent(&file->event, NotificationEvent, FALSE);
    KeInitializeEvent(&file->callLock, SynchronizationEvent, TRUE);
    ReferenceDevice(file->namedDevice);
    ReferenceDevice(file->targetDevice);

    RequestBuffers create;
    create.prepare = [shareAccess](PIRP, IO_STACK_LOCATION& stack) {
        stack.Parameters.Create.Options = FILE_OPEN << 24;
        stack.Parameters.Create.ShareAccess = static_cast<USHORT>(shareAccess);
        stack.Parameters.Create.FileAttributes = 0;
    };
    status = SendFileRequest(file, IRP_MJ_CREATE, create, nullptr);
    if (!NT_SUCCESS(status)) {
        // A failed open gets neither cleanup nor close.
        ReleaseFileDevices(*file);
        return status;
    }
    MarkFileOpened(*file);
    *opened = std::move(file);
    return status;
}

}  // namespace sim
