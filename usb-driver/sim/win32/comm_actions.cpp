// PurgeComm, EscapeCommFunction and TransmitCommChar: requests that act on
// the port rather than set or read its state.

#include "device_io_control.h"
#include "last_error.h"

using namespace sim;

extern "C" {

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    const ULONG mask = dwFlags;
    return ControlSynchronously(hFile, IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0);
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    DWORD code;
    switch (dwFunc) {
    case SETXOFF:
        code = IOCTL_SERIAL_SET_XOFF;
        break;
    case SETXON:
        code = IOCTL_SERIAL_SET_XON;
        break;
    case SETRTS:
        code = IOCTL_SERIAL_SET_RTS;
        break;
    case CLRRTS:
        code = IOCTL_SERIAL_CLR_RTS;
        break;
    case SETDTR:
        code = IOCTL_SERIAL_SET_DTR;
        break;
    case CLRDTR:
        code = IOCTL_SERIAL_CLR_DTR;
        break;
    case RESETDEV:
        code = IOCTL_SERIAL_RESET_DEVICE;
        break;
    case SETBREAK:
        code = IOCTL_SERIAL_SET_BREAK_ON;
        break;
    case CLRBREAK:
        code = IOCTL_SERIAL_SET_BREAK_OFF;
        break;
    default:
        return FailWithError(ERROR_INVALID_PARAMETER);
    }
    return ControlSynchronously(hFile, code, nullptr, 0, nullptr, 0);
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    const UCHAR character = static_cast<UCHAR>(cChar);
    return ControlSynchronously(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &character, sizeof character, nullptr, 0);
}

}  // extern "C"
