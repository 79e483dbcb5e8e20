// GetCommState and SetCommState: the requests each sends, in order, with
// their lengths and records, and the mapping between a DCB and the baud
// rate, line control, characters and handshake records, both ways.

#include <cstring>

#include "sim/support/win32_comm_port.h"

namespace bulkcom_test {
namespace {

using Win32CommStateTest = Win32CommTest;

// A DCB whose every mapped member is set, to values that tell them apart.
DCB SampleDcb()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 57600;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\n';
    dcb.XonLim = 512;
    dcb.XoffLim = 1024;
    return dcb;
}

TEST_F(Win32CommStateTest, GetCommStateAsksForBaudRateLineControlCharsAndHandflowInThatOrder)
{
    Reply(IOCTL_SERIAL_GET_BAUD_RATE, SERIAL_BAUD_RATE{38400});
    Reply(IOCTL_SERIAL_GET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_1_5, MARK_PARITY, 6});
    Reply(IOCTL_SERIAL_GET_CHARS, SERIAL_CHARS{0x1A, '#', 0x7F, '!', 0x11, 0x13});
    Reply(IOCTL_SERIAL_GET_HANDFLOW, SERIAL_HANDFLOW{0, 0, 2048, 4096});
    DCB dcb;
    std::memset(&dcb, 0xEE, sizeof dcb);

    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(Codes(), (std::vector<DWORD>{IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                                           IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW}));
    const ULONG outputs[] = {4, 3, 6, 16};
    for (size_t i = 0; i < requests_.size(); i++) {
        EXPECT_EQ(requests_[i].inputLength, 0u);
        EXPECT_EQ(requests_[i].outputLength, outputs[i]);
    }
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 1u) << "parity other than none";
    EXPECT_EQ(dcb.ByteSize, 6);
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_EQ(dcb.ErrorChar, '#');
    EXPECT_EQ(dcb.EvtChar, '!');
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.XonLim, 2048);
    EXPECT_EQ(dcb.XoffLim, 4096);
    EXPECT_EQ(dcb.fDummy2, 0u);
    EXPECT_EQ(dcb.wReserved, 0);
    EXPECT_EQ(dcb.wReserved1, 0);
}

TEST_F(Win32CommStateTest, GetCommStateReadsEveryHandflowBitIntoItsDcbMember)
{
    struct Case {
        ULONG controlHandShake;
        ULONG flowReplace;
        DWORD expected[12];  // the members below, in their order
    };
    // fOutxCtsFlow, fOutxDsrFlow, fDtrControl, fDsrSensitivity,
    // fTXContinueOnXoff, fOutX, fInX, fErrorChar, fNull, fRtsControl,
    // fAbortOnError, fParity
    const Case cases[] = {
        {0, 0, {0, 0, DTR_CONTROL_DISABLE, 0, 0, 0, 0, 0, 0, RTS_CONTROL_DISABLE, 0, 0}},
        {SERIAL_CTS_HANDSHAKE | SERIAL_DTR_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT,
         SERIAL_AUTO_RECEIVE | SERIAL_NULL_STRIPPING | SERIAL_RTS_HANDSHAKE | SERIAL_XOFF_CONTINUE,
         {1, 0, DTR_CONTROL_HANDSHAKE, 1, 1, 0, 1, 0, 1, RTS_CONTROL_HANDSHAKE, 1, 0}},
        {SERIAL_DSR_HANDSHAKE | SERIAL_DTR_CONTROL,
         SERIAL_AUTO_TRANSMIT | SERIAL_ERROR_CHAR | SERIAL_RTS_CONTROL,
         {0, 1, DTR_CONTROL_ENABLE, 0, 0, 1, 0, 1, 0, RTS_CONTROL_ENABLE, 0, 0}},
        {0, SERIAL_TRANSMIT_TOGGLE, {0, 0, DTR_CONTROL_DISABLE, 0, 0, 0, 0, 0, 0, RTS_CONTROL_TOGGLE, 0, 0}},
    };
    Reply(IOCTL_SERIAL_GET_BAUD_RATE, SERIAL_BAUD_RATE{9600});
    Reply(IOCTL_SERIAL_GET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8});
    Reply(IOCTL_SERIAL_GET_CHARS, SERIAL_CHARS{});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "handshake " << c.controlHandShake << ", flow " << c.flowReplace);
        Reply(IOCTL_SERIAL_GET_HANDFLOW, SERIAL_HANDFLOW{c.controlHandShake, c.flowReplace, 0, 0});
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port_, &dcb));
        const DWORD seen[] = {
            dcb.fOutxCtsFlow,  dcb.fOutxDsrFlow, dcb.fDtrControl, dcb.fDsrSensitivity, dcb.fTXContinueOnXoff,
            dcb.fOutX,         dcb.fInX,         dcb.fErrorChar,  dcb.fNull,           dcb.fRtsControl,
            dcb.fAbortOnError, dcb.fParity};
        EXPECT_TRUE(std::equal(std::begin(seen), std::end(seen), std::begin(c.expected)));
        EXPECT_EQ(dcb.fBinary, 1u);
    }
}

TEST_F(Win32CommStateTest, GetCommStateFailsAtTheFirstRefusalAndLeavesTheDcbAsItWas)
{
    const DWORD gets[] = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
                          IOCTL_SERIAL_GET_HANDFLOW};
    for (size_t refused = 0; refused < std::size(gets); refused++) {
        SCOPED_TRACE("refused request " + std::to_string(refused));
        requests_.clear();
        Refuse(gets[refused], STATUS_INVALID_DEVICE_STATE);
        DCB dcb;
        std::memset(&dcb, 0xEE, sizeof dcb);
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(GetCommState(port_, &dcb));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_COMMAND});
        EXPECT_EQ(Codes(), std::vector<DWORD>(std::begin(gets), std::begin(gets) + refused + 1));
        DCB untouched;
        std::memset(&untouched, 0xEE, sizeof untouched);
        EXPECT_EQ(std::memcmp(&dcb, &untouched, sizeof dcb), 0);
        ClearRefusals();
    }
}

TEST_F(Win32CommStateTest, SetCommStateSendsSixRequestsWithTheDcbsRecords)
{
    DCB dcb = SampleDcb();
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_EQ(Codes(),
              (std::vector<DWORD>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_DTR,
                                  IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW}));
    const ULONG inputs[] = {4, 0, 0, 3, 6, 16};
    for (size_t i = 0; i < requests_.size(); i++) {
        EXPECT_EQ(requests_[i].inputLength, inputs[i]) << "request " << i;
        EXPECT_EQ(requests_[i].outputLength, 0u) << "request " << i;
    }
    EXPECT_EQ(InputAs<SERIAL_BAUD_RATE>(requests_[0]).BaudRate, 57600u);

    auto line = InputAs<SERIAL_LINE_CONTROL>(requests_[3]);
    EXPECT_EQ(line.StopBits, STOP_BITS_2);
    EXPECT_EQ(line.Parity, EVEN_PARITY);
    EXPECT_EQ(line.WordLength, 7);

    auto chars = InputAs<SERIAL_CHARS>(requests_[4]);
    EXPECT_EQ(chars.EofChar, 0x1A);
    EXPECT_EQ(chars.ErrorChar, '?');
    EXPECT_EQ(chars.BreakChar, 0) << "a DCB has no break character";
    EXPECT_EQ(chars.EventChar, '\n');
    EXPECT_EQ(chars.XonChar, 0x11);
    EXPECT_EQ(chars.XoffChar, 0x13);

    auto handFlow = InputAs<SERIAL_HANDFLOW>(requests_[5]);
    EXPECT_EQ(handFlow.ControlHandShake, 0u) << "fBinary and fParity have no handshake bit";
    EXPECT_EQ(handFlow.FlowReplace, ULONG{SERIAL_RTS_CONTROL});
    EXPECT_EQ(handFlow.XonLimit, 512);
    EXPECT_EQ(handFlow.XoffLimit, 1024);
}

TEST_F(Win32CommStateTest, SetCommStateSetsOrClearsTheLinesOnlyForTheFixedSettings)
{
    struct Case {
        DWORD rts;
        DWORD dtr;
        std::vector<DWORD> lines;
    };
    const Case cases[] = {
        {RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE, {IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR}},
        {RTS_CONTROL_DISABLE, DTR_CONTROL_DISABLE, {IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_CLR_DTR}},
        {RTS_CONTROL_HANDSHAKE, DTR_CONTROL_ENABLE, {IOCTL_SERIAL_SET_DTR}},
        {RTS_CONTROL_TOGGLE, DTR_CONTROL_HANDSHAKE, {}},
        {RTS_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE, {IOCTL_SERIAL_SET_RTS}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "RTS " << c.rts << ", DTR " << c.dtr);
        requests_.clear();
        DCB dcb = SampleDcb();
        dcb.fRtsControl = c.rts & 3;
        dcb.fDtrControl = c.dtr & 3;
        ASSERT_TRUE(SetCommState(port_, &dcb));
        std::vector<DWORD> expected{IOCTL_SERIAL_SET_BAUD_RATE};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        expected.insert(expected.end(),
                        {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW});
        EXPECT_EQ(Codes(), expected);
    }
}

TEST_F(Win32CommStateTest, SetCommStatePutsEachDcbFlagInItsHandflowBit)
{
    struct Case {
        const char* name;
        void (*set)(DCB&);
        ULONG controlHandShake;
        ULONG flowReplace;
    };
    const Case cases[] = {
        {"fOutxCtsFlow", [](DCB& d) { d.fOutxCtsFlow = 1; }, SERIAL_CTS_HANDSHAKE, 0},
        {"fOutxDsrFlow", [](DCB& d) { d.fOutxDsrFlow = 1; }, SERIAL_DSR_HANDSHAKE, 0},
        {"fDsrSensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }, SERIAL_DSR_SENSITIVITY, 0},
        {"fAbortOnError", [](DCB& d) { d.fAbortOnError = 1; }, SERIAL_ERROR_ABORT, 0},
        {"DTR enable", [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; }, SERIAL_DTR_CONTROL, 0},
        {"DTR handshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }, SERIAL_DTR_HANDSHAKE, 0},
        {"fOutX", [](DCB& d) { d.fOutX = 1; }, 0, SERIAL_AUTO_TRANSMIT},
        {"fInX", [](DCB& d) { d.fInX = 1; }, 0, SERIAL_AUTO_RECEIVE},
        {"fErrorChar", [](DCB& d) { d.fErrorChar = 1; }, 0, SERIAL_ERROR_CHAR},
        {"fNull", [](DCB& d) { d.fNull = 1; }, 0, SERIAL_NULL_STRIPPING},
        {"fTXContinueOnXoff", [](DCB& d) { d.fTXContinueOnXoff = 1; }, 0, SERIAL_XOFF_CONTINUE},
        {"RTS enable", [](DCB& d) { d.fRtsControl = RTS_CONTROL_ENABLE; }, 0, SERIAL_RTS_CONTROL},
        {"RTS handshake", [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }, 0, SERIAL_RTS_HANDSHAKE},
        {"RTS toggle", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, 0, SERIAL_TRANSMIT_TOGGLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        requests_.clear();
        DCB dcb = SampleDcb();
        c.set(dcb);
        ASSERT_TRUE(SetCommState(port_, &dcb));
        ASSERT_EQ(requests_.back().code, DWORD{IOCTL_SERIAL_SET_HANDFLOW});
        auto handFlow = InputAs<SERIAL_HANDFLOW>(requests_.back());
        EXPECT_EQ(handFlow.ControlHandShake, c.controlHandShake);
        EXPECT_EQ(handFlow.FlowReplace, c.flowReplace);
    }
}

TEST_F(Win32CommStateTest, AStateSetIsReadBackAsTheSameDcb)
{
    DCB written = SampleDcb();
    written.fOutxCtsFlow = 1;
    written.fDtrControl = DTR_CONTROL_HANDSHAKE;
    written.fRtsControl = RTS_CONTROL_TOGGLE;
    written.fInX = 1;
    written.fNull = 1;
    written.fTXContinueOnXoff = 1;
    written.fAbortOnError = 1;
    ASSERT_TRUE(SetCommState(port_, &written));
    DCB read;
    std::memset(&read, 0xEE, sizeof read);
    ASSERT_TRUE(GetCommState(port_, &read));
    EXPECT_EQ(std::memcmp(&read, &written, sizeof read), 0);
}

TEST_F(Win32CommStateTest, SetCommStateStopsAtTheFirstRefusal)
{
    Refuse(IOCTL_SERIAL_SET_LINE_CONTROL, STATUS_INVALID_PARAMETER);
    DCB dcb = SampleDcb();
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Codes(),
              (std::vector<DWORD>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_LINE_CONTROL}));

    requests_.clear();
    Refuse(IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_COMMAND});
    EXPECT_EQ(Codes(), std::vector<DWORD>{IOCTL_SERIAL_SET_BAUD_RATE});
}

TEST_F(Win32CommStateTest, AClosedHandleSendsNothing)
{
    HANDLE closed = port_;
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    DCB dcb = SampleDcb();
    EXPECT_FALSE(SetCommState(closed, &dcb));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_FALSE(GetCommState(closed, &dcb));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_TRUE(requests_.empty());
}

}  // namespace
}  // namespace bulkcom_test
