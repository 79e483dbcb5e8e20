// How a Win32 call that sends a request on a file returns: without an
// OVERLAPPED, or on a synchronous handle, once the request has completed;
// with an OVERLAPPED on an overlapped handle at once, TRUE when the request
// completed at once, else FALSE with ERROR_IO_PENDING. Any call that sends
// a request with buffers of its own returns this way, and on a synchronous
// handle waits first for the call of another thread to end.
#pragma once

#include <memory>

#include "kernel/io_file_objects.h"
#include "kernel/io_file_requests.h"
#include "win32_api.h"

namespace sim {

// Sends the request and returns what the call returns, with the last error
// set when it fails. bytesTransferred receives the byte count when the call
// knows it; the OVERLAPPED's event, or the file when it names none, is
// signalled at completion.
BOOL SendForCall(const std::shared_ptr<OpenFile>& file, UCHAR majorFunction, const RequestBuffers& buffers,
                 LPDWORD bytesTransferred, LPOVERLAPPED overlapped);

}  // namespace sim
