// A DCB and the four serial records that carry the same state to and from
// the driver: baud rate, line control, special characters and handshake.
#pragma once

#include "platform/platform.h"
#include "win32_api.h"

namespace sim {

struct SerialSettings {
    SERIAL_BAUD_RATE baudRate{};
    SERIAL_LINE_CONTROL lineControl{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handFlow{};
};

// What GetCommState reports for the driver's records.
DCB DcbFromSerialSettings(const SerialSettings& settings);

// What SetCommState sends for a DCB. The DCB has no break character, so
// BreakChar is 0.
SerialSettings SerialSettingsFromDcb(const DCB& dcb);

}  // namespace sim
