#include "dcb_mapping.h"

namespace sim {

namespace {

ULONG DtrHandshakeOf(DWORD dtrControl)
{
    switch (dtrControl) {
    case DTR_CONTROL_ENABLE:
        return SERIAL_DTR_CONTROL;
    case DTR_CONTROL_HANDSHAKE:
        return SERIAL_DTR_HANDSHAKE;
    default:
        return 0;
    }
}

ULONG RtsFlowOf(DWORD rtsControl)
{
    switch (rtsControl) {
    case RTS_CONTROL_ENABLE:
        return SERIAL_RTS_CONTROL;
    case RTS_CONTROL_HANDSHAKE:
        return SERIAL_RTS_HANDSHAKE;
    case RTS_CONTROL_TOGGLE:
        return SERIAL_TRANSMIT_TOGGLE;
    default:
        return 0;
    }
}

DWORD DtrControlOf(ULONG controlHandShake)
{
    if ((controlHandShake & SERIAL_DTR_HANDSHAKE) != 0) {
        return DTR_CONTROL_HANDSHAKE;
    }
    return (controlHandShake & SERIAL_DTR_CONTROL) != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
}

DWORD RtsControlOf(ULONG flowReplace)
{
    switch (flowReplace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
        return RTS_CONTROL_ENABLE;
    case SERIAL_RTS_HANDSHAKE:
        return RTS_CONTROL_HANDSHAKE;
    case SERIAL_TRANSMIT_TOGGLE:
        return RTS_CONTROL_TOGGLE;
    default:
        return RTS_CONTROL_DISABLE;
    }
}

bool Flag(ULONG bits, ULONG flag)
{
    return (bits & flag) != 0;
}

ULONG BitIf(DWORD flag, ULONG bit)
{
    return flag != 0 ? bit : 0;
}

}  // namespace

DCB DcbFromSerialSettings(const SerialSettings& settings)
{
    const SERIAL_HANDFLOW& handFlow = settings.handFlow;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings.baudRate.BaudRate;
    // Windows supports binary mode only.
    dcb.fBinary = 1;
    dcb.fParity = settings.lineControl.Parity != NO_PARITY;
    dcb.fOutxCtsFlow = Flag(handFlow.ControlHandShake, SERIAL_CTS_HANDSHAKE);
    dcb.fOutxDsrFlow = Flag(handFlow.ControlHandShake, SERIAL_DSR_HANDSHAKE);
    dcb.fDtrControl = DtrControlOf(handFlow.ControlHandShake) & 3;
    dcb.fDsrSensitivity = Flag(handFlow.ControlHandShake, SERIAL_DSR_SENSITIVITY);
    dcb.fTXContinueOnXoff = Flag(handFlow.FlowReplace, SERIAL_XOFF_CONTINUE);
    dcb.fOutX = Flag(handFlow.FlowReplace, SERIAL_AUTO_TRANSMIT);
    dcb.fInX = Flag(handFlow.FlowReplace, SERIAL_AUTO_RECEIVE);
    dcb.fErrorChar = Flag(handFlow.FlowReplace, SERIAL_ERROR_CHAR);
    dcb.fNull = Flag(handFlow.FlowReplace, SERIAL_NULL_STRIPPING);
    dcb.fRtsControl = RtsControlOf(handFlow.FlowReplace) & 3;
    dcb.fAbortOnError = Flag(handFlow.ControlHandShake, SERIAL_ERROR_ABORT);
    dcb.XonLim = static_cast<WORD>(handFlow.XonLimit);
    dcb.XoffLim = static_cast<WORD>(handFlow.XoffLimit);
    dcb.ByteSize = settings.lineControl.WordLength;
    dcb.Parity = settings.lineControl.Parity;
    dcb.StopBits = settings.lineControl.StopBits;
    dcb.XonChar = static_cast<char>(settings.chars.XonChar);
    dcb.XoffChar = static_cast<char>(settings.chars.XoffChar);
    dcb.ErrorChar = static_cast<char>(settings.chars.ErrorChar);
    dcb.EofChar = static_cast<char>(settings.chars.EofChar);
    dcb.EvtChar = static_cast<char>(settings.chars.EventChar);
    return dcb;
}

SerialSettings SerialSettingsFromDcb(const DCB& dcb)
{
    SerialSettings settings;
    settings.baudRate.BaudRate = dcb.BaudRate;
    settings.lineControl.StopBits = dcb.StopBits;
    settings.lineControl.Parity = dcb.Parity;
    settings.lineControl.WordLength = dcb.ByteSize;
    settings.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    settings.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    settings.chars.BreakChar = 0;
    settings.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    settings.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    settings.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
    settings.handFlow.ControlHandShake =
        DtrHandshakeOf(dcb.fDtrControl) | BitIf(dcb.fOutxCtsFlow, SERIAL_CTS_HANDSHAKE) |
        BitIf(dcb.fOutxDsrFlow, SERIAL_DSR_HANDSHAKE) | BitIf(dcb.fDsrSensitivity, SERIAL_DSR_SENSITIVITY) |
        BitIf(dcb.fAbortOnError, SERIAL_ERROR_ABORT);
    settings.handFlow.FlowReplace = RtsFlowOf(dcb.fRtsControl) | BitIf(dcb.fOutX, SERIAL_AUTO_TRANSMIT) |
                                    BitIf(dcb.fInX, SERIAL_AUTO_RECEIVE) | BitIf(dcb.fErrorChar, SERIAL_ERROR_CHAR) |
                                    BitIf(dcb.fNull, SERIAL_NULL_STRIPPING) |
                                    BitIf(dcb.fTXContinueOnXoff, SERIAL_XOFF_CONTINUE);
    settings.handFlow.XonLimit = dcb.XonLim;
    settings.handFlow.XoffLimit = dcb.XoffLim;
    return settings;
}

}  // namespace sim
