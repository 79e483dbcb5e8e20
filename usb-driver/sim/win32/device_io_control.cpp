#include "device_io_control.h"

#include <cstring>

#include "file_calls.h"
#include "kernel/bugcheck.h"
#include "kernel/pool.h"
#include "last_error.h"
#include "status_mapping.h"

namespace sim {

namespace {

constexpr ULONG systemBufferTag = PoolTag("Sbuf");

// METHOD_BUFFERED: one system buffer of the larger length carries the input
// in and the output out; the I/O manager copies back as many bytes as the
// driver says it returned.
RequestBuffers BufferedControl(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength)
{
    if ((code & 3) != METHOD_BUFFERED) {
        BugCheck("SIMULATION_LIMIT", "only METHOD_BUFFERED control codes are simulated");
    }
    RequestBuffers buffers;
    buffers.prepare = [=](PIRP irp, IO_STACK_LOCATION& stack) {
        stack.Parameters.DeviceIoControl.IoControlCode = code;
        stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
        stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        ULONG length = inputLength > outputLength ? inputLength : outputLength;
        if (length != 0) {
            irp->AssociatedIrp.SystemBuffer = Pool::AllocateForKernel(NonPagedPoolNx, length, systemBufferTag);
            if (input != nullptr && inputLength != 0) {
                std::memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
            }
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outputLength != 0 ? IRP_INPUT_OPERATION : 0);
        }
        irp->UserBuffer = output;
    };
    buffers.finish = [outputLength](PIRP irp) {
        if (!IsErrorStatus(irp->IoStatus.Status) && (irp->Flags & IRP_INPUT_OPERATION) != 0 &&
            irp->IoStatus.Information != 0) {
            if (irp->IoStatus.Information > outputLength) {
                BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                         "a buffered control request returned more bytes than its output buffer holds", irp);
            }
            std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) {
            ExFreePool(irp->AssociatedIrp.SystemBuffer);
        }
    };
    return buffers;
}

}  // namespace

BOOL ControlFile(const std::shared_ptr<OpenFile>& file, DWORD code, const void* input, DWORD inputLength,
                 void* output, DWORD outputLength, LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    return SendForCall(file, IRP_MJ_DEVICE_CONTROL, BufferedControl(code, input, inputLength, output, outputLength),
                       bytesReturned, overlapped);
}

BOOL ControlSynchronously(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output,
                          DWORD outputLength)
{
    FileReference file = ReferenceFileByHandle(handle);
    if (!file) {
        return FailWithError(ERROR_INVALID_HANDLE);
    }
    DWORD bytes = 0;
    return ControlFile(file.File(), code, input, inputLength, output, outputLength, &bytes, nullptr);
}

}  // namespace sim

extern "C" {

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    sim::FileReference file = sim::ReferenceFileByHandle(hDevice);
    if (!file) {
        return sim::FailWithError(ERROR_INVALID_HANDLE);
    }
    // Windows documents that a request on an overlapped handle needs an
    // OVERLAPPED and fails unpredictably without one; here it fails at once.
    if (file->overlapped && lpOverlapped == nullptr) {
        return sim::FailWithError(ERROR_INVALID_PARAMETER);
    }
    return sim::ControlFile(file.File(), dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                            lpBytesReturned, lpOverlapped);
}

}  // extern "C"
