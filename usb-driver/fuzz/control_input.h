// How the control-request harness reads its input, shared with the seed
// generator. All numbers are little-endian; the input ends the operations
// when it runs out.
//
//   flags      1 byte   bit 0: the bus completes on its controller thread
//   ending     1 byte   the Ending (modulo Ending::Count)
//   operation  1 byte   the Operation (modulo Operation::Count), then its
//                       arguments below; at most MaxOperations of them
//   ...
//
// Arguments:
//   SerialControl       index (1, into SerialControlCodes), input length (1,
//                       modulo MaxSerialLength + 1), output length (1, idem),
//                       the input bytes
//   AnyControl          code (4), input length (2, modulo MaxAnyLength + 1),
//                       output length (2, idem), the input bytes
//   HoldWait            mask (4), output length (1, modulo 9)
//   CancelIo            none
//   Purge               mask (4), how (1: bit 0 set through PurgeComm)
//   WaitFromEndingThread mask (4)
//   CloseWithWaitHeld   mask (4)
//   RoundTrip           length (2, modulo MaxMessage, plus 1), extra room
//                       (1, modulo 64, plus 1), first byte of the message (1)
//   QueryStopThenCancel between (1: bit 0 set sends one SerialControl, whose
//                       arguments follow, between the query and the cancel)
//   QueryRemoveThenCancel between (1: bit 0 set tries an open between the
//                       query and the cancel, which the driver must refuse);
//                       the port, closed when the query comes, is opened
//                       again after the cancel
//   Rebalance           none
//   CommCall            call (1, modulo CommCall::Count), then its arguments:
//                       SetCommState 28 bytes of DCB, SetCommMask mask (4),
//                       EscapeCommFunction function (1), SetupComm two
//                       sizes (4 and 4), TransmitCommChar the byte (1),
//                       SetCommTimeouts 20 bytes of COMMTIMEOUTS, the others none
//   CloseAndReopen      none
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace bulkcom_fuzz::control_input {

inline constexpr size_t MaxOperations = 32;
inline constexpr size_t MaxSerialLength = 32;
inline constexpr size_t MaxAnyLength = 512;
inline constexpr size_t MaxMessage = 4096;

enum class Operation : uint8_t {
    SerialControl,
    AnyControl,
    HoldWait,
    CancelIo,
    Purge,
    WaitFromEndingThread,
    CloseWithWaitHeld,
    RoundTrip,
    QueryStopThenCancel,
    Rebalance,
    QueryRemoveThenCancel,
    CommCall,
    CloseAndReopen,
    Count,
};

enum class CommCall : uint8_t {
    GetCommState,
    SetCommState,
    SetCommMask,
    GetCommMask,
    EscapeCommFunction,
    ClearCommError,
    GetCommModemStatus,
    GetCommProperties,
    SetupComm,
    TransmitCommChar,
    GetCommTimeouts,
    SetCommTimeouts,
    WaitCommEvent,
    Count,
};

// How the port and the device end: the handle closed before an orderly
// removal; an orderly removal asked with the port open, which the
// application closes when told of it; or the device unplugged, then the
// handle closed.
enum class Ending : uint8_t {
    CloseThenRemove,
    RemoveWhileOpen,
    UnplugThenClose,
    Count,
};

// Every serial control code, those the driver serves and those it refuses.
inline constexpr ULONG SerialControlCodes[] = {
    IOCTL_SERIAL_SET_BAUD_RATE,
    IOCTL_SERIAL_SET_QUEUE_SIZE,
    IOCTL_SERIAL_SET_LINE_CONTROL,
    IOCTL_SERIAL_SET_BREAK_ON,
    IOCTL_SERIAL_SET_BREAK_OFF,
    IOCTL_SERIAL_IMMEDIATE_CHAR,
    IOCTL_SERIAL_SET_TIMEOUTS,
    IOCTL_SERIAL_GET_TIMEOUTS,
    IOCTL_SERIAL_SET_DTR,
    IOCTL_SERIAL_CLR_DTR,
    IOCTL_SERIAL_RESET_DEVICE,
    IOCTL_SERIAL_SET_RTS,
    IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_SET_XOFF,
    IOCTL_SERIAL_SET_XON,
    IOCTL_SERIAL_GET_WAIT_MASK,
    IOCTL_SERIAL_SET_WAIT_MASK,
    IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_PURGE,
    IOCTL_SERIAL_GET_BAUD_RATE,
    IOCTL_SERIAL_GET_LINE_CONTROL,
    IOCTL_SERIAL_GET_CHARS,
    IOCTL_SERIAL_SET_CHARS,
    IOCTL_SERIAL_GET_HANDFLOW,
    IOCTL_SERIAL_SET_HANDFLOW,
    IOCTL_SERIAL_GET_MODEMSTATUS,
    IOCTL_SERIAL_GET_COMMSTATUS,
    IOCTL_SERIAL_XOFF_COUNTER,
    IOCTL_SERIAL_GET_PROPERTIES,
    IOCTL_SERIAL_GET_DTRRTS,
    IOCTL_SERIAL_LSRMST_INSERT,
    IOCTL_SERIAL_CONFIG_SIZE,
    IOCTL_SERIAL_GET_COMMCONFIG,
    IOCTL_SERIAL_SET_COMMCONFIG,
    IOCTL_SERIAL_GET_STATS,
    IOCTL_SERIAL_CLEAR_STATS,
    IOCTL_SERIAL_GET_MODEM_CONTROL,
    IOCTL_SERIAL_SET_MODEM_CONTROL,
    IOCTL_SERIAL_SET_FIFO_CONTROL,
    IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION,
    IOCTL_SERIAL_SET_INTERVAL_TIMER_RESOLUTION,
};

inline constexpr size_t SerialControlCount = sizeof(SerialControlCodes) / sizeof(SerialControlCodes[0]);

}  // namespace bulkcom_fuzz::control_input
