// The comm calls that set or act on the port: GetCommTimeouts,
// SetCommTimeouts, SetupComm, PurgeComm, EscapeCommFunction and
// TransmitCommChar, each one request with its exact lengths and record.

#include <cstring>

#include "sim/support/win32_comm_port.h"

namespace bulkcom_test {
namespace {

using Win32CommControlTest = Win32CommTest;

TEST_F(Win32CommControlTest, SetCommTimeoutsSendsTheFiveValuesAndGetCommTimeoutsReadsThemBack)
{
    COMMTIMEOUTS written{MAXDWORD, MAXDWORD, 0xFFFFFFFE, 7, 1000};
    ASSERT_TRUE(SetCommTimeouts(port_, &written));
    ASSERT_EQ(Codes(), std::vector<DWORD>{IOCTL_SERIAL_SET_TIMEOUTS});
    EXPECT_EQ(requests_[0].inputLength, 20u);
    EXPECT_EQ(requests_[0].outputLength, 0u);
    auto sent = InputAs<SERIAL_TIMEOUTS>(requests_[0]);
    EXPECT_EQ(sent.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(sent.ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(sent.ReadTotalTimeoutConstant, 0xFFFFFFFEu);
    EXPECT_EQ(sent.WriteTotalTimeoutMultiplier, 7u);
    EXPECT_EQ(sent.WriteTotalTimeoutConstant, 1000u);

    COMMTIMEOUTS read{};
    ASSERT_TRUE(GetCommTimeouts(port_, &read));
    ASSERT_EQ(requests_.size(), 2u);
    EXPECT_EQ(requests_[1].code, DWORD{IOCTL_SERIAL_GET_TIMEOUTS});
    EXPECT_EQ(requests_[1].inputLength, 0u);
    EXPECT_EQ(requests_[1].outputLength, 20u);
    EXPECT_EQ(std::memcmp(&read, &written, sizeof read), 0);
}

TEST_F(Win32CommControlTest, AFailedGetCommTimeoutsLeavesTheRecordAlone)
{
    Refuse(IOCTL_SERIAL_GET_TIMEOUTS, STATUS_INVALID_DEVICE_STATE);
    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(GetCommTimeouts(port_, &timeouts));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_COMMAND});
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 1u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 5u);
}

TEST_F(Win32CommControlTest, SetupCommSendsTheQueueSizes)
{
    ASSERT_TRUE(SetupComm(port_, 4096, 2048));
    ASSERT_EQ(Codes(), std::vector<DWORD>{IOCTL_SERIAL_SET_QUEUE_SIZE});
    EXPECT_EQ(requests_[0].inputLength, 8u);
    EXPECT_EQ(requests_[0].outputLength, 0u);
    auto sizes = InputAs<SERIAL_QUEUE_SIZE>(requests_[0]);
    EXPECT_EQ(sizes.InSize, 4096u);
    EXPECT_EQ(sizes.OutSize, 2048u);

    Refuse(IOCTL_SERIAL_SET_QUEUE_SIZE, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(SetupComm(port_, 1, 1));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_SYSTEM_RESOURCES});
}

TEST_F(Win32CommControlTest, PurgeCommSendsItsMaskInFourBytes)
{
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXABORT));
    ASSERT_EQ(Codes(), std::vector<DWORD>{IOCTL_SERIAL_PURGE});
    EXPECT_EQ(requests_[0].inputLength, 4u);
    EXPECT_EQ(requests_[0].outputLength, 0u);
    EXPECT_EQ(InputAs<ULONG>(requests_[0]), ULONG{SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXABORT});
}

TEST_F(Win32CommControlTest, EscapeCommFunctionSendsOneRequestWithoutBuffersPerFunction)
{
    struct Case {
        DWORD function;
        DWORD code;
    };
    const Case cases[] = {
        {SETXOFF, IOCTL_SERIAL_SET_XOFF},       {SETXON, IOCTL_SERIAL_SET_XON},
        {SETRTS, IOCTL_SERIAL_SET_RTS},         {CLRRTS, IOCTL_SERIAL_CLR_RTS},
        {SETDTR, IOCTL_SERIAL_SET_DTR},         {CLRDTR, IOCTL_SERIAL_CLR_DTR},
        {RESETDEV, IOCTL_SERIAL_RESET_DEVICE},  {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON},
        {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("function " + std::to_string(c.function));
        requests_.clear();
        ASSERT_TRUE(EscapeCommFunction(port_, c.function));
        ASSERT_EQ(Codes(), std::vector<DWORD>{c.code});
        EXPECT_EQ(requests_[0].inputLength, 0u);
        EXPECT_EQ(requests_[0].outputLength, 0u);
    }

    requests_.clear();
    for (DWORD unknown : {DWORD{0}, DWORD{10}}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(EscapeCommFunction(port_, unknown));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    }
    EXPECT_TRUE(requests_.empty());

    Refuse(IOCTL_SERIAL_SET_DTR, STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(EscapeCommFunction(port_, SETDTR));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_COMMAND});
}

TEST_F(Win32CommControlTest, TransmitCommCharSendsOneByte)
{
    ASSERT_TRUE(TransmitCommChar(port_, '\xA5'));
    ASSERT_EQ(Codes(), std::vector<DWORD>{IOCTL_SERIAL_IMMEDIATE_CHAR});
    EXPECT_EQ(requests_[0].inputLength, 1u);
    EXPECT_EQ(requests_[0].outputLength, 0u);
    EXPECT_EQ(requests_[0].input, std::vector<UCHAR>{0xA5});
}

}  // namespace
}  // namespace bulkcom_test
