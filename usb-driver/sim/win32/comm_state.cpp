// GetCommState and SetCommState: a DCB read from and written to the driver
// as four serial records, plus the DTR and RTS lines SetCommState sets.

#include "dcb_mapping.h"
#include "device_io_control.h"

using namespace sim;

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    // Any failure fails the call and leaves the DCB as it was.
    SerialSettings settings;
    if (!ControlSynchronously(hFile, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &settings.baudRate,
                              sizeof settings.baudRate) ||
        !ControlSynchronously(hFile, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &settings.lineControl,
                              sizeof settings.lineControl) ||
        !ControlSynchronously(hFile, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &settings.chars, sizeof settings.chars) ||
        !ControlSynchronously(hFile, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &settings.handFlow,
                              sizeof settings.handFlow)) {
        return FALSE;
    }
    *lpDCB = DcbFromSerialSettings(settings);
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    const SerialSettings settings = SerialSettingsFromDcb(*lpDCB);
    auto line = [hFile](DWORD code) { return ControlSynchronously(hFile, code, nullptr, 0, nullptr, 0); };
    if (!ControlSynchronously(hFile, IOCTL_SERIAL_SET_BAUD_RATE, &settings.baudRate, sizeof settings.baudRate, nullptr,
                              0)) {
        return FALSE;
    }
    // The lines are set or cleared only for the fixed settings; under
    // handshake or toggle control the driver drives them.
    if (lpDCB->fRtsControl == RTS_CONTROL_ENABLE && !line(IOCTL_SERIAL_SET_RTS)) {
        return FALSE;
    }
    if (lpDCB->fRtsControl == RTS_CONTROL_DISABLE && !line(IOCTL_SERIAL_CLR_RTS)) {
        return FALSE;
    }
    if (lpDCB->fDtrControl == DTR_CONTROL_ENABLE && !line(IOCTL_SERIAL_SET_DTR)) {
        return FALSE;
    }
    if (lpDCB->fDtrControl == DTR_CONTROL_DISABLE && !line(IOCTL_SERIAL_CLR_DTR)) {
        return FALSE;
    }
    return ControlSynchronously(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, &settings.lineControl,
                                sizeof settings.lineControl, nullptr, 0) &&
           ControlSynchronously(hFile, IOCTL_SERIAL_SET_CHARS, &settings.chars, sizeof settings.chars, nullptr, 0) &&
           ControlSynchronously(hFile, IOCTL_SERIAL_SET_HANDFLOW, &settings.handFlow, sizeof settings.handFlow, nullptr,
                                0);
}

}  // extern "C"
