// Direct I/O, as the I/O manager sets up a read or write for a device with
// DO_DIRECT_IO: the caller's buffer described by a memory descriptor whose
// pages are locked but not mapped to system space, and no descriptor at all
// for a zero-length request. The descriptor belongs to the I/O manager,
// which frees it once the request's completion has run. Control requests
// of the direct transfer methods describe their output buffer the same way.
#pragma once

#include "io_file_requests.h"

namespace sim {

// What IoAllocateMdl and MmProbeAndLockPages leave for length bytes at
// buffer (length not 0).
PMDL DescribeLockedBuffer(PVOID buffer, ULONG length);

// Unlocks the pages of every descriptor on the request and frees them,
// which also ends any system-space mapping of them.
void ReleaseLockedBuffers(PIRP irp);

// The buffers of an IRP_MJ_READ or IRP_MJ_WRITE of length bytes at buffer,
// at the file position byteOffset.
RequestBuffers DirectIoBuffers(UCHAR majorFunction, PVOID buffer, ULONG length, LONGLONG byteOffset);

}  // namespace sim
