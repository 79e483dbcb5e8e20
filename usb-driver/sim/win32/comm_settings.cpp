// GetCommTimeouts, SetCommTimeouts and SetupComm. COMMTIMEOUTS and
// SERIAL_TIMEOUTS hold the same five values.

#include "device_io_control.h"

using namespace sim;

extern "C" {

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    SERIAL_TIMEOUTS timeouts{};
    if (!ControlSynchronously(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, sizeof timeouts)) {
        return FALSE;
    }
    *lpCommTimeouts = COMMTIMEOUTS{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                                   timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                                   timeouts.WriteTotalTimeoutConstant};
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    const SERIAL_TIMEOUTS timeouts{lpCommTimeouts->ReadIntervalTimeout, lpCommTimeouts->ReadTotalTimeoutMultiplier,
                                   lpCommTimeouts->ReadTotalTimeoutConstant,
                                   lpCommTimeouts->WriteTotalTimeoutMultiplier,
                                   lpCommTimeouts->WriteTotalTimeoutConstant};
    return ControlSynchronously(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    const SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
    return ControlSynchronously(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes, nullptr, 0);
}

}  // extern "C"
