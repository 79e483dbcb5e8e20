// ClearCommError, GetCommModemStatus and GetCommProperties: the port's
// status and abilities as the driver reports them.

#include "device_io_control.h"

using namespace sim;

namespace {

DWORD CommErrorsOf(ULONG errors)
{
    DWORD result = 0;
    result |= (errors & SERIAL_ERROR_BREAK) != 0 ? CE_BREAK : 0;
    result |= (errors & SERIAL_ERROR_FRAMING) != 0 ? CE_FRAME : 0;
    result |= (errors & SERIAL_ERROR_OVERRUN) != 0 ? CE_OVERRUN : 0;
    result |= (errors & SERIAL_ERROR_QUEUEOVERRUN) != 0 ? CE_RXOVER : 0;
    result |= (errors & SERIAL_ERROR_PARITY) != 0 ? CE_RXPARITY : 0;
    return result;
}

COMSTAT ComStatOf(const SERIAL_STATUS& status)
{
    COMSTAT stat{};
    stat.fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    stat.fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    stat.fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    stat.fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    stat.fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    stat.fEof = status.EofReceived != 0;
    stat.fTxim = status.WaitForImmediate != 0;
    stat.cbInQue = status.AmountInInQueue;
    stat.cbOutQue = status.AmountInOutQueue;
    return stat;
}

}  // namespace

extern "C" {

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS status{};
    if (!ControlSynchronously(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)) {
        return FALSE;
    }
    if (lpErrors != nullptr) {
        *lpErrors = CommErrorsOf(status.Errors);
    }
    if (lpStat != nullptr) {
        *lpStat = ComStatOf(status);
    }
    return TRUE;
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    ULONG modemStatus = 0;
    if (!ControlSynchronously(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modemStatus, sizeof modemStatus)) {
        return FALSE;
    }
    *lpModemStat = modemStatus;
    return TRUE;
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    // COMMPROP is SERIAL_COMMPROP under Win32 names; a caller that wants the
    // provider's data past it says how long its packet is.
    DWORD length = lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED ? lpCommProp->wPacketLength : sizeof(COMMPROP);
    return ControlSynchronously(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length);
}

}  // extern "C"
