// The buffers of a control request, as the I/O manager describes them for
// each transfer method of the control code (its two low bits):
//   METHOD_BUFFERED    one system buffer of the larger length carries the
//                      input in and the output out;
//   METHOD_IN_DIRECT,  the input in a system buffer of its own length, the
//   METHOD_OUT_DIRECT  output buffer described by a memory descriptor that
//                      the device reads from (IN) or writes into (OUT);
//   METHOD_NEITHER     the caller's own addresses: the input at
//                      Parameters.DeviceIoControl.Type3InputBuffer, the
//                      output at Irp->UserBuffer.
// A system buffer and a descriptor belong to the I/O manager, which frees
// them once the request's completion has run.
#pragma once

#include "io_file_requests.h"
#include "win32/win32_api.h"

namespace sim {

RequestBuffers ControlBuffers(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength);

}  // namespace sim
