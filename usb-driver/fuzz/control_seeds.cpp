#include "control_seeds.h"

#include <algorithm>
#include <iterator>

#include "control_input.h"

namespace bulkcom_fuzz {

namespace {

using control_input::CommCall;
using control_input::Ending;
using control_input::Operation;

// One input, operation by operation, in the layout of control_input.h.
class ControlScript {
public:
    explicit ControlScript(Ending ending, bool controllerThread = false)
    {
        bytes_.Byte(controllerThread ? 1 : 0).Byte(static_cast<uint8_t>(ending));
    }

    ControlScript& Serial(ULONG code, const std::vector<uint8_t>& input, uint8_t outputLength)
    {
        const ULONG* begin = std::begin(control_input::SerialControlCodes);
        auto index = static_cast<uint8_t>(std::find(begin, std::end(control_input::SerialControlCodes), code) - begin);
        Op(Operation::SerialControl).Byte(index).Byte(static_cast<uint8_t>(input.size())).Byte(outputLength);
        bytes_.Bytes(input);
        return *this;
    }
    ControlScript& Any(ULONG code, const std::vector<uint8_t>& input, uint16_t outputLength)
    {
        Op(Operation::AnyControl).Long(code).Word(static_cast<uint16_t>(input.size())).Word(outputLength);
        bytes_.Bytes(input);
        return *this;
    }
    ControlScript& HoldWait(uint32_t mask, uint8_t outputLength = 4)
    {
        Op(Operation::HoldWait).Long(mask).Byte(outputLength);
        return *this;
    }
    ControlScript& CancelIo()
    {
        Op(Operation::CancelIo);
        return *this;
    }
    ControlScript& Purge(uint32_t mask, bool throughComm)
    {
        Op(Operation::Purge).Long(mask).Byte(throughComm ? 1 : 0);
        return *this;
    }
    ControlScript& WaitFromEndingThread(uint32_t mask)
    {
        Op(Operation::WaitFromEndingThread).Long(mask);
        return *this;
    }
    ControlScript& CloseWithWaitHeld(uint32_t mask)
    {
        Op(Operation::CloseWithWaitHeld).Long(mask);
        return *this;
    }
    ControlScript& RoundTrip(uint16_t length, uint8_t extra = 0, uint8_t first = 1)
    {
        Op(Operation::RoundTrip).Word(static_cast<uint16_t>(length - 1)).Byte(extra).Byte(first);
        return *this;
    }
    ControlScript& QueryThenCancel(Operation which)
    {
        Op(which).Byte(0);
        return *this;
    }
    // A query-remove, an open it makes the driver refuse, then the cancel.
    ControlScript& QueryRemoveOpenCancel()
    {
        Op(Operation::QueryRemoveThenCancel).Byte(1);
        return *this;
    }
    // A query-stop, a serial control request, then the cancel.
    ControlScript& QueryStopControlCancel(ULONG code, const std::vector<uint8_t>& input, uint8_t outputLength)
    {
        Op(Operation::QueryStopThenCancel).Byte(1);
        const ULONG* begin = std::begin(control_input::SerialControlCodes);
        auto index = static_cast<uint8_t>(std::find(begin, std::end(control_input::SerialControlCodes), code) - begin);
        bytes_.Byte(index).Byte(static_cast<uint8_t>(input.size())).Byte(outputLength).Bytes(input);
        return *this;
    }
    ControlScript& Rebalance()
    {
        Op(Operation::Rebalance);
        return *this;
    }
    ControlScript& Comm(CommCall call, const std::vector<uint8_t>& arguments = {})
    {
        Op(Operation::CommCall).Byte(static_cast<uint8_t>(call)).Bytes(arguments);
        return *this;
    }
    ControlScript& CloseAndReopen()
    {
        Op(Operation::CloseAndReopen);
        return *this;
    }

    Seed Named(std::string name) const { return Seed{std::move(name), bytes_.Get()}; }

private:
    SeedBytes& Op(Operation operation) { return bytes_.Byte(static_cast<uint8_t>(operation)); }

    SeedBytes bytes_;
};

std::vector<uint8_t> Filled(size_t length, uint8_t value)
{
    return std::vector<uint8_t>(length, value);
}

std::vector<uint8_t> Le32(uint32_t value)
{
    return SeedBytes().Long(value).Get();
}

constexpr uint32_t AllEvents = 0x1FFF;
// FILE_READ_ACCESS, in a control code's access bits.
constexpr ULONG ReadAccess = 1;

}  // namespace

std::vector<Seed> ControlSeeds()
{
    std::vector<Seed> seeds;
    seeds.push_back(ControlScript(Ending::CloseThenRemove).Named("open-close-remove"));
    seeds.push_back(ControlScript(Ending::RemoveWhileOpen, true).Named("open-remove-close-controller-thread"));
    seeds.push_back(ControlScript(Ending::UnplugThenClose).Named("open-unplug-close"));

    seeds.push_back(ControlScript(Ending::CloseThenRemove)
                        .Serial(IOCTL_SERIAL_SET_BAUD_RATE, Le32(115200), 0)
                        .Serial(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4)
                        .Serial(IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0, 8}, 0)
                        .Serial(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3)
                        .Serial(IOCTL_SERIAL_SET_TIMEOUTS, Filled(20, 0), 0)
                        .Serial(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20)
                        .Serial(IOCTL_SERIAL_SET_CHARS, {0, 0, 0, 0, 0x11, 0x13}, 0)
                        .Serial(IOCTL_SERIAL_GET_CHARS, {}, 6)
                        .Serial(IOCTL_SERIAL_SET_HANDFLOW, Filled(16, 1), 0)
                        .Serial(IOCTL_SERIAL_GET_HANDFLOW, {}, 16)
                        .Serial(IOCTL_SERIAL_SET_WAIT_MASK, Le32(AllEvents), 0)
                        .Serial(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4)
                        .Named("serial-settings-set-and-read-back"));
    seeds.push_back(ControlScript(Ending::CloseThenRemove)
                        .Serial(IOCTL_SERIAL_SET_DTR, {}, 0)
                        .Serial(IOCTL_SERIAL_SET_RTS, {}, 0)
                        .Serial(IOCTL_SERIAL_GET_DTRRTS, {}, 4)
                        .Serial(IOCTL_SERIAL_CLR_DTR, {}, 0)
                        .Serial(IOCTL_SERIAL_CLR_RTS, Le32(1), 0)
                        .Serial(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4)
                        .Serial(IOCTL_SERIAL_GET_COMMSTATUS, {}, 18)
                        .Serial(IOCTL_SERIAL_GET_PROPERTIES, {}, 32)
                        .Serial(IOCTL_SERIAL_CONFIG_SIZE, {}, 4)
                        .Serial(IOCTL_SERIAL_SET_QUEUE_SIZE, Filled(8, 0), 0)
                        .Serial(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x41}, 0)
                        .Serial(IOCTL_SERIAL_XOFF_COUNTER, Filled(8, 2), 0)
                        .Serial(IOCTL_SERIAL_SET_MODEM_CONTROL, Le32(3), 0)
                        .Serial(IOCTL_SERIAL_SET_BREAK_ON, {}, 0)
                        .Serial(IOCTL_SERIAL_SET_BREAK_OFF, {}, 0)
                        .Serial(IOCTL_SERIAL_SET_XOFF, {}, 0)
                        .Serial(IOCTL_SERIAL_SET_XON, {}, 0)
                        .Serial(IOCTL_SERIAL_RESET_DEVICE, {}, 0)
                        .Named("serial-lines-status-and-accepted"));
    seeds.push_back(ControlScript(Ending::CloseThenRemove)
                        .Serial(IOCTL_SERIAL_LSRMST_INSERT, {1}, 0)
                        .Serial(IOCTL_SERIAL_GET_COMMCONFIG, {}, 32)
                        .Serial(IOCTL_SERIAL_SET_COMMCONFIG, Filled(32, 7), 0)
                        .Serial(IOCTL_SERIAL_GET_STATS, {}, 16)
                        .Serial(IOCTL_SERIAL_CLEAR_STATS, {}, 0)
                        .Serial(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4)
                        .Serial(IOCTL_SERIAL_SET_FIFO_CONTROL, Le32(1), 0)
                        .Serial(IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION, {}, 0)
                        .Serial(IOCTL_SERIAL_SET_INTERVAL_TIMER_RESOLUTION, Le32(1), 0)
                        .Serial(IOCTL_SERIAL_SET_BAUD_RATE, Le32(9600), 4)
                        .Serial(IOCTL_SERIAL_SET_BAUD_RATE, {0, 1, 2}, 0)
                        .Serial(IOCTL_SERIAL_GET_BAUD_RATE, {}, 3)
                        .Serial(IOCTL_SERIAL_GET_PROPERTIES, {}, 31)
                        .Named("serial-refused-codes-and-sizes"));

    // METHOD_BUFFERED, METHOD_IN_DIRECT, METHOD_OUT_DIRECT and METHOD_NEITHER.
    for (ULONG method = 0; method < 4; method++) {
        std::string name = "any-control-method-" + std::to_string(method);
        seeds.push_back(ControlScript(Ending::CloseThenRemove)
                            .Any(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, method, FILE_ANY_ACCESS), Le32(9600), 0)
                            .Any(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, method, FILE_ANY_ACCESS), Filled(16, 3), 16)
                            .Any(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 6, method, ReadAccess), {}, 512)
                            .Any(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 18, method, FILE_ANY_ACCESS), Le32(1), 4)
                            .Named(name));
    }

    seeds.push_back(
        ControlScript(Ending::CloseThenRemove).HoldWait(AllEvents).CancelIo().Named("wait-ended-by-cancelio"));
    seeds.push_back(
        ControlScript(Ending::CloseThenRemove).HoldWait(1, 0).Purge(0xF, false).Named("wait-ended-by-purge"));
    seeds.push_back(
        ControlScript(Ending::CloseThenRemove, true).HoldWait(1, 8).Purge(0, true).Named("wait-ended-by-purgecomm"));
    seeds.push_back(ControlScript(Ending::CloseThenRemove).WaitFromEndingThread(1).Named("wait-ended-by-thread-end"));
    seeds.push_back(ControlScript(Ending::RemoveWhileOpen, true)
                        .WaitFromEndingThread(AllEvents)
                        .Named("wait-ended-by-thread-end-controller-thread"));
    seeds.push_back(ControlScript(Ending::CloseThenRemove).CloseWithWaitHeld(1).Named("wait-held-at-close"));
    seeds.push_back(ControlScript(Ending::CloseThenRemove).HoldWait(1).Named("wait-held-at-close-then-removal"));
    seeds.push_back(ControlScript(Ending::RemoveWhileOpen).HoldWait(1).Named("wait-held-at-removal"));
    seeds.push_back(ControlScript(Ending::UnplugThenClose).HoldWait(1).Named("wait-held-at-unplug"));
    seeds.push_back(
        ControlScript(Ending::CloseThenRemove).HoldWait(1).HoldWait(2).Purge(0, false).Named("second-wait-refused"));
    seeds.push_back(ControlScript(Ending::CloseThenRemove)
                        .Serial(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4)
                        .Serial(IOCTL_SERIAL_WAIT_ON_MASK, {1, 0, 0}, 4)
                        .Serial(IOCTL_SERIAL_WAIT_ON_MASK, {1, 0, 0, 0, 0}, 4)
                        .Serial(IOCTL_SERIAL_PURGE, {}, 0)
                        .Serial(IOCTL_SERIAL_PURGE, {1, 0, 0}, 0)
                        .Named("wait-and-purge-wrong-sizes"));

    for (bool controllerThread : {false, true}) {
        ControlScript script(Ending::CloseThenRemove, controllerThread);
        for (uint16_t length : {uint16_t{1}, uint16_t{63}, uint16_t{64}, uint16_t{65}, uint16_t{512}, uint16_t{4096}}) {
            script.RoundTrip(length, static_cast<uint8_t>(length % 7), static_cast<uint8_t>(length));
        }
        seeds.push_back(script.Named(controllerThread ? "round-trips-controller-thread" : "round-trips"));
    }
    seeds.push_back(ControlScript(Ending::CloseThenRemove)
                        .Serial(IOCTL_SERIAL_SET_TIMEOUTS, Filled(20, 0xFF), 0)
                        .RoundTrip(100)
                        .Named("round-trip-after-maximal-timeouts"));

    seeds.push_back(ControlScript(Ending::CloseThenRemove)
                        .QueryThenCancel(Operation::QueryStopThenCancel)
                        .QueryStopControlCancel(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4)
                        .RoundTrip(10)
                        .Named("query-stop-then-cancel"));
    seeds.push_back(ControlScript(Ending::RemoveWhileOpen)
                        .QueryThenCancel(Operation::QueryRemoveThenCancel)
                        .QueryRemoveOpenCancel()
                        .RoundTrip(10)
                        .Named("query-remove-then-cancel"));
    seeds.push_back(ControlScript(Ending::CloseThenRemove, true)
                        .HoldWait(1)
                        .Rebalance()
                        .RoundTrip(64)
                        .Purge(0, false)
                        .Named("rebalance-with-wait-held"));

    std::vector<uint8_t> dcb = SeedBytes().Long(28).Long(9600).Long(0x1).Word(0).Word(0).Word(0).Bytes({8, 0, 0}).Get();
    dcb.resize(28, 0);
    seeds.push_back(ControlScript(Ending::CloseThenRemove)
                        .Comm(CommCall::GetCommState)
                        .Comm(CommCall::SetCommState, dcb)
                        .Comm(CommCall::SetCommMask, Le32(AllEvents))
                        .Comm(CommCall::GetCommMask)
                        .Comm(CommCall::EscapeCommFunction, {5})
                        .Comm(CommCall::ClearCommError)
                        .Comm(CommCall::GetCommModemStatus)
                        .Comm(CommCall::GetCommProperties)
                        .Comm(CommCall::SetupComm, SeedBytes().Long(4096).Long(4096).Get())
                        .Comm(CommCall::TransmitCommChar, {0x41})
                        .Comm(CommCall::GetCommTimeouts)
                        .Comm(CommCall::SetCommTimeouts, Filled(20, 0))
                        .Comm(CommCall::WaitCommEvent)
                        .Named("comm-calls"));
    seeds.push_back(ControlScript(Ending::CloseThenRemove)
                        .Serial(IOCTL_SERIAL_SET_BAUD_RATE, Le32(57600), 0)
                        .CloseAndReopen()
                        .Serial(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20)
                        .Serial(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4)
                        .Named("close-and-reopen"));
    return seeds;
}

}  // namespace bulkcom_fuzz
