#include "io_direct_io.h"

#include "bugcheck.h"
#include "pool.h"
#include "status_names.h"

namespace sim {

namespace {

constexpr ULONG descriptorTag = PoolTag("Mdl ");
constexpr ULONG_PTR pageSize = 4096;

}  // namespace

// The page-aligned base, the offset into the first page, the length, and
// after the header one page frame number per page spanned. Host memory is
// one address space, so a page's frame number is its virtual page number.
PMDL DescribeLockedBuffer(PVOID buffer, ULONG length)
{
    auto address = reinterpret_cast<ULONG_PTR>(buffer);
    ULONG_PTR base = address & ~(pageSize - 1);
    ULONG_PTR pages = (address - base + length + pageSize - 1) / pageSize;
    SIZE_T size = sizeof(MDL) + pages * sizeof(ULONG_PTR);
    auto* mdl = static_cast<PMDL>(Pool::AllocateForKernel(NonPagedPoolNx, size, descriptorTag));
    mdl->Next = nullptr;
    mdl->Size = static_cast<CSHORT>(size);
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = reinterpret_cast<PVOID>(base);
    mdl->ByteCount = length;
    mdl->ByteOffset = static_cast<ULONG>(address - base);
    auto* frames = reinterpret_cast<ULONG_PTR*>(mdl + 1);
    for (ULONG_PTR page = 0; page < pages; page++) {
        frames[page] = base / pageSize + page;
    }
    return mdl;
}

void ReleaseLockedBuffers(PIRP irp)
{
    while (PMDL mdl = irp->MdlAddress) {
        irp->MdlAddress = mdl->Next;
        ExFreePool(mdl);
    }
}

RequestBuffers DirectIoBuffers(UCHAR majorFunction, PVOID buffer, ULONG length, LONGLONG byteOffset)
{
    RequestBuffers buffers;
    buffers.prepare = [=](PIRP irp, IO_STACK_LOCATION& stack) {
        if (majorFunction == IRP_MJ_READ) {
            stack.Parameters.Read.Length = length;
            stack.Parameters.Read.ByteOffset.QuadPart = byteOffset;
        } else {
            stack.Parameters.Write.Length = length;
            stack.Parameters.Write.ByteOffset.QuadPart = byteOffset;
        }
        irp->MdlAddress = length != 0 ? DescribeLockedBuffer(buffer, length) : nullptr;
    };
    buffers.finish = [length](PIRP irp) {
        if (!IsErrorStatus(irp->IoStatus.Status) && irp->IoStatus.Information > length) {
            BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                     "a read or write reported more bytes than the caller's buffer holds", irp);
        }
        ReleaseLockedBuffers(irp);
    };
    return buffers;
}

}  // namespace sim
