#include "io_control_buffers.h"

#include <cstring>

#include "bugcheck.h"
#include "io_direct_io.h"
#include "pool.h"
#include "status_names.h"

namespace sim {

namespace {

constexpr ULONG systemBufferTag = PoolTag("Sbuf");

void DescribeLengths(IO_STACK_LOCATION& stack, DWORD code, DWORD inputLength, DWORD outputLength)
{
    stack.Parameters.DeviceIoControl.IoControlCode = code;
    stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
}

// A system buffer of length bytes starting with a copy of the input; the
// request frees it with itself.
void AttachSystemBuffer(PIRP irp, ULONG length, const void* input, DWORD inputLength)
{
    irp->AssociatedIrp.SystemBuffer = Pool::AllocateForKernel(NonPagedPoolNx, length, systemBufferTag);
    if (input != nullptr && inputLength != 0) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
    }
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
}

void FreeSystemBuffer(PIRP irp)
{
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0) {
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
    }
}

// The I/O manager copies back as many bytes as the driver says it returned.
RequestBuffers Buffered(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength)
{
    RequestBuffers buffers;
    buffers.prepare = [=](PIRP irp, IO_STACK_LOCATION& stack) {
        DescribeLengths(stack, code, inputLength, outputLength);
        ULONG length = inputLength > outputLength ? inputLength : outputLength;
        if (length != 0) {
            AttachSystemBuffer(irp, length, input, inputLength);
            if (outputLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
            }
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
        FreeSystemBuffer(irp);
    };
    return buffers;
}

// The driver reads or writes the output buffer itself, through the
// descriptor: nothing is copied back.
RequestBuffers Direct(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength)
{
    RequestBuffers buffers;
    buffers.prepare = [=](PIRP irp, IO_STACK_LOCATION& stack) {
        DescribeLengths(stack, code, inputLength, outputLength);
        if (inputLength != 0) {
            AttachSystemBuffer(irp, inputLength, input, inputLength);
        }
        irp->MdlAddress = outputLength != 0 ? DescribeLockedBuffer(output, outputLength) : nullptr;
        irp->UserBuffer = output;
    };
    buffers.finish = [outputLength](PIRP irp) {
        if (!IsErrorStatus(irp->IoStatus.Status) && irp->IoStatus.Information > outputLength) {
            BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                     "a direct control request returned more bytes than its output buffer holds", irp);
        }
        ReleaseLockedBuffers(irp);
        FreeSystemBuffer(irp);
    };
    return buffers;
}

// Nothing is probed, copied or described: the driver gets the caller's
// addresses, valid only in the caller's thread, and the byte count it
// returns goes to the caller as it is.
RequestBuffers Neither(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength)
{
    RequestBuffers buffers;
    buffers.prepare = [=](PIRP irp, IO_STACK_LOCATION& stack) {
        DescribeLengths(stack, code, inputLength, outputLength);
        stack.Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        irp->UserBuffer = output;
    };
    return buffers;
}

}  // namespace

RequestBuffers ControlBuffers(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength)
{
    switch (code & 3) {
    case METHOD_BUFFERED:
        return Buffered(code, input, inputLength, output, outputLength);
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        return Direct(code, input, inputLength, output, outputLength);
    default:
        return Neither(code, input, inputLength, output, outputLength);
    }
}

}  // namespace sim
