// Control requests on a file: DeviceIoControl, and the synchronous control
// requests the comm API sends on any handle, overlapped or not, as Windows'
// own library does with an event of its own.
#pragma once

#include <memory>

#include "kernel/io_file_objects.h"
#include "win32_api.h"

namespace sim {

// Sends a control request with its buffers described as its transfer method
// asks and, without an OVERLAPPED or on a synchronous handle, waits for it.
// With an OVERLAPPED on an overlapped handle it returns TRUE when the
// request completed at once, else FALSE with ERROR_IO_PENDING. Sets the last
// error when it fails.
BOOL ControlFile(const std::shared_ptr<OpenFile>& file, DWORD code, const void* input, DWORD inputLength, void* output,
                 DWORD outputLength, LPDWORD bytesReturned, LPOVERLAPPED overlapped);

// A synchronous control request on the file the handle stands for.
BOOL ControlSynchronously(HANDLE handle, DWORD code, const void* input, DWORD inputLength, void* output,
                          DWORD outputLength);

}  // namespace sim
