// GetOverlappedResult: the outcome the completion left in the OVERLAPPED,
// waited for on its event, or on the file when it names none.

#include <atomic>
#include <memory>

#include "handles.h"
#include "last_error.h"

using namespace sim;

extern "C" {

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    auto status = [&] {
        return static_cast<NTSTATUS>(
            static_cast<ULONG>(std::atomic_ref(lpOverlapped->Internal).load(std::memory_order_acquire)));
    };
    if (status() == STATUS_PENDING) {
        if (!bWait) {
            return FailWithError(ERROR_IO_INCOMPLETE);
        }
        if (WaitForSingleObject(lpOverlapped->hEvent != nullptr ? lpOverlapped->hEvent : hFile, INFINITE) ==
            WAIT_FAILED) {
            return FALSE;
        }
    }
    NTSTATUS result = status();
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (!NT_SUCCESS(result)) {
        return FailWithStatus(result);
    }
    return TRUE;
}

}  // extern "C"
